// AT24 one-shot read and write on a private scripted port, and what they do
// to the session's closed flag.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

constexpr int kReaderPort = 5;
constexpr int kSessionPort = 3;

// Bodies (with their BCC) of the frames written on a line.
std::vector<std::string> Bodies(const std::string& written) {
    std::vector<std::string> bodies;
    size_t pos = 0;
    while ((pos = written.find("\x1B=", pos)) != std::string::npos) {
        size_t end = written.find('\x03', pos);
        if (end == std::string::npos) end = written.size();
        bodies.push_back(written.substr(pos + 2, end - pos - 2));
        pos = end;
    }
    return bodies;
}

const std::vector<std::string> kReadFrames = {"250124", "540551", "5555", "5200201062", "4444"};
const std::string k16Bytes = "00112233445566778899AABBCCDDEE00";

class At24Test : public ::testing::Test {
protected:
    void SetUp() override {
        g_nPortClosed = 0;
        std::memset(data, 0xEE, sizeof data);
    }
    void TearDown() override {
        char ignored[64];
        gCloseComIC(ignored);
        g_nPortClosed = 0;
    }
    short Read(short nLen = 16, char cTimeOut = 2, short port = kReaderPort) {
        return gAppMemAT24_ReadData(port, 1, addrH, addrL, nLen, dataText(), cTimeOut, msg);
    }
    short Write(char* bytes, char cTimeOut = 2, short port = kReaderPort) {
        return gAppMemAT24_WriteData(port, 1, addrH, addrL, bytes, cTimeOut, msg);
    }
    char* dataText() { return reinterpret_cast<char*>(data); }

    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    FakePort& reader = fake.platform.AddPort(kReaderPort);
    char msg[64] = {};
    char addrH[3] = "00";
    char addrL[3] = "20";
    unsigned char data[160];
};

TEST_F(At24Test, ReadSendsFiveFramesEachAfterTheLastReplyAndDeliversTheData) {
    reader.AnswerFrames({ReaderReply("00"), ReaderReply("00"), ReaderReply("00", "3B00"), ReaderReply("00", k16Bytes),
                         ReaderReply("00")},
                        20);
    EXPECT_EQ(Read(), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    EXPECT_EQ(Bodies(reader.written), kReadFrames);
    // AnswerFrames replies to a frame only once its ETX went out, so five
    // replies in five waits means each frame followed the previous reply.
    EXPECT_EQ(reader.frames.size(), 5u);
    EXPECT_GE(fake.platform.now, 100u);
    const std::string expected("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB\xCC\xDD\xEE\x00", 16);
    EXPECT_EQ(std::string(dataText(), 16), expected);
    EXPECT_EQ(data[16], 0);
    EXPECT_EQ(data[17], 0xEE);
    EXPECT_FALSE(reader.open);
    EXPECT_EQ(reader.opens, 1);
    EXPECT_EQ(g_nPortClosed, 0);

    // The private port's frames and replies are traced like the session's.
    std::string log = trace.Contents();
    std::string deviceLine = text::kTraceCommand;
    deviceLine.replace(deviceLine.find("%s"), 2, "250124");
    EXPECT_NE(log.find(deviceLine), std::string::npos);
    int traced = 0;
    for (const std::string& l : trace.Lines()) traced += l.empty() ? 0 : 1;
    EXPECT_EQ(traced, 10);  // five frames, five replies
    EXPECT_NE(log.find(text::kTracePowerOn), std::string::npos);
    EXPECT_NE(log.find(text::kTracePowerOff), std::string::npos);
}

TEST_F(At24Test, WriteStopsAtTheFirstZeroByteAndAlwaysSendsAt24C16) {
    char bytes[] = "\x12\x00\x34";
    reader.AnswerFrames(
        {ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00")});
    EXPECT_EQ(gAppMemAT24_WriteData(kReaderPort, 10, addrH, addrL, bytes, 2, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    // The device number goes out in hex: 10 is 0A.
    EXPECT_EQ(Bodies(reader.written), (std::vector<std::string>{"250A2F", "540551", "5555", "570020011264", "4444"}));
    EXPECT_FALSE(reader.open);

    reader.written.clear();
    char none[] = "";
    reader.AnswerFrames(
        {ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00")});
    EXPECT_EQ(gAppMemAT24_WriteData(kReaderPort, 255, addrH, addrL, none, 2, msg), 0);
    EXPECT_EQ(Bodies(reader.written), (std::vector<std::string>{"25FFDA", "540551", "5555", "5700200077", "4444"}));
}

TEST_F(At24Test, ReadRepliesAreCutToTheOutput) {
    struct Row {
        const char* name;
        std::string readReply;
        short nLen;
        std::string bytes;  // in bpData before the terminating zero
    } rows[] = {
        {"zero bytes are data", ReaderReply("00", "00000100"), 4, std::string("\0\0\x01\0", 4)},
        {"no data", ReaderReply("00"), 0, ""},
        {"more than 128 bytes", "\x1B=FF00" + std::string(400, '5') + "\x03", 255, std::string(128, '\x55')},
        {"more than arrived", "\x1B=1200ABCD\x03", 16, "\xAB\xCD"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::memset(data, 0xEE, sizeof data);
        reader.AnswerFrames(
            {ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), row.readReply, ReaderReply("00")});
        EXPECT_EQ(Read(row.nLen), 0);
        EXPECT_EQ(std::string(dataText(), row.bytes.size()), row.bytes);
        EXPECT_EQ(data[row.bytes.size()], 0);
        EXPECT_EQ(data[row.bytes.size() + 1], 0xEE);
    }
}

// One row per outcome of the closed-flag table. "Unchanged" is checked from
// both values the flag can hold.
enum class Flag { Zero, One, Unchanged };

TEST_F(At24Test, EveryOutcomeAndItsEffectOnTheClosedFlag) {
    const std::string ok = ReaderReply("00");
    const std::string okData = ReaderReply("00", "A5A5");
    const std::string shortReply = "\x1B=0\x03";
    struct Row {
        const char* name;
        bool write;
        std::vector<std::string> replies;  // one per frame; a missing one times out
        short result;
        const char* message;
        Flag flag;
        size_t framesSent;
    } rows[] = {
        {"read: device times out", false, {}, -1, text::kSetInterfaceTimeout, Flag::One, 1},
        {"read: card type times out", false, {ok}, -1, text::kSetCardTypeTimeout, Flag::One, 2},
        {"read: power-on times out", false, {ok, ok}, -1, text::kPowerOnTimeoutRead, Flag::One, 3},
        {"read: read times out", false, {ok, ok, ok}, -1, text::kReadDataTimeout, Flag::One, 4},
        {"read: power-off times out", false, {ok, ok, ok, okData}, -1, text::kPowerOffTimeoutRead, Flag::One, 5},
        {"write: device times out", true, {}, -1, text::kSetInterfaceTimeout, Flag::One, 1},
        {"write: card type times out", true, {ok}, -1, text::kSetCardTypeTimeout, Flag::One, 2},
        {"write: power-on times out", true, {ok, ok}, -1, text::kPowerOnTimeoutWrite, Flag::One, 3},
        {"write: write times out", true, {ok, ok, ok}, -1, text::kWriteDataTimeout, Flag::One, 4},
        {"write: power-off times out", true, {ok, ok, ok, ok}, -1, text::kPowerOffTimeoutWrite, Flag::One, 5},
        {"read: no header", false, {ok, "junk\x03"}, -1, text::kTimeoutExit, Flag::One, 2},
        {"write: no header at power-off", true, {ok, ok, ok, ok, "junk\x03"}, -1, text::kTimeoutExit, Flag::One, 5},
        {"read: device refused", false, {ReaderReply("12")}, 12, text::kStatus12, Flag::One, 1},
        {"read: no card at power-on", false, {ok, ok, ReaderReply("21")}, 21, text::kStatus21, Flag::One, 3},
        {"write: card type refused", true, {ok, ReaderReply("24")}, 24, text::kStatus24, Flag::One, 2},
        {"write: write refused", true, {ok, ok, ok, ReaderReply("33")}, 33, text::kStatus33, Flag::One, 4},
        {"read: short reply", false, {ok, shortReply}, -1, text::kSerialCommError, Flag::One, 2},
        // "0A" reads as the number 0; it must not pass for success.
        {"write: status 0A", true, {ok, ok, ReaderReply("0A")}, -1, text::kSerialCommError, Flag::One, 3},
        {"read: power-off refused",
         false,
         {ok, ok, ok, okData, ReaderReply("23")},
         23,
         text::kStatus23,
         Flag::Unchanged,
         5},
        {"read: power-off short",
         false,
         {ok, ok, ok, okData, shortReply},
         -1,
         text::kSerialCommError,
         Flag::Unchanged,
         5},
        {"read: power-off 0A",
         false,
         {ok, ok, ok, okData, ReaderReply("0A")},
         -1,
         text::kSerialCommError,
         Flag::Unchanged,
         5},
        {"read: success", false, {ok, ok, ok, okData, ok}, 0, text::kStatus00, Flag::Unchanged, 5},
        {"write: power-off refused", true, {ok, ok, ok, ok, ReaderReply("23")}, 23, text::kStatus23, Flag::One, 5},
        {"write: power-off short", true, {ok, ok, ok, ok, shortReply}, -1, text::kSerialCommError, Flag::One, 5},
        {"write: success", true, {ok, ok, ok, ok, ok}, 0, text::kStatus00, Flag::Unchanged, 5},
    };
    char bytes[] = "\x01\x02";
    for (const Row& row : rows) {
        for (short before : {0, 1}) {
            SCOPED_TRACE(std::string(row.name) + (before ? ", flag 1 before" : ", flag 0 before"));
            g_nPortClosed = before;
            reader.written.clear();
            reader.frames.clear();
            reader.AnswerFrames(row.replies, 10);
            uint32_t start = fake.platform.now;
            EXPECT_EQ(row.write ? Write(bytes) : Read(2), row.result);
            EXPECT_STREQ(msg, row.message);
            EXPECT_EQ(reader.frames.size(), row.framesSent);
            EXPECT_FALSE(reader.open);
            short expected = row.flag == Flag::Zero ? 0 : row.flag == Flag::One ? 1 : before;
            EXPECT_EQ(g_nPortClosed, expected);
            if (row.message == text::kSetInterfaceTimeout) {
                // The wait is the call's own time-out, not the session's.
                EXPECT_GE(fake.platform.now - start, 2000u);
                EXPECT_LT(fake.platform.now - start, 3000u);
            }
            // The read's data stays once the read step succeeded.
            if (!row.write && row.framesSent == 5 && row.message != text::kPowerOffTimeoutRead &&
                row.message != text::kTimeoutExit) {
                EXPECT_EQ(std::string(dataText(), 3), "\xA5\xA5" + std::string(1, '\0'));
            }
        }
    }
}

TEST_F(At24Test, APortThatCannotBeOpenedClearsTheFlagAndSendsNothing) {
    for (bool write : {false, true}) {
        for (short before : {0, 1}) {
            SCOPED_TRACE(std::string(write ? "write" : "read") + (before ? ", flag 1" : ", flag 0"));
            g_nPortClosed = before;
            char bytes[] = "\x01";
            EXPECT_EQ(write ? Write(bytes, 2, 7) : Read(2, 2, 7), -1);
            EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[7]");
            EXPECT_EQ(g_nPortClosed, 0);

            g_nPortClosed = before;
            reader.failOpen = true;
            EXPECT_EQ(write ? Write(bytes) : Read(), -1);
            EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[5]");
            EXPECT_EQ(g_nPortClosed, 0);
            EXPECT_EQ(reader.written, "");
            reader.failOpen = false;
        }
    }
}

TEST_F(At24Test, TimeOutIsTheParameterAndUnsigned) {
    gSetTimeOutIC(10);
    uint32_t start = fake.platform.now;
    EXPECT_EQ(Read(16, 3), -1);
    EXPECT_STREQ(msg, text::kSetInterfaceTimeout);
    EXPECT_GE(fake.platform.now - start, 3000u);
    EXPECT_LT(fake.platform.now - start, 4000u);
    EXPECT_EQ(g_nPortClosed, 1);

    start = fake.platform.now;
    EXPECT_EQ(Read(16, static_cast<char>(200)), -1);
    EXPECT_GE(fake.platform.now - start, 200000u);
    EXPECT_LT(fake.platform.now - start, 201000u);
}

TEST_F(At24Test, BadInputIsRefusedBeforeThePortIsOpened) {
    std::string longAddr(245, '0');
    unsigned char write122[123];
    std::memset(write122, 0x5A, sizeof write122);
    write122[122] = 0;
    unsigned char write121[122];
    std::memset(write121, 0x5A, sizeof write121);
    write121[121] = 0;
    char* w122 = reinterpret_cast<char*>(write122);
    char* w121 = reinterpret_cast<char*>(write121);
    struct Row {
        const char* name;
        std::function<short(char*)> call;
    } rows[] = {
        {"read: device -1",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, -1, addrH, addrL, 1, dataText(), 2, m); }},
        {"read: device 256",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, 256, addrH, addrL, 1, dataText(), 2, m); }},
        {"read: count -1",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, 1, addrH, addrL, -1, dataText(), 2, m); }},
        {"read: count 256",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, 1, addrH, addrL, 256, dataText(), 2, m); }},
        {"read: no address",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, 1, nullptr, addrL, 1, dataText(), 2, m); }},
        {"read: address past the frame",
         [&](char* m) { return gAppMemAT24_ReadData(kReaderPort, 1, &longAddr[0], addrL, 1, dataText(), 2, m); }},
        {"write: device 300",
         [&](char* m) { return gAppMemAT24_WriteData(kReaderPort, 300, addrH, addrL, w121, 2, m); }},
        {"write: 122 bytes", [&](char* m) { return gAppMemAT24_WriteData(kReaderPort, 1, addrH, addrL, w122, 2, m); }},
        {"write: no data", [&](char* m) { return gAppMemAT24_WriteData(kReaderPort, 1, addrH, addrL, nullptr, 2, m); }},
        {"write: no address",
         [&](char* m) { return gAppMemAT24_WriteData(kReaderPort, 1, addrH, nullptr, w121, 2, m); }},
        {"write: 121 bytes with a long address",
         [&](char* m) { return gAppMemAT24_WriteData(kReaderPort, 1, addrH, &longAddr[240], w121, 2, m); }},
    };
    for (const Row& row : rows) {
        for (short before : {0, 1}) {
            SCOPED_TRACE(row.name);
            g_nPortClosed = before;
            std::memset(data, 0xEE, sizeof data);
            EXPECT_EQ(row.call(msg), -1);
            EXPECT_STREQ(msg, text::kParamError);
            EXPECT_EQ(reader.opens, 0);
            EXPECT_EQ(data[0], 0xEE);
            EXPECT_EQ(g_nPortClosed, before);
        }
    }

    // The largest write fits one frame of 255 characters.
    reader.AnswerFrames(
        {ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00"), ReaderReply("00")});
    EXPECT_EQ(Write(w121), 0);
    ASSERT_EQ(reader.frames.size(), 5u);
    EXPECT_EQ(reader.frames[3].size(), 255u);
}

// The one-shot calls and a session open on another port.
TEST_F(At24Test, AFailedCallBlocksTheSessionUntilAnOpenFailureOrGOpenComIC) {
    FakePort& session = fake.platform.AddPort(kSessionPort);
    ASSERT_EQ(gOpenComIC(kSessionPort, msg), 0);
    char pin[] = "FFFFFF";
    // True when the command went out on the session port; the scripted reply
    // only comes for a frame that was sent.
    auto sessionCommandRuns = [&]() {
        size_t before = session.written.size();
        session.AnswerFrames({ReaderReply("00")});
        short r = gMemS44_VerifyPin(pin, msg);
        if (session.written.size() > before) return r == 0;
        EXPECT_EQ(r, -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        return false;
    };
    EXPECT_TRUE(sessionCommandRuns());

    // The reader has no card: the call fails at power-on.
    reader.AnswerFrames({ReaderReply("00"), ReaderReply("00"), ReaderReply("21")});
    EXPECT_EQ(Read(), 21);
    EXPECT_STREQ(msg, text::kStatus21);
    EXPECT_EQ(g_nPortClosed, 1);
    EXPECT_FALSE(sessionCommandRuns());
    EXPECT_TRUE(SessionPort()->IsOpen());  // the session port itself is left alone

    // A one-shot call whose port cannot be opened lifts the refusal.
    EXPECT_EQ(Read(16, 2, 7), -1);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_TRUE(sessionCommandRuns());

    // So does gOpenComIC.
    reader.AnswerFrames({});
    EXPECT_EQ(Read(), -1);
    EXPECT_EQ(g_nPortClosed, 1);
    EXPECT_FALSE(sessionCommandRuns());
    ASSERT_EQ(gOpenComIC(kSessionPort, msg), 0);
    EXPECT_TRUE(sessionCommandRuns());

    // A one-shot call on the session's own port cannot open it: it fails,
    // clears the flag and sends nothing there.
    g_nPortClosed = 1;
    size_t sent = session.written.size();
    EXPECT_EQ(Read(16, 2, kSessionPort), -1);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_EQ(session.written.size(), sent);
    EXPECT_TRUE(SessionPort()->IsOpen());

    // Once the session is closed, a cleared flag opens nothing.
    gCloseComIC(msg);
    EXPECT_EQ(Read(16, 2, 7), -1);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_EQ(gMemS44_VerifyPin(pin, msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);
}

}  // namespace
