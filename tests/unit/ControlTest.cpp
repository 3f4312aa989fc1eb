// Reader control commands on a scripted line: card type, power, device state,
// eject, device number and version.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class ControlTest : public FakeSessionTest {
protected:
    void Reopen() {
        char ignored[64];
        ASSERT_EQ(gOpenComIC(kPort, ignored), 0);
        gSetTimeOutIC(10);
        line().written.clear();
    }
    char atr[600] = {};
    char s1[8] = {}, s2[8] = {}, s3[8] = {};
    char version[200] = {};
};

struct Command {
    const char* name;
    std::function<short(char* bpMsg)> call;
    const char* frame;       // as written on the line
    const char* sendFailed;  // its text when the frame cannot go out
    short onStatus21;        // its result when the reader answers 21
};

TEST_F(ControlTest, EveryFailureRowOfEveryCommand) {
    const Command commands[] = {
        {"gSetCardType", [](char* m) { return gSetCardType("CPU", m); }, "\x1B=5488DC\x03", text::kSetCardTypeError,
         21},
        {"gCardPowerOn", [this](char* m) { return gCardPowerOn(atr, m); }, "\x1B=5555\x03", text::kSendComErr, 21},
        {"gCardPowerDown", [](char* m) { return gCardPowerDown(m); }, "\x1B=4444\x03", text::kSendComErr, 21},
        {"gGetDeviceStatus", [this](char* m) { return gGetDeviceStatus(s1, s2, s3, m); }, "\x1B=4747\x03",
         text::kSendComErr, 21},
        {"gOutCard", [](char* m) { return gOutCard(m); }, "\x1B=4F4F\x03", text::kSendComErr, 21},
        {"gSetDeviceNo", [](char* m) { return gSetDeviceNo(12, m); }, "\x1B=251237\x03", text::kSetInterfaceSendError,
         21},
        {"gGetDeviceVersion", [this](char* m) { return gGetDeviceVersion(version, m); }, "\x1B=4141\x03",
         text::kSendComErr, -1},
    };
    for (const Command& c : commands) {
        SCOPED_TRACE(c.name);

        Reopen();
        line().ArriveIn(5, ReaderReply("00"));
        EXPECT_EQ(c.call(msg), 0);
        EXPECT_STREQ(msg, text::kStatus00);
        EXPECT_EQ(line().written, c.frame);

        Reopen();
        line().ArriveIn(5, ReaderReply("21"));
        EXPECT_EQ(c.call(msg), c.onStatus21);
        EXPECT_STREQ(msg, text::kStatus21);

        Reopen();
        gCloseComIC(msg);
        std::strcpy(msg, "stale");
        EXPECT_EQ(c.call(msg), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        EXPECT_EQ(line().written, "");

        Reopen();
        SessionPort()->Close();
        EXPECT_EQ(c.call(msg), -1);
        EXPECT_STREQ(msg, c.sendFailed);

        Reopen();
        gSetTimeOutIC(2);
        uint32_t start = fake.platform.now;
        EXPECT_EQ(c.call(msg), -1);
        EXPECT_STREQ(msg, text::kCommTimeout);
        EXPECT_GE(fake.platform.now - start, 2000u);

        Reopen();
        line().ArriveIn(5, "no header here\x03");
        EXPECT_EQ(c.call(msg), -1);
        EXPECT_STREQ(msg, text::kTimeoutExit);

        Reopen();
        line().ArriveIn(5, std::string("\0\x1B=0200\x03", 8));
        EXPECT_EQ(c.call(msg), -1);
        EXPECT_STREQ(msg, text::kSerialCommError);
    }
}

TEST_F(ControlTest, CardTypeNamesAndTheirFrames) {
    struct Row {
        const char* name;
        const char* body;
    } rows[] = {
        {"CPU", "5488DC"}, {"S4442", "544216"}, {"AT24C01", "540155"}, {"AT88SC1604A", "545400"},
        {"cpu", "00"},     {"", "00"},          {"CPU ", "00"},
    };
    for (const Row& row : rows) {
        line().written.clear();
        line().ArriveIn(5, ReaderReply("24"));
        EXPECT_EQ(gSetCardType(row.name, msg), 24) << row.name;
        EXPECT_STREQ(msg, text::kStatus24);
        EXPECT_EQ(line().written, std::string("\x1B=") + row.body + "\x03") << row.name;
    }
    std::string traced = trace.Contents();
    EXPECT_NE(traced.find("\xC3\xFC\xC1\xEE=[5488DC]"), std::string::npos);

    line().written.clear();
    EXPECT_EQ(gSetCardType(nullptr, msg), -1);
    EXPECT_STREQ(msg, text::kParamError);
    EXPECT_EQ(line().written, "");
}

TEST_F(ControlTest, PowerOnReturnsTheAnswerToResetAsText) {
    line().ArriveIn(5, ReaderReply("00", "3B6F00008031E0"));
    EXPECT_EQ(gCardPowerOn(atr, msg), 0);
    EXPECT_STREQ(atr, "3B6F00008031E0");

    // No data: the ATR is emptied, the status comes back.
    std::strcpy(atr, "old");
    line().ArriveIn(5, ReaderReply("23"));
    EXPECT_EQ(gCardPowerOn(atr, msg), 23);
    EXPECT_STREQ(atr, "");
    EXPECT_STREQ(msg, text::kStatus23);

    // No card: the announced data is still taken.
    line().ArriveIn(5, ReaderReply("21", "3B00"));
    EXPECT_EQ(gCardPowerOn(atr, msg), 21);
    EXPECT_STREQ(atr, "3B00");

    std::vector<std::string> lines = trace.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), text::kTracePowerOn);
    gCardPowerDown(msg);
    EXPECT_EQ(trace.Lines().back().rfind(text::kTracePowerOff, 0), 0u);
}

TEST_F(ControlTest, PowerOnKeepsTheAnswerToResetOnEarlyFailures) {
    std::strcpy(atr, "keep");
    gSetTimeOutIC(1);
    EXPECT_EQ(gCardPowerOn(atr, msg), -1);
    line().ArriveIn(5, "\x15\x03");
    EXPECT_EQ(gCardPowerOn(atr, msg), -1);
    SessionPort()->Close();
    EXPECT_EQ(gCardPowerOn(atr, msg), -1);
    gCloseComIC(msg);
    EXPECT_EQ(gCardPowerOn(atr, msg), -1);
    EXPECT_STREQ(atr, "keep");
}

TEST_F(ControlTest, AnswerToResetIsCutToWhatArrivedAndToItsCapacity) {
    // LL FF announces 506 characters; 600 arrive: 506 are taken, no more.
    std::memset(atr, 'x', sizeof atr);
    line().ArriveIn(5, "\x1B=FF00" + std::string(600, 'A') + "\x03");
    EXPECT_EQ(gCardPowerOn(atr, msg), 0);
    EXPECT_EQ(std::strlen(atr), 506u);
    EXPECT_EQ(atr[507], 'x');

    // LL 40 announces 124 characters; only 6 arrive.
    line().ArriveIn(5, "\x1B=40003B0011\x03");
    EXPECT_EQ(gCardPowerOn(atr, msg), 0);
    EXPECT_STREQ(atr, "3B0011");
}

TEST_F(ControlTest, DeviceStateFieldsFollowTheStatusWhateverItSays) {
    std::strcpy(s1, "k1");
    std::strcpy(s2, "k2");
    std::strcpy(s3, "k3");
    SessionPort()->Close();
    EXPECT_EQ(gGetDeviceStatus(s1, s2, s3, msg), -1);
    EXPECT_STREQ(s1, "k1");
    EXPECT_STREQ(s3, "k3");
    Reopen();

    // The length field is not read: 02 with six characters still fills them.
    line().ArriveIn(5, "\x1B=0221A1B2C3\x03");
    EXPECT_EQ(gGetDeviceStatus(s1, s2, s3, msg), 21);
    EXPECT_STREQ(s1, "A1");
    EXPECT_STREQ(s2, "B2");
    EXPECT_STREQ(s3, "C3");

    // A short reply fills what arrived and empties the rest.
    std::memset(s3, 'x', sizeof s3);
    line().ArriveIn(5, "\x1B=020001B\x03");
    EXPECT_EQ(gGetDeviceStatus(s1, s2, s3, msg), 0);
    EXPECT_STREQ(s1, "01");
    EXPECT_STREQ(s2, "B");
    EXPECT_STREQ(s3, "");
    EXPECT_EQ(s3[1], 'x');
}

TEST_F(ControlTest, EjectReportsAFailedEject) {
    line().ArriveIn(5, ReaderReply("25"));
    EXPECT_EQ(gOutCard(msg), 25);
    EXPECT_STREQ(msg, text::kStatus25);
    EXPECT_STREQ(msg, "\xB5\xAF\xBF\xA8\xB2\xBB\xB3\xC9\xB9\xA6!");
}

TEST_F(ControlTest, DeviceNumberGoesOutAsTwoDecimalDigits) {
    struct Row {
        short number;
        const char* body;  // with its checksum
    } rows[] = {{0, "250025"}, {7, "250722"}, {10, "251035"}, {12, "251237"}, {99, "2599BC"}};
    for (const Row& row : rows) {
        line().written.clear();
        line().ArriveIn(5, ReaderReply("00"));
        EXPECT_EQ(gSetDeviceNo(row.number, msg), 0) << row.number;
        EXPECT_EQ(SentBodies().back(), row.body) << row.number;
    }
    for (short bad : {-1, 100, 255, -32768}) {
        line().written.clear();
        EXPECT_EQ(gSetDeviceNo(bad, msg), -1) << bad;
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_EQ(line().written, "") << bad;
    }
}

TEST_F(ControlTest, VersionComesBackAsBytes) {
    line().ArriveIn(5, ReaderReply("00", "5144352E3031"));
    EXPECT_EQ(gGetDeviceVersion(version, msg), 0);
    EXPECT_STREQ(version, "QD5.01");
    EXPECT_STREQ(msg, text::kStatus00);

    std::strcpy(version, "old");
    line().ArriveIn(5, ReaderReply("00"));
    EXPECT_EQ(gGetDeviceVersion(version, msg), 0);
    EXPECT_STREQ(version, "");

    std::strcpy(version, "old");
    line().ArriveIn(5, ReaderReply("24", "41"));
    EXPECT_EQ(gGetDeviceVersion(version, msg), -1);
    EXPECT_STREQ(msg, text::kStatus24);
    EXPECT_STREQ(version, "");

    // Emptied after the session check, so a failed send leaves it empty.
    std::strcpy(version, "old");
    SessionPort()->Close();
    EXPECT_EQ(gGetDeviceVersion(version, msg), -1);
    EXPECT_STREQ(version, "");
    gCloseComIC(msg);
    std::strcpy(version, "old");
    EXPECT_EQ(gGetDeviceVersion(version, msg), -1);
    EXPECT_STREQ(version, "old");
}

TEST_F(ControlTest, VersionIsCutTo128Bytes) {
    std::memset(version, 'x', sizeof version);
    line().ArriveIn(5, "\x1B=FF00" + std::string(400, '4') + "\x03");
    EXPECT_EQ(gGetDeviceVersion(version, msg), 0);
    EXPECT_EQ(static_cast<unsigned char>(version[127]), 0x44);
    EXPECT_EQ(version[128], '\0');
    EXPECT_EQ(version[129], 'x');
}

}  // namespace
