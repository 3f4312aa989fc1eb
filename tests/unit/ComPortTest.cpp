// The channel's time rules on a scripted line and a virtual clock.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "serial/ComPort.h"
#include "support/Fixtures.h"

namespace qd500 {
bool operator==(const ReadResult& a, const ReadResult& b) { return a.status == b.status && a.count == b.count; }
void PrintTo(const ReadResult& r, std::ostream* os) {
    *os << "{status " << static_cast<int>(r.status) << ", count " << r.count << "}";
}
}  // namespace qd500

using namespace qd500;
using namespace qd500::test;

namespace {

ReadResult Got(int count) { return {LineStatus::Ok, count}; }

const std::string kFrame = "\x1B=0200AB\x03";

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        line = &fake.platform.AddPort(4);
        port.SetParams(4, 9600, 'N', '8', '1');
        ASSERT_EQ(port.Open(), 1);
    }
    std::string Received() const { return std::string(port.Received(), static_cast<size_t>(port.ReceivedLength())); }
    uint32_t Now() const { return fake.platform.now; }

    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    FakePort* line = nullptr;
    CComPort port;
};

TEST_F(ComPortTest, ReplyAlreadyQueuedIsReadInTheFirstCycleAndWhatFollowsStaysQueued) {
    line->ArriveAt(0, kFrame + "XYZ");
    EXPECT_EQ(port.WaitReply(0x03, 10), Got(static_cast<int>(kFrame.size())));
    EXPECT_EQ(Received(), kFrame);
    EXPECT_EQ(port.Received()[kFrame.size()], '\0');
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(fake.platform.pausedMs, 0u);
    EXPECT_EQ(port.GetInQueue(), 3);
    char rest[8] = {};
    EXPECT_EQ(port.ReadAvailable(rest, 8), 3);
    EXPECT_STREQ(rest, "XYZ");
}

TEST_F(ComPortTest, ReplyWhoseEndComesAfterTheWindowLosesItsBeginning) {
    line->ArriveAt(0, "\x1B=0200");
    line->ArriveAt(1100, "AB\x03");
    EXPECT_EQ(port.WaitReply(0x03, 10), Got(3));
    EXPECT_EQ(Received(), "AB\x03");
    EXPECT_EQ(Now(), 1100u);
}

TEST_F(ComPortTest, ReplyEndingJustInsideTheWindowIsWhole) {
    line->ArriveAt(0, "\x1B=02");
    line->ArriveAt(1000, "00AB\x03");
    EXPECT_EQ(port.WaitReply(0x03, 10), Got(static_cast<int>(kFrame.size())));
    EXPECT_EQ(Received(), kFrame);
}

TEST_F(ComPortTest, TimeOutOfZeroGivesOneAttemptThenTimesOut) {
    line->ArriveAt(0, "\x1B=02");  // begun, never finished
    line->ArriveAt(3000, "00AB\x03");
    EXPECT_EQ(port.WaitReply(0x03, 0).status, LineStatus::TimedOut);
    EXPECT_LE(Now(), 1001u + CComPort::kReplyCycleMs);

    CComPort other;
    fake.platform.AddPort(5).ArriveAt(Now(), kFrame);
    other.SetParams(5, 9600, 'N', '8', '1');
    ASSERT_EQ(other.Open(), 1);
    EXPECT_EQ(other.WaitReply(0x03, 0), Got(static_cast<int>(kFrame.size())));
}

TEST_F(ComPortTest, SilentLineTimesOutRightAfterTheLimit) {
    EXPECT_EQ(port.WaitReply(0x03, 3).status, LineStatus::TimedOut);
    EXPECT_EQ(Now(), 3001u);
    EXPECT_EQ(fake.platform.pausedMs, 0u);
}

TEST_F(ComPortTest, TimeOutsAreUnsigned) {
    uint32_t start = Now();
    EXPECT_EQ(port.WaitReply(0x03, 200).status, LineStatus::TimedOut);
    EXPECT_EQ(Now() - start, 200001u);
}

TEST_F(ComPortTest, ReadByLenTakesWhatIsThere) {
    line->ArriveAt(0, "ABCD");
    EXPECT_EQ(port.ReadByLen(10, 5), Got(4));
    EXPECT_EQ(Received(), "ABCD");
    EXPECT_LT(Now(), 10u);
}

TEST_F(ComPortTest, ReadByLenKeepsBytesThatFollowOnTheHeelsOfTheFirst) {
    line->ArriveAt(0, "AB");
    line->ArriveAt(2, "C");
    line->ArriveAt(100, "D");
    EXPECT_EQ(port.ReadByLen(4, 5), Got(3));
    EXPECT_EQ(Received(), "ABC");

    EXPECT_EQ(port.ReadByLen(4, 5), Got(1));
    EXPECT_EQ(Received(), "D");

    // A window message inside the gap does not end it.
    line->ArriveAt(200, "AB");
    line->MessageAt(202);
    line->ArriveAt(204, "C");
    EXPECT_EQ(port.ReadByLen(4, 5), Got(3));
    EXPECT_EQ(Received(), "ABC");
    EXPECT_EQ(Now(), 209u);
}

TEST_F(ComPortTest, ReadByLenWithNothingArrivingReturnsZeroAtTheLimit) {
    EXPECT_EQ(port.ReadByLen(3, 2).status, LineStatus::TimedOut);
    EXPECT_EQ(port.ReceivedLength(), 0);
    EXPECT_EQ(Now(), 2001u);
    EXPECT_GT(fake.platform.pumps, 0);
}

TEST_F(ComPortTest, ReadByLenOfNothingReturnsAtOnceWithBytesWaiting) {
    line->ArriveAt(0, "ABCD");
    EXPECT_EQ(port.ReadByLen(0, 5), Got(0));
    EXPECT_EQ(port.ReadByLen(-3, 5), Got(0));
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(port.GetInQueue(), 4);
}

// A read that listens for quiet stops at its count even while bytes keep
// coming, and otherwise once the gap since the last bytes is longer than its
// quiet period.
TEST_F(ComPortTest, ReadStopsAtItsCountOrAfterItsQuietGap) {
    ReadUntil until;
    until.quietMs = 40;
    until.totalMs = 1000;
    line->ArriveAt(0, "AB");
    line->ArriveAt(30, "CD");
    line->ArriveAt(80, "EF");
    until.count = 3;
    EXPECT_EQ(port.Read(until), Got(3));
    EXPECT_EQ(Received(), "ABC");
    EXPECT_EQ(Now(), 30u);

    until.count = 10;
    EXPECT_EQ(port.Read(until), Got(1));
    EXPECT_EQ(Received(), "D");
    EXPECT_EQ(Now(), 71u);
    EXPECT_FALSE(port.FrameDone());
}

TEST_F(ComPortTest, ReadAllEndsAfterAQuietPeriod) {
    line->ArriveAt(0, "AB");
    line->ArriveAt(60, "CD");
    line->ArriveAt(150, "EF");
    line->ArriveAt(400, "GH");
    EXPECT_EQ(port.ReadAll(), Got(6));
    EXPECT_EQ(Received(), "ABCDEF");
    EXPECT_EQ(Now(), 251u);
    EXPECT_TRUE(port.FrameDone());
}

// The first block is taken at once, but the quiet period starts no earlier
// than the end of the 100 ms settling pause: a second burst 180 ms behind
// the first still belongs to the read.
TEST_F(ComPortTest, ReadAllListensThroughTheSettlingPause) {
    line->ArriveAt(0, "AB");
    EXPECT_EQ(port.ReadAll(), Got(2));
    EXPECT_EQ(Now(), 201u);

    line->ArriveAt(300, "AB");
    line->ArriveAt(480, "CD");
    fake.platform.now = 300;
    EXPECT_EQ(port.ReadAll(), Got(4));
    EXPECT_EQ(Received(), "ABCD");
    EXPECT_EQ(Now(), 581u);
}

TEST_F(ComPortTest, ReadsOfAnEmptyQueue) {
    EXPECT_EQ(port.ReadAll().status, LineStatus::NothingQueued);
    EXPECT_EQ(port.ReadExact(2).status, LineStatus::NothingQueued);
    EXPECT_EQ(port.ReadToEndChar(0x03).status, LineStatus::NothingQueued);
    EXPECT_EQ(port.GetInQueue(), 0);
    EXPECT_EQ(Now(), 0u);
}

TEST_F(ComPortTest, ReadExactNeedsTheWholeCountQueued) {
    line->ArriveAt(0, "ABCD");
    EXPECT_EQ(port.ReadExact(6).status, LineStatus::TooFewQueued);
    EXPECT_EQ(port.ReadExact(3), Got(3));
    EXPECT_EQ(Received(), "ABC");
    EXPECT_EQ(port.GetInQueue(), 1);
}

TEST_F(ComPortTest, OverlongReplyIsCutAtTheBufferAndConsumedToItsEnd) {
    line->ArriveAt(0, std::string(3000, 'A') + "\x03" + kFrame);
    EXPECT_EQ(port.WaitReply(0x03, 10), Got(CComPort::kRecvCapacity));
    EXPECT_EQ(port.Received()[CComPort::kRecvCapacity], '\0');
    EXPECT_EQ(port.WaitReply(0x03, 10), Got(static_cast<int>(kFrame.size())));
    EXPECT_EQ(Received(), kFrame);
}

TEST_F(ComPortTest, HangUpEndsEveryWaitAtOnce) {
    line->ArriveAt(0, "\x1B=02");
    line->HangUpAt(300);
    EXPECT_EQ(port.WaitReply(0x03, 10).status, LineStatus::Failed);
    EXPECT_EQ(Now(), 300u);
    EXPECT_TRUE(port.LineFailed());
    EXPECT_EQ(port.WaitReply(0x03, 10).status, LineStatus::Failed);
    EXPECT_EQ(port.ReadByLen(3, 10), (ReadResult{LineStatus::Failed, 0}));
    EXPECT_EQ(port.ReadAll().status, LineStatus::Failed);
    EXPECT_EQ(Now(), 300u);
}

// Bytes staged in the port before a hang-up are still handed out; the reply
// wait after that reports the failure with nothing left of them.
TEST_F(ComPortTest, WaitOnAFailedLineLeavesNoOldBytes) {
    line->ArriveAt(0, "\x1B=0200AB\x03XYZ");
    ASSERT_TRUE(port.WaitReply(0x03, 10).Ok());
    line->HangUpAt(0);
    EXPECT_EQ(port.ReadByLen(4, 1), Got(3));
    EXPECT_EQ(Received(), "XYZ");
    EXPECT_TRUE(port.LineFailed());
    EXPECT_EQ(port.WaitReply(0x03, 1).status, LineStatus::Failed);
    EXPECT_EQ(port.ReceivedLength(), 0);
    EXPECT_EQ(Received(), "");
}

TEST_F(ComPortTest, ClosedObjectRefusesAtOnce) {
    struct Sends final : LineListener {
        void Sent(const char*, int) override { ++count; }
        void Replied(const char*, int) override {}
        void Received(const char*, int) override {}
        void Idle() override {}
        int count = 0;
    } sends;
    port.SetListener(&sends);
    port.Close();
    EXPECT_EQ(port.Close(), 1);
    const ReadResult refused{LineStatus::NotOpen, 0};
    EXPECT_EQ(port.WaitReply(0x03, 10), refused);
    EXPECT_EQ(port.ReadToEndChar(0x03), refused);
    EXPECT_EQ(port.ReadByLen(3, 10), refused);
    EXPECT_EQ(port.ReadAll(), refused);
    EXPECT_EQ(port.ReadExact(3), refused);
    EXPECT_EQ(port.SendData("\x1B=5555\x03", 7), LineStatus::NotOpen);
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(sends.count, 1);  // the send is traced all the same
}

TEST_F(ComPortTest, LineSettingsMapToTheDriversValues) {
    CComPort other;
    fake.platform.AddPort(6);
    other.SetParams(6, 14400, 'M', '6', '3');
    ASSERT_EQ(other.Open(), 1);
    EXPECT_EQ(fake.platform.lastSettings.baud, 9600u);
    EXPECT_EQ(fake.platform.lastSettings.parity, 0);
    EXPECT_EQ(fake.platform.lastSettings.dataBits, 8);
    EXPECT_EQ(fake.platform.lastSettings.stopBits, 0);
    other.Close();
    other.SetParams(6, 19200, 'E', '7', '2');
    ASSERT_EQ(other.Open(), 1);
    EXPECT_EQ(fake.platform.lastSettings.baud, 19200u);
    EXPECT_EQ(fake.platform.lastSettings.parity, 2);
    EXPECT_EQ(fake.platform.lastSettings.dataBits, 7);
    EXPECT_EQ(fake.platform.lastSettings.stopBits, 2);
    EXPECT_EQ(other.Open(), 1);  // already open
}

TEST_F(ComPortTest, SendDataWritesEveryByteAndCountsThemEvenWhenRefused) {
    EXPECT_EQ(port.SendData("\x1B=5488DC\x03", 9), LineStatus::Ok);
    EXPECT_EQ(line->written, "\x1B=5488DC\x03");
    line->refuseWrites = true;
    EXPECT_EQ(port.SendData("\x1B=4444\x03", 7), LineStatus::Ok);
    EXPECT_EQ(line->written, "\x1B=5488DC\x03");
}

TEST_F(ComPortTest, HeldPortCannotBeOpenedTwice) {
    CComPort other;
    other.SetParams(4, 9600, 'N', '8', '1');
    EXPECT_EQ(other.Open(), 0);
    EXPECT_FALSE(other.IsOpen());
}

}  // namespace
