// The telnet layer of a network line: a port server's option burst answered
// once, its acknowledgements of the settings taken, 0xFF doubled both ways,
// and all of it the same whatever pieces the bytes come in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Telnet.h"

using namespace qd500;
using namespace qd500::telnet;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

struct Fed {
    std::string data, replies;
    std::vector<PortAck> acks;
};

// Feeds text in pieces of the given size.
Fed FeedIn(TelnetReceiver& receiver, const std::string& text, size_t piece) {
    Fed fed;
    for (size_t at = 0; at < text.size(); at += piece) {
        const std::string part = text.substr(at, piece);
        receiver.Feed(reinterpret_cast<const uint8_t*>(part.data()), part.size(), fed.data, fed.replies, fed.acks);
    }
    return fed;
}

TEST(Telnet, APortServersOpeningIsAnsweredOnceAndCarriesNoData) {
    // WILL/DO SGA, WILL ECHO, DONT ECHO, DO/WILL BINARY, DO COM-PORT-OPTION,
    // then an unasked NOTIFY-MODEMSTATE, then the same offers again.
    const std::string burst = Bytes({kIac,  kWill, 3,     kIac, kDo,
                                     3,     kIac,  kWill, 1,    kIac,
                                     kDont, 1,     kIac,  kDo,  0,
                                     kIac,  kWill, 0,     kIac, kDo,
                                     44,    kIac,  kSb,   44,   kNotifyModemState,
                                     0x30,  kIac,  kSe});
    for (size_t piece : {1u, 2u, 5u, 100u}) {
        TelnetReceiver receiver;
        Fed fed = FeedIn(receiver, burst + burst, piece);
        EXPECT_EQ(fed.data, "") << piece;
        EXPECT_TRUE(fed.acks.empty()) << piece;
        EXPECT_TRUE(receiver.ComPortAgreed());
        // DO SGA, WILL SGA, DONT ECHO, WILL BINARY, DO BINARY; WILL 44 was
        // said at the start; nothing twice.
        EXPECT_EQ(fed.replies, Bytes({kIac, kDo, 3, kIac, kWill, 3, kIac, kDont, 1, kIac, kWill, 0, kIac, kDo, 0}))
            << piece;
    }
}

TEST(Telnet, AcknowledgementsAndDataWithDoubled0xFFInAnyPieces) {
    const std::string in = Bytes({0x1B, kIac, kIac, kIac, kSb,  44,   101, 0, 0, 0x25, 0x80, kIac, kSe, 0x41,
                                  kIac, kSb,  44,   101,  kIac, kIac, 0,   0, 0, kIac, kSe,  kIac, kIac});
    for (size_t piece : {1u, 3u, 64u}) {
        TelnetReceiver receiver;
        Fed fed = FeedIn(receiver, in, piece);
        EXPECT_EQ(fed.data, Bytes({0x1B, 0xFF, 0x41, 0xFF})) << piece;
        ASSERT_EQ(fed.acks.size(), 2u) << piece;
        EXPECT_EQ(fed.acks[0].command, kSetBaudRate);
        EXPECT_EQ(fed.acks[0].value, (std::vector<uint8_t>{0, 0, 0x25, 0x80}));
        EXPECT_EQ(fed.acks[1].value, (std::vector<uint8_t>{0xFF, 0, 0, 0}));
    }
    EXPECT_EQ(TelnetEscape("\xFF\x01\xFF", 3), std::string("\xFF\xFF\x01\xFF\xFF", 5));
}

TEST(Telnet, AnOverlongSubnegotiationIsDroppedAndTheDataAfterItKept) {
    TelnetReceiver receiver;
    Fed fed = FeedIn(
        receiver,
        Bytes({kIac, kSb, 44, 101}) + std::string(kMaxSubnegotiation * 4, '\x07') + Bytes({kIac, kSe}) + "after", 9);
    EXPECT_TRUE(fed.acks.empty());
    EXPECT_EQ(fed.data, "after");
}

TEST(Telnet, TheSettingsOfTheReadersLine) {
    // 9600 baud, 8 data bits, no parity, one stop bit, no flow control, purge both.
    EXPECT_EQ(ComPortSettings(9600),
              Bytes({kIac, kSb,  44,   1,   0,  0, 0x25, 0x80, kIac, kSe,  kIac, kSb, 44, 2,    8,
                     kIac, kSe,  kIac, kSb, 44, 3, 1,    kIac, kSe,  kIac, kSb,  44,  4,  1,    kIac,
                     kSe,  kIac, kSb,  44,  5,  1, kIac, kSe,  kIac, kSb,  44,   12,  3,  kIac, kSe}));
    EXPECT_EQ(TelnetOffer(), Bytes({kIac, kWill, 44}));
}

}  // namespace
