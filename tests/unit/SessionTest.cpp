// The session, the transaction every session command follows, and the raw
// pass-through, on a scripted line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "reader/FrameBodies.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class NoSessionTest : public ::testing::Test {
protected:
    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    char msg[64] = {};
};

TEST_F(NoSessionTest, CloseWithoutSessionAndTheSessionCheck) {
    EXPECT_EQ(gCloseComIC(msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);
    std::strcpy(msg, "x");
    EXPECT_FALSE(SessionCheck(msg));
    EXPECT_STREQ(msg, text::kPortNotOpen);
}

TEST_F(NoSessionTest, OpeningAMissingPortNamesItsNumber) {
    EXPECT_EQ(gOpenComIC(7, msg), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[7]");
    EXPECT_EQ(SessionPort(), nullptr);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_FALSE(SessionCheck(msg));
}

TEST_F(NoSessionTest, OpenCloseAndCloseAgain) {
    FakePort& line = fake.platform.AddPort(2);
    EXPECT_EQ(gOpenComIC(2, msg), 0);
    EXPECT_STREQ(msg, "\xD5\xFD\xC8\xB7\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[2]");
    EXPECT_TRUE(line.open);
    EXPECT_EQ(fake.platform.lastSettings.baud, 9600u);
    EXPECT_EQ(gCloseComIC(msg), 0);
    EXPECT_STREQ(msg, text::kClosed);
    EXPECT_FALSE(line.open);
    EXPECT_EQ(g_nPortClosed, 1);
    EXPECT_EQ(gCloseComIC(msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);
}

TEST_F(NoSessionTest, ReopeningClosesTheEarlierSessionFirst) {
    FakePort& line = fake.platform.AddPort(2);
    ASSERT_EQ(gOpenComIC(2, msg), 0);
    EXPECT_EQ(gOpenComIC(2, msg), 0);
    EXPECT_EQ(line.opens, 2);
    EXPECT_TRUE(line.open);
    EXPECT_EQ(gCloseComIC(msg), 0);
    EXPECT_FALSE(line.open);
}

TEST_F(NoSessionTest, TimeOutSurvivesSessions) {
    fake.platform.AddPort(2);
    EXPECT_EQ(gSetTimeOutIC(3), 3);
    ASSERT_EQ(gOpenComIC(2, msg), 0);
    gCloseComIC(msg);
    ASSERT_EQ(gOpenComIC(2, msg), 0);
    EXPECT_EQ(g_byTimeOut, 3);
    SessionOutcome out = SessionExchange(FrameBody("55"), kUsualTexts, msg);
    EXPECT_EQ(out.result, -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    EXPECT_EQ(fake.platform.now, 3001u);
    gCloseComIC(msg);
    gSetTimeOutIC(10);
}

TEST_F(NoSessionTest, SampleItems) {
    EXPECT_EQ(fnRido(), 42);
    EXPECT_EQ(nRido, 0);
    CRido a, b;
    EXPECT_EQ(&(a = b), &a);
}

class TransactionTest : public FakeSessionTest {};

TEST_F(TransactionTest, StatusBecomesMessageAndResult) {
    struct Row {
        std::string reply;
        short result;
        const char* message;
    } rows[] = {
        {ReaderReply("00"), 0, text::kStatus00},
        {ReaderReply("21"), 21, text::kStatus21},
        {"\xFF\x00noise" + ReaderReply("33"), 33, text::kStatus33},
        {ReaderReply("1A"), 1, text::kSerialCommError},
        {ReaderReply("99"), 99, text::kSerialCommError},
        {std::string("\0\x1B=0221\x03", 8), -1, text::kSerialCommError},
        {"\x1B=02\x03", -1, text::kSerialCommError},
    };
    for (const Row& row : rows) {
        line().ArriveIn(5, row.reply);
        SessionOutcome out = SessionExchange(FrameBody("5488"), kUsualTexts, msg);
        EXPECT_TRUE(out.parsed);
        EXPECT_EQ(out.result, row.result);
        EXPECT_STREQ(msg, row.message);
    }
    EXPECT_EQ(SentBodies().front(), "5488DC");
}

TEST_F(TransactionTest, FailuresBeforeAReplyWasParsed) {
    CommandTexts texts{"SEND", "WAIT"};
    line().ArriveIn(5, "garbage\x03");
    SessionOutcome out = SessionExchange(FrameBody("47"), texts, msg);
    EXPECT_FALSE(out.parsed);
    EXPECT_STREQ(msg, text::kTimeoutExit);

    gSetTimeOutIC(1);
    out = SessionExchange(FrameBody("47"), texts, msg);
    EXPECT_EQ(out.result, -1);
    EXPECT_STREQ(msg, "WAIT");

    size_t sent = line().written.size();
    out = SessionExchange(FrameBody("57").Hex2(300), texts, msg);
    EXPECT_STREQ(msg, text::kParamError);
    EXPECT_EQ(line().written.size(), sent);

    SessionPort()->Close();  // the port is gone underneath the session
    out = SessionExchange(FrameBody("47"), texts, msg);
    EXPECT_EQ(out.result, -1);
    EXPECT_STREQ(msg, "SEND");
}

TEST_F(TransactionTest, DataFieldHelpersStayWithinTheirCapacity) {
    std::string data(300, 'A');
    line().ArriveIn(5, "\x1B=FF00" + data + "\x03");
    SessionOutcome out = SessionExchange(FrameBody("52"), kUsualTexts, msg);
    ASSERT_TRUE(out.parsed);
    char text[600];
    CopyDataText(out.reply, text, 506);
    EXPECT_EQ(std::strlen(text), 300u);
    CopyDataText(out.reply, text, 8);
    EXPECT_STREQ(text, "AAAAAAAA");
    unsigned char bytes[140];
    std::memset(bytes, 0xEE, sizeof bytes);
    CopyDataBytes(out.reply, bytes);
    EXPECT_EQ(bytes[127], 0xAA);
    EXPECT_EQ(bytes[128], 0);
    EXPECT_EQ(bytes[129], 0xEE);
}

TEST_F(TransactionTest, AnOddCountOfDataCharactersEndsInAPaddedHalfByte) {
    // LL 04 promises four characters; three arrive before ETX.
    line().ArriveIn(5, "\x1B=0400123\x03");
    SessionOutcome out = SessionExchange(FrameBody("52"), kUsualTexts, msg);
    ASSERT_TRUE(out.parsed);
    unsigned char bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    CopyDataBytes(out.reply, bytes);
    // As gCompressAsc pads: the last digit in the high half, F in the low.
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x3F);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 0xEE);
}

class RawTest : public FakeSessionTest {};

TEST_F(RawTest, SendThenReadUpToTheEndCharacter) {
    const std::string frame = ReaderReply("00", "3B00");
    line().AnswerFrames({frame});
    EXPECT_EQ(AsynSendData("\x1B=5555\x03", 7), 7);
    EXPECT_EQ(line().written, "\x1B=5555\x03");
    char data[1025];
    short len = 0;
    EXPECT_EQ(sReadByEndChar(0x03, 5, data, &len), static_cast<short>(frame.size()));
    EXPECT_EQ(len, static_cast<short>(frame.size()));
    EXPECT_EQ(std::string(data), frame);
}

TEST_F(RawTest, ZeroByteEndsTheTextButNotTheCount) {
    line().ArriveAt(0, std::string("AB\0CD\x03", 6));
    char data[1025];
    short len = 0;
    EXPECT_EQ(sReadByEndChar(0x03, 5, data, &len), 6);
    EXPECT_EQ(len, 6);
    EXPECT_STREQ(data, "AB");
}

TEST_F(RawTest, EndCharacterThatNeverComes) {
    line().ArriveAt(0, "AB");
    char data[1025];
    short len = 0;
    EXPECT_EQ(sReadByEndChar(0x03, 2, data, &len), -11);
    EXPECT_GE(fake.platform.now, 2000u);
    EXPECT_LE(fake.platform.now, 3300u);
}

TEST_F(RawTest, ReadByLenAndReadAll) {
    line().ArriveAt(0, "ABCD");
    char data[1025];
    short len = 0;
    EXPECT_EQ(sReadByLen(10, 5, data, &len), 1);
    EXPECT_EQ(len, 4);
    EXPECT_STREQ(data, "ABCD");
    EXPECT_EQ(sReadByLen(10, 1, data, &len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_STREQ(data, "");

    line().ArriveIn(0, "12");
    line().ArriveIn(50, "34");
    EXPECT_EQ(sAsynReadNomal(data, &len), 4);
    EXPECT_EQ(len, 4);
    EXPECT_STREQ(data, "1234");
    EXPECT_EQ(sAsynReadNomal(data, &len), -1);
}

TEST_F(RawTest, WithoutASessionNothingIsSentOrRead) {
    gCloseComIC(msg);
    char data[8] = "junk";
    short len = 5;
    EXPECT_EQ(AsynSendData("ab", 2), 0);
    EXPECT_EQ(sReadByEndChar(0x03, 1, data, &len), -1);
    EXPECT_EQ(len, 0);
    EXPECT_STREQ(data, "");
    EXPECT_EQ(sReadByLen(2, 1, data, &len), 0);
    EXPECT_EQ(sAsynReadNomal(data, &len), -1);
}

}  // namespace
