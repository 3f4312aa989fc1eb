// The trace log: where it goes, its time stamps, and what the channel writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exports/Texts.h"
#include "reader/CardReader.h"
#include "serial/ComPort.h"
#include "serial/doVoruv.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class TracePathTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("QD500_TRACE_FILE"); }
    std::string PathFor(const std::string& host, char separator) {
        fake.platform.hostPath = host;
        fake.platform.separator = separator;
        char path[300];
        return TraceLogPath(path, sizeof path) ? path : "<none>";
    }
    ScopedFakePlatform fake;
};

TEST_F(TracePathTest, BesideTheHostExecutable) {
    EXPECT_EQ(PathFor("C:\\Tools\\app.exe", '\\'), "C:\\Tools\\DOVoruv.Log");
    EXPECT_EQ(PathFor("C:\\app.exe", '\\'), "C:\\DOVoruv.Log");
    EXPECT_EQ(PathFor("app.exe", '\\'), "\\DOVoruv.Log");
    EXPECT_EQ(PathFor("/opt/pos/bin/app", '/'), "/opt/pos/bin/DOVoruv.Log");
}

TEST_F(TracePathTest, PathTooLongForItsBufferDropsTheLine) {
    EXPECT_EQ(PathFor("/" + std::string(260, 'd') + "/app", '/'), "<none>");
    EXPECT_NE(PathFor("/" + std::string(200, 'd') + "/app", '/'), "<none>");
    TraceLine("%s", "never written");  // must not crash or overrun
}

TEST_F(TracePathTest, EnvironmentNamesTheFile) {
    setenv("QD500_TRACE_FILE", "/tmp/x.log", 1);
    EXPECT_EQ(PathFor("C:\\app.exe", '\\'), "/tmp/x.log");
    unsetenv("QD500_TRACE_FILE");
}

class TraceStampTest : public ::testing::Test {
protected:
    std::string StampAt(int month, int day, int hour, int minute, int second, int ms) {
        fake.platform.utc = UtcTime{2026, month, day, hour, minute, second, ms};
        ScopedTraceFile file;
        TraceLine("%s", "x");
        std::string all = file.Contents();
        return all.substr(0, 20);
    }
    ScopedFakePlatform fake;
};

TEST_F(TraceStampTest, BeijingHourOnTheUtcDate) {
    EXPECT_EQ(StampAt(3, 5, 17, 30, 0, 5), "--03/05 01:30:00:005");
    EXPECT_EQ(StampAt(3, 5, 16, 0, 0, 0), "--03/05 00:00:00:000");
    EXPECT_EQ(StampAt(12, 31, 9, 8, 7, 123), "--12/31 17:08:07:123");
}

// What a port of the drop-in library traces: its reader labels every frame
// sent and every reply the reply wait collects.
class ChannelTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        line = &fake.platform.AddPort(4);
        reader.TraceDropIn();
        ASSERT_TRUE(reader.OpenPort(4));
        port = reader.Port();
    }
    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    FakePort* line = nullptr;
    CardReader reader;
    CComPort* port = nullptr;
};

TEST_F(ChannelTraceTest, CommandLines) {
    port->SendData("\x1B=5555\x03", 7);
    port->SendData("\x1B=4444\x03", 7);
    port->SendData("\x1B=5A0084000004DA\x03", 17);
    port->SendData("\x1B=5488DC\x03", 9);
    port->SendData("\x1B]", 2);
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], text::kTracePowerOn);
    EXPECT_EQ(lines[1], text::kTracePowerOff);
    EXPECT_EQ(lines[2], "\xC3\xFC\xC1\xEE=[0084000004DA]");
    EXPECT_EQ(lines[3], "\xC3\xFC\xC1\xEE=[5488DC]");
    EXPECT_EQ(lines[4], "\xC3\xFC\xC1\xEE=[]");
}

TEST_F(ChannelTraceTest, ReplyLinesAreFollowedByAnEmptyLine) {
    line->ArriveAt(0, ReaderReply("00", "3B02"));
    port->WaitReply(0x03, 1);
    line->ArriveAt(0, "\x1B=0\x03");
    port->WaitReply(0x03, 1);
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "\xD3\xA6\xB4\xF0=[003B023D]");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "\xD3\xA6\xB4\xF0=[]");
    EXPECT_EQ(lines[3], "");
}

TEST_F(ChannelTraceTest, TimedOutWaitWritesNoReplyLine) {
    port->WaitReply(0x03, 0);
    EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(ChannelTraceTest, LongFramesAreTracedCut) {
    std::string frame = "\x1B=" + std::string(600, '7') + "\x03";
    port->SendData(frame.data(), static_cast<int>(frame.size()));
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "\xC3\xFC\xC1\xEE=[" + std::string(254, '7') + "]");
}

}  // namespace
