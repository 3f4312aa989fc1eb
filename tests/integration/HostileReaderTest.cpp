// The library against a reader that misbehaves: replies too long for the
// buffer, no end byte, noise, replies split around the 1000 ms window,
// unknown status codes, a line that hangs up in the middle of a reply.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using namespace qd500;
using namespace qd500::test;

namespace {

constexpr int kCom = 81;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// A memory read into a buffer of exactly its stated 129 bytes, between guards.
struct GuardedRead {
    static constexpr size_t kGuard = 16;
    unsigned char raw[kGuard + 129 + kGuard];
    GuardedRead() { std::memset(raw, 0xC5, sizeof raw); }
    char* data() { return reinterpret_cast<char*>(raw + kGuard); }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (raw[i] != 0xC5 || raw[kGuard + 129 + i] != 0xC5) return false;
        return true;
    }
};

class HostileReaderTest : public ::testing::Test {
protected:
    void Start(const std::string& faults) {
        reader = std::make_unique<SimulatedReader>(
            kCom, SimulatedReader::FromJson(R"({"card": {"type": "S4428"}, "faults": [)" + faults + "]}"));
        ASSERT_TRUE(reader->started());
        gSetTimeOutIC(1);
        ASSERT_EQ(gOpenComIC(kCom, msg), 0) << msg;
        ASSERT_EQ(gSetCardType("S4428", msg), 0) << msg;
        ASSERT_EQ(gCardPowerOn(atr, msg), 0) << msg;
    }
    void TearDown() override {
        gCloseComIC(msg);
        gSetTimeOutIC(10);
    }
    short Read(GuardedRead& buf, short count = 16) { return gCard_ReadData("00", "00", count, buf.data(), msg); }

    ScopedTraceFile trace;
    std::unique_ptr<SimulatedReader> reader;
    char msg[32] = {};
    char atr[507] = {};
};

TEST_F(HostileReaderTest, ReplyLongerThanTheBufferIsCut) {
    Start(R"({"kind": "oversize", "command": "52", "size": 1500, "times": 1})");
    GuardedRead buf;
    EXPECT_EQ(Read(buf), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    EXPECT_TRUE(buf.GuardsIntact());
    EXPECT_EQ(buf.data()[128], 0);  // 128 bytes at most, then the terminator
    GuardedRead next;
    EXPECT_EQ(Read(next), 0) << "the rest of the long reply must not pose as the next one";
}

TEST_F(HostileReaderTest, NoEndByteUntilTheTimeOut) {
    Start(R"({"kind": "no_etx", "command": "52", "times": 1})");
    GuardedRead buf;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(buf), -1);
    EXPECT_STREQ(msg, text::kReadDataTimeout);
    EXPECT_LT(Seconds(start), 3.0);
    EXPECT_TRUE(buf.GuardsIntact());
    EXPECT_EQ(Read(buf), 0) << msg;
}

TEST_F(HostileReaderTest, NoiseBeforeTheHeaderAndAWrongChecksum) {
    Start(R"({"kind": "noise", "command": "52", "bytes": 40}, {"kind": "bad_bcc", "command": "52"})");
    GuardedRead buf;
    EXPECT_EQ(Read(buf), 0) << msg;
    EXPECT_TRUE(buf.GuardsIntact());
}

TEST_F(HostileReaderTest, ReplySplitPastTheWindowLosesItsHeader) {
    Start(R"({"kind": "split", "command": "52", "at": 4, "pause_ms": 1300, "times": 1})");
    GuardedRead buf;
    std::memset(buf.data(), 'K', 4);
    gSetTimeOutIC(3);
    EXPECT_EQ(Read(buf), -1);
    EXPECT_STREQ(msg, text::kTimeoutExit);
    EXPECT_EQ(std::string(buf.data(), 4), "KKKK");  // untouched: no reply was parsed
}

TEST_F(HostileReaderTest, ReplySplitWithinTheWindowIsWhole) {
    Start(R"({"kind": "split", "command": "52", "at": 4, "pause_ms": 600, "times": 1})");
    GuardedRead buf;
    EXPECT_EQ(Read(buf), 0) << msg;
}

TEST_F(HostileReaderTest, UnknownAndRefusingStatusCodes) {
    Start(R"({"kind": "status", "command": "52", "status": "99", "times": 1},
             {"kind": "status", "command": "52", "status": "21", "skip": 1, "times": 1})");
    GuardedRead buf;
    EXPECT_EQ(Read(buf), 99);
    EXPECT_STREQ(msg, text::kSerialCommError);
    EXPECT_EQ(Read(buf), 21);
    EXPECT_STREQ(msg, text::kStatus21);
    EXPECT_TRUE(buf.GuardsIntact());
}

TEST_F(HostileReaderTest, LineThatHangsUpMidReplyFailsPromptlyAndComesBack) {
    Start(R"({"kind": "hangup", "command": "52", "at": 6, "times": 1})");
    unsigned generation = reader->server().Generation();
    gSetTimeOutIC(10);
    GuardedRead buf;
    auto start = std::chrono::steady_clock::now();
    double cpu = ThreadCpuSeconds();
    EXPECT_EQ(Read(buf), -1);
    EXPECT_STREQ(msg, text::kReadDataTimeout);
    // Every later call fails at once, using no CPU while it fails.
    EXPECT_EQ(gCardPowerOn(atr, msg), -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    EXPECT_LT(Seconds(start), 2.0);
    EXPECT_LT(ThreadCpuSeconds() - cpu, 0.2);
    EXPECT_TRUE(buf.GuardsIntact());

    // The adapter is back (a new pty): close, open again, carry on.
    ASSERT_TRUE(reader->server().WaitForGeneration(generation + 1, 5000));
    reader->MapTo(reader->server().SlavePath());
    EXPECT_EQ(gCloseComIC(msg), 0);
    ASSERT_EQ(gOpenComIC(kCom, msg), 0) << msg;
    EXPECT_EQ(gCardPowerOn(atr, msg), 0) << msg;
}

}  // namespace
