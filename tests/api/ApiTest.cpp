// The handle API (qd500.h) and the C++ layer over it, against the reader
// simulator on a pty: opening by name, results and messages, buffers,
// cancelling, traces, and every call given what it must refuse.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qd500.h"
#include "qd500/reader.hpp"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using qd500::Bytes;
using qd500::test::ReadFile;
using qd500::test::SimulatedReader;

namespace {

constexpr int kCom = 61;

class ApiTest : public ::testing::Test {
protected:
    void Serve(qd500sim::Scenario scenario = qd500sim::Scenario::Default(), unsigned baud = 0) {
        Close();
        sim = std::make_unique<SimulatedReader>(kCom, std::move(scenario), baud);
        ASSERT_TRUE(sim->started());
        ASSERT_EQ(qd500_open(sim->server().SlavePath().c_str(), &r), 0) << qd500_message(nullptr);
    }
    void Close() {
        qd500_close(r);
        r = nullptr;
    }
    void TearDown() override { Close(); }
    std::string FromHost() const { return sim->FromHost(); }

    std::unique_ptr<SimulatedReader> sim;
    qd500_reader* r = nullptr;
    unsigned char buf[600] = {};
    size_t len = 0;
};

TEST_F(ApiTest, OpensByComNameNumberAndPathAndSaysWhyNot) {
    Serve();
    Close();
    // COM61 is the device QD500_COM61 names.
    for (const char* name : {"COM61", "com61", "61"}) {
        ASSERT_EQ(qd500_open(name, &r), 0) << name << ": " << qd500_message(nullptr);
        EXPECT_STREQ(qd500_port(r), name);
        // The port is held: a second reader cannot have it.
        qd500_reader* second = nullptr;
        EXPECT_EQ(qd500_open(sim->server().SlavePath().c_str(), &second), QD500_E_OPEN);
        EXPECT_EQ(second, nullptr);
        EXPECT_NE(std::string(qd500_message(nullptr)).find("in use"), std::string::npos) << qd500_message(nullptr);
        Close();
    }
    EXPECT_EQ(qd500_open("/dev/qd500-no-such-tty", &r), QD500_E_OPEN);
    EXPECT_NE(std::string(qd500_message(nullptr)).find("No such file"), std::string::npos) << qd500_message(nullptr);
    EXPECT_EQ(qd500_open(nullptr, &r), QD500_E_PARAM);
    EXPECT_EQ(qd500_open("COM61", nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_open("", &r), QD500_E_PARAM);
}

TEST_F(ApiTest, CpuCardExchangesWithoutAndWithGetResponse) {
    Serve();
    ASSERT_EQ(qd500_select_card(r, "cpu"), 0);  // any case
    EXPECT_STREQ(qd500_message(r), "成功！");
    ASSERT_EQ(qd500_power_on(r, buf, QD500_ATR_MAX, &len), 0);
    Bytes atr;
    sim->server().WithReader([&](qd500sim::Reader& s) { atr = s.card()->Atr(); });
    EXPECT_EQ(Bytes(buf, buf + len), atr);

    // No automatic GET RESPONSE: 61xx comes back as it is.
    const unsigned char selectMf[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    ASSERT_EQ(qd500_transmit(r, selectMf, sizeof selectMf, buf, sizeof buf, &len), 0);
    ASSERT_EQ(len, 2u);
    EXPECT_EQ(buf[0], 0x61);
    const unsigned fci = buf[1];
    ASSERT_EQ(qd500_get_response(r, fci, buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, fci + 2u);
    EXPECT_EQ(buf[len - 2] << 8 | buf[len - 1], 0x9000);

    // Following them: 61xx with GET RESPONSE, 6Cxx with the APDU again.
    ASSERT_EQ(qd500_transmit_get_response(r, selectMf, sizeof selectMf, buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, fci + 2u);
    const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x00};
    ASSERT_EQ(qd500_transmit_get_response(r, challenge, sizeof challenge, buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 10u);
    EXPECT_EQ(buf[8] << 8 | buf[9], 0x9000);

    // A case-4 APDU: its Le is dropped, P3 is Lc.
    const unsigned char case4[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15, 0x20};
    ASSERT_EQ(qd500_transmit(r, case4, sizeof case4, buf, sizeof buf, &len), 0);
    EXPECT_EQ(buf[0], 0x61);
    EXPECT_NE(FromHost().find("5A00A40000020015"), std::string::npos);
    const unsigned char badIns[] = {0x00, 0x77, 0x00, 0x00, 0x00};
    ASSERT_EQ(qd500_transmit(r, badIns, sizeof badIns, buf, sizeof buf, &len), 0);
    EXPECT_EQ(buf[0] << 8 | buf[1], 0x6D00);
}

TEST_F(ApiTest, CapacitiesAndApdusAreCheckedBeforeAnythingIsSent) {
    Serve();
    const std::string before = FromHost();
    EXPECT_EQ(qd500_power_on(r, buf, QD500_ATR_MAX - 1, &len), QD500_E_BUFFER);
    EXPECT_EQ(len, static_cast<size_t>(QD500_ATR_MAX));
    const unsigned char le16[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    EXPECT_EQ(qd500_transmit(r, le16, sizeof le16, buf, 17, &len), QD500_E_BUFFER);
    EXPECT_EQ(len, 18u);
    const unsigned char noLe[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    EXPECT_EQ(qd500_transmit(r, noLe, sizeof noLe, buf, 257, &len), QD500_E_BUFFER);
    EXPECT_EQ(len, 258u);
    EXPECT_EQ(qd500_version_text(r, reinterpret_cast<char*>(buf), 10, &len), QD500_E_BUFFER);
    EXPECT_EQ(qd500_get_response(r, 0, buf, 257, &len), QD500_E_BUFFER);
    EXPECT_EQ(len, 258u);
    // Malformed APDUs: too short, a lying Lc, an extended length.
    const unsigned char shortApdu[] = {0x00, 0xA4, 0x00};
    const unsigned char lyingLc[] = {0x00, 0xA4, 0x00, 0x00, 0x05, 0x3F, 0x00};
    const unsigned char extended[] = {0x00, 0xA4, 0x00, 0x00, 0x00, 0x00, 0x02, 0x3F, 0x00};
    for (auto [apdu, n] :
         {std::pair{shortApdu, sizeof shortApdu}, {lyingLc, sizeof lyingLc}, {extended, sizeof extended}})
        EXPECT_EQ(qd500_transmit(r, apdu, n, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_select_card(r, "NOSUCHCARD"), QD500_E_PARAM);
    // The refusal names the argument and every name that is taken.
    EXPECT_NE(std::string(qd500_message(r))
                  .find("unknown card type \"NOSUCHCARD\"; the card types are CPU, S4418 "
                        "(SLE4418),"),
              std::string::npos)
        << qd500_message(r);
    EXPECT_EQ(qd500_set_device_no(r, 100), QD500_E_PARAM);
    EXPECT_EQ(qd500_mag_setting(r, 'Q'), QD500_E_PARAM);
    EXPECT_EQ(qd500_write_tracks(r, std::string(260, '1').c_str(), nullptr, 0), QD500_E_PARAM);
    // Raw frames: an odd count, a non-hex digit, a body past the frame.
    char status[3], data[64];
    for (const std::string& body : {std::string("415"), std::string("4G"), std::string(252, '0')})
        EXPECT_EQ(qd500_send_frame(r, body.c_str(), status, data, sizeof data), QD500_E_PARAM) << body;
    EXPECT_EQ(FromHost(), before);
}

TEST_F(ApiTest, MemoryOfAnyLengthWithZeroBytes) {
    Serve(SimulatedReader::WithCard("AT24C16"));
    ASSERT_EQ(qd500_select_card(r, "AT24C16"), 0);
    ASSERT_EQ(qd500_power_on(r, buf, sizeof buf, &len), 0);
    std::vector<unsigned char> card(2048);
    for (size_t i = 0; i < card.size(); ++i) card[i] = static_cast<unsigned char>(i % 7 == 0 ? 0 : i * 31);
    ASSERT_EQ(qd500_write_memory(r, 0, card.data(), card.size()), 0) << qd500_message(r);
    std::vector<unsigned char> back(card.size(), 0xEE);
    ASSERT_EQ(qd500_read_memory(r, 0, back.data(), back.size()), 0) << qd500_message(r);
    EXPECT_EQ(back, card);
    // Past the end of the type selected: refused before anything is sent, saying why.
    const std::string sent = FromHost();
    EXPECT_EQ(qd500_read_memory(r, 2040, back.data(), 16), QD500_E_PARAM);
    EXPECT_STREQ(qd500_status(r), "");
    EXPECT_NE(std::string(qd500_message(r)).find("bytes 2040 to 2055 run past the end of the AT24C16's 2048 bytes"),
              std::string::npos)
        << qd500_message(r);
    EXPECT_EQ(qd500_at24_write(r, 0, 2000, card.data(), 100), QD500_E_PARAM);
    EXPECT_EQ(FromHost(), sent);
    // The AT24 sequence on the reader, with the card's own type.
    ASSERT_EQ(qd500_at24_read(r, 0, 100, back.data(), 300), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 300, card.begin() + 100));
    EXPECT_NE(FromHost().find("\x1B=5405"), std::string::npos);
    EXPECT_EQ(qd500_read_memory(r, 0, nullptr, 0), 0);
}

TEST_F(ApiTest, Sle4442CodeProtectionAndTheReadersResults) {
    Serve(SimulatedReader::WithCard("S4442"));
    ASSERT_EQ(qd500_select_card(r, "sle4442"), 0);
    ASSERT_EQ(qd500_power_on(r, buf, sizeof buf, &len), 0);
    const unsigned char data[] = {0x11, 0x00, 0x22};
    EXPECT_EQ(qd500_write_memory(r, 0x40, data, sizeof data), 31);  // the code not presented
    EXPECT_STREQ(qd500_message(r), "密码错或没校验密码!");
    const unsigned char psc[] = {0xFF, 0xFF, 0xFF};
    ASSERT_EQ(qd500_present_code(r, psc, sizeof psc), 0);
    ASSERT_EQ(qd500_write_memory(r, 0x40, data, sizeof data), 0);
    ASSERT_EQ(qd500_read_memory(r, 0x40, buf, 3), 0);
    EXPECT_EQ(0, std::memcmp(buf, data, 3));
    // Bytes 0..3 come protected; 4..5 are protected by their own contents.
    ASSERT_EQ(qd500_read_memory(r, 4, buf, 2), 0);
    ASSERT_EQ(qd500_protect(r, 4, buf, 2), 0);
    unsigned char flags[10];
    ASSERT_EQ(qd500_read_protection(r, 0, flags, 10), 0);
    EXPECT_EQ(Bytes(flags, flags + 10), (Bytes{1, 1, 1, 1, 1, 1, 0, 0, 0, 0}));
    ASSERT_EQ(qd500_read_protection(r, 5, flags, 2), 0);
    EXPECT_EQ(Bytes(flags, flags + 2), (Bytes{1, 0}));
}

TEST_F(ApiTest, FailuresGiveTheirResults) {
    qd500sim::Scenario empty = qd500sim::Scenario::Default();
    empty.card.reset();
    Serve(empty);
    EXPECT_EQ(qd500_power_on(r, buf, sizeof buf, &len), 21);
    EXPECT_STREQ(qd500_status(r), "21");
    EXPECT_STREQ(qd500_message(r), "无卡!");
    EXPECT_STREQ(qd500_strerror(21), "no card in the reader");

    // A status that is not two decimal digits, and a reader that is slow.
    Serve(SimulatedReader::FromJson(R"({"faults": [{"kind": "status", "command": "55", "status": "1A", "times": 1},
                                                   {"kind": "delay", "command": "44", "delay_ms": 800}]})"));
    EXPECT_EQ(qd500_power_on(r, buf, sizeof buf, &len), QD500_E_PROTOCOL);
    ASSERT_EQ(qd500_set_timeout_ms(r, 300), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qd500_power_off(r), QD500_E_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1600));

    // The line vanishes: -4 from then on, until the reader is opened again
    // (by a link that follows the adapter, as udev's by-id links do).
    Close();
    const std::string link = ::testing::TempDir() + "qd500-api-link";
    sim = std::make_unique<SimulatedReader>(
        kCom, SimulatedReader::FromJson(R"({"faults": [{"kind": "hangup", "command": "47", "times": 1}]})"), 0, link);
    ASSERT_EQ(qd500_open(link.c_str(), &r), 0) << qd500_message(nullptr);
    unsigned generation = sim->server().Generation();
    unsigned char state[3];
    EXPECT_EQ(qd500_device_status(r, state), QD500_E_LINE);
    EXPECT_EQ(qd500_power_off(r), QD500_E_LINE);
    ASSERT_TRUE(sim->server().WaitForGeneration(generation + 1, 5000));
    ASSERT_EQ(qd500_reopen(r), 0) << qd500_message(r);
    EXPECT_EQ(qd500_device_status(r, state), 0);
}

TEST_F(ApiTest, AnAnswerThatCameAfterItsCallGaveUpIsNotTheNextCallsAnswer) {
    Serve(SimulatedReader::FromJson(
        R"({"card": {"type": "AT24C16"}, "faults": [{"kind": "delay", "command": "52", "delay_ms": 600, "times": 1}]})"));
    ASSERT_EQ(qd500_select_card(r, "AT24C16"), 0);
    ASSERT_EQ(qd500_power_on(r, buf, sizeof buf, &len), 0);
    const Bytes first(16, 0x11), second(16, 0x22);
    ASSERT_EQ(qd500_write_memory(r, 0, first.data(), first.size()), 0);
    ASSERT_EQ(qd500_write_memory(r, 0x100, second.data(), second.size()), 0);
    ASSERT_EQ(qd500_set_timeout_ms(r, 300), 0);
    EXPECT_EQ(qd500_read_memory(r, 0, buf, 16), QD500_E_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the first read's answer is in
    ASSERT_EQ(qd500_read_memory(r, 0x100, buf, 16), 0) << qd500_message(r);
    EXPECT_EQ(Bytes(buf, buf + 16), second);
}

TEST_F(ApiTest, EveryCallRefusesNullPointersAndFailedLines) {
    // A null reader.
    EXPECT_EQ(qd500_select_card(nullptr, "CPU"), QD500_E_PARAM);
    EXPECT_EQ(qd500_power_on(nullptr, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_power_off(nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_transmit(nullptr, buf, 5, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_read_memory(nullptr, 0, buf, 4), QD500_E_PARAM);
    EXPECT_EQ(qd500_read_tracks(nullptr, QD500_TRACK2, reinterpret_cast<char*>(buf), sizeof buf, nullptr, 0, nullptr),
              QD500_E_PARAM);
    EXPECT_EQ(qd500_cancel(nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_reopen(nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_set_timeout(nullptr, 1), QD500_E_PARAM);
    EXPECT_STREQ(qd500_status(nullptr), "");
    qd500_close(nullptr);

    Serve(SimulatedReader::FromJson(R"({"faults": [{"kind": "hangup", "command": "47", "times": 1}]})"));
    const std::string before = FromHost();
    // Null outputs and zero capacities.
    EXPECT_EQ(qd500_power_on(r, nullptr, 0, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_power_on(r, buf, 0, nullptr), QD500_E_BUFFER);
    EXPECT_EQ(qd500_transmit(r, nullptr, 5, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_transmit(r, buf, 5, nullptr, 0, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_device_status(r, nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_version_text(r, nullptr, 0, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_read_memory(r, 0, nullptr, 4), QD500_E_PARAM);
    EXPECT_EQ(qd500_write_memory(r, 0, nullptr, 4), QD500_E_PARAM);
    EXPECT_EQ(qd500_present_code(r, nullptr, 3), QD500_E_PARAM);
    EXPECT_EQ(qd500_present_code(r, buf, 0), QD500_E_PARAM);
    EXPECT_EQ(qd500_read_tracks(r, QD500_TRACK2 | QD500_TRACK3, reinterpret_cast<char*>(buf), 0, nullptr, 0, nullptr),
              QD500_E_PARAM);
    EXPECT_EQ(qd500_read_tracks(r, QD500_TRACK2, reinterpret_cast<char*>(buf), 0, nullptr, 0, nullptr), QD500_E_BUFFER);
    EXPECT_EQ(qd500_read_tracks(r, 0, nullptr, 0, nullptr, 0, nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_write_tracks(r, nullptr, nullptr, 0), QD500_E_PARAM);
    EXPECT_EQ(qd500_personalise(r, 99, buf, 2, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_personalise(r, QD500_CREATE_DF, nullptr, 0, buf, sizeof buf, &len), QD500_E_PARAM);
    EXPECT_EQ(qd500_select_card(r, nullptr), QD500_E_PARAM);
    EXPECT_EQ(qd500_check_pin(r, 0, nullptr, 2), QD500_E_PARAM);
    // Ranges past the 16 bits of the reader's addresses, which would wrap to 0.
    EXPECT_EQ(qd500_write_memory(r, 0xFFF0, buf, 0x11), QD500_E_PARAM);
    EXPECT_EQ(qd500_read_memory(r, 0x10000, buf, 1), QD500_E_PARAM);
    EXPECT_EQ(qd500_protect(r, 0xFFFF, buf, 2), QD500_E_PARAM);
    EXPECT_EQ(qd500_at24_read(r, 0, 0xFF80, buf, 0x81), QD500_E_PARAM);
    EXPECT_EQ(FromHost(), before);

    // A line that failed: every call answers -4 without sending.
    unsigned char state[3];
    EXPECT_EQ(qd500_device_status(r, state), QD500_E_LINE);
    EXPECT_EQ(qd500_select_card(r, "CPU"), QD500_E_LINE);
    EXPECT_EQ(qd500_transmit(r, buf, 5, buf, sizeof buf, &len), QD500_E_LINE);
    EXPECT_EQ(qd500_read_memory(r, 0, buf, 4), QD500_E_LINE);
    EXPECT_EQ(qd500_mag_setting(r, 'a'), QD500_E_LINE);
    EXPECT_EQ(qd500_read_tracks(r, QD500_TRACK2, reinterpret_cast<char*>(buf), sizeof buf, nullptr, 0, nullptr),
              QD500_E_LINE);
}

TEST_F(ApiTest, CancelEndsAWaitForASwipeAtOnce) {
    qd500sim::Scenario waiting = qd500sim::Scenario::Default();
    waiting.swipe = qd500sim::SwipeMode::Never;
    Serve(waiting);
    ASSERT_EQ(qd500_set_timeout(r, 10), 0);
    std::chrono::steady_clock::time_point cancelled;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancelled = std::chrono::steady_clock::now();
        qd500_cancel(r);
    });
    char t2[QD500_TRACK_MAX + 1], t3[QD500_TRACK_MAX + 1];
    EXPECT_EQ(qd500_read_tracks(r, QD500_TRACK2 | QD500_TRACK3, t2, sizeof t2, t3, sizeof t3, nullptr),
              QD500_E_CANCELLED);
    auto ended = std::chrono::steady_clock::now();
    other.join();
    EXPECT_LT(ended - cancelled, std::chrono::milliseconds(100));
    EXPECT_STREQ(qd500_message(r), "已取消");
    // The head was told to stop waiting, and the reader works on.
    for (int i = 0; i < 200 && FromHost().find("\x1B"
                                               "0") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(FromHost().find("\x1B"
                              "0"),
              std::string::npos);
    EXPECT_EQ(qd500_select_card(r, "CPU"), 0);
}

TEST_F(ApiTest, TracksReadWrittenAndUnreadable) {
    Serve();
    char t2[QD500_TRACK_MAX + 1], t3[QD500_TRACK_MAX + 1];
    unsigned unreadable = 9;
    ASSERT_EQ(qd500_write_tracks(r, "1234567890", "5555", 1), 0);
    ASSERT_EQ(qd500_read_tracks(r, QD500_TRACK2 | QD500_TRACK3, t2, sizeof t2, t3, sizeof t3, &unreadable), 0);
    EXPECT_STREQ(t2, "1234567890");
    EXPECT_STREQ(t3, "5555");
    EXPECT_EQ(unreadable, 0u);
    sim->server().Swipe(std::nullopt, std::string("0112345"));
    ASSERT_EQ(qd500_read_tracks(r, QD500_TRACK2 | QD500_TRACK3, t2, sizeof t2, t3, sizeof t3, &unreadable), 0);
    EXPECT_EQ(unreadable, static_cast<unsigned>(QD500_TRACK2));
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "0112345");
    EXPECT_EQ(qd500_mag_setting(r, 'k'), 0);
    // Every letter the library lists is one the (independently modelled) head takes.
    EXPECT_STREQ(qd500_mag_setting_letters(), "ABCDKRZ");
    for (const char* c = qd500_mag_setting_letters(); *c; ++c) EXPECT_EQ(qd500_mag_setting(r, *c), 0) << *c;
}

TEST_F(ApiTest, TracedOnlyWhenAskedTaggedWithThePortAndObserved) {
    unsetenv("QD500_TRACE_FILE");
    Serve();
    const std::string beside = qd500::test::HostDirectory() + "/DOVoruv.Log";
    std::remove(beside.c_str());
    ASSERT_EQ(qd500_power_on(r, buf, sizeof buf, &len), 0);
    EXPECT_TRUE(ReadFile(beside).empty());

    qd500::test::ScopedTraceFile trace;
    struct Seen {
        std::string sent, received;
    } seen;
    auto observe = [](void* ctx, int direction, const unsigned char* bytes, size_t n) {
        auto* s = static_cast<Seen*>(ctx);
        (direction == QD500_SENT ? s->sent : s->received).append(reinterpret_cast<const char*>(bytes), n);
    };
    ASSERT_EQ(qd500_set_trace(r, trace.path().c_str()), 0);
    ASSERT_EQ(qd500_set_observer(r, observe, &seen), 0);
    ASSERT_EQ(qd500_power_off(r), 0);
    EXPECT_EQ(seen.sent, "\x1B=4444\x03");
    EXPECT_EQ(seen.received.substr(0, 6), "\x1B=0200");
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string tag = "[" + sim->server().SlavePath() + "] ";
    EXPECT_EQ(lines[0], tag + "\xC3\xFC\xC1\xEE=[\xBF\xA8\xC6\xAC\xCF\xC2\xB5\xE7]");
    EXPECT_EQ(lines[1].substr(0, tag.size() + 6), tag + "\xD3\xA6\xB4\xF0=[");
    ASSERT_EQ(qd500_set_trace(r, nullptr), 0);
    ASSERT_EQ(qd500_power_off(r), 0);
    EXPECT_EQ(trace.Lines().size(), 3u);
}

TEST_F(ApiTest, CppLayerThrowsWithTheReadersResultAndText) {
    qd500sim::Scenario empty = qd500sim::Scenario::Default();
    empty.card.reset();
    Serve(empty);
    Close();
    qd500::Reader reader(sim->server().SlavePath());
    try {
        reader.PowerOn();
        FAIL() << "no card, no exception";
    } catch (const qd500::Error& e) {
        EXPECT_EQ(e.result(), 21);
        EXPECT_EQ(e.status(), "21");
        EXPECT_EQ(e.message(), "无卡!");
        EXPECT_STREQ(e.what(), "result 21: no card in the reader (无卡!)");
    }
    qd500::Reader moved = std::move(reader);
    EXPECT_EQ(moved.DeviceStatus().size(), 3u);
    EXPECT_THROW(qd500::Reader("/dev/qd500-no-such-tty"), qd500::Error);
}

TEST(ApiCardInfo, FillsOnlyTheFieldsThatFitTheCallersSizeAndListsEveryType) {
    struct qd500_card_info info = {};
    info.size = sizeof info;
    ASSERT_EQ(qd500_card_info("s4442", &info), 0);
    EXPECT_STREQ(info.name, "S4442");
    EXPECT_EQ(info.code, 0x42u);
    EXPECT_EQ(info.family, QD500_FAMILY_SLE4442);
    EXPECT_EQ(info.memory_size, 256u);
    EXPECT_EQ(info.code_length, 3u);
    EXPECT_EQ(info.code_tries, 3u);
    EXPECT_EQ(info.protected_bytes, 32u);
    EXPECT_EQ(info.features & (QD500_FEATURE_CHANGE_CODE | QD500_FEATURE_AT24_SEQUENCE), QD500_FEATURE_CHANGE_CODE);

    // A caller whose struct ends inside memory_size: up to family filled,
    // not a byte written from there on.
    unsigned char raw[sizeof(struct qd500_card_info)];
    std::memset(raw, 0xAB, sizeof raw);
    const size_t shortSize = offsetof(struct qd500_card_info, memory_size) + 1;
    std::memcpy(raw, &shortSize, sizeof shortSize);
    struct qd500_card_info* shorter = reinterpret_cast<struct qd500_card_info*>(raw);
    ASSERT_EQ(qd500_card_info("AT24C64", shorter), 0);
    EXPECT_STREQ(shorter->name, "AT24C64");
    EXPECT_EQ(shorter->family, QD500_FAMILY_AT24);
    for (size_t i = offsetof(struct qd500_card_info, memory_size); i < sizeof raw; ++i)
        ASSERT_EQ(raw[i], 0xAB) << "byte " << i;

    EXPECT_EQ(qd500_card_info("S4443", &info), QD500_E_PARAM);
    EXPECT_NE(std::string(qd500_message(nullptr)).find("S4443"), std::string::npos);
    info.size = sizeof info.size - 1;
    EXPECT_EQ(qd500_card_info("CPU", &info), QD500_E_PARAM);

    const int count = qd500_card_type_count();
    ASSERT_EQ(count, 17);
    for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
        struct qd500_card_info at = {};
        at.size = sizeof at;
        ASSERT_EQ(qd500_card_info_at(i, &at), 0);
        EXPECT_EQ(qd500_card_type_code(at.name), static_cast<int>(at.code));
        EXPECT_EQ(qd500_card_size(at.name), static_cast<int>(at.memory_size));
    }
    EXPECT_EQ(qd500_card_info_at(static_cast<unsigned>(count), &info), QD500_E_PARAM);
}

}  // namespace
