// The channel, the session and the raw pass-through over a real
// pseudo-terminal, with the far side played by the test.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exports/Texts.h"
#include "qd500dll.h"
#include "serial/ComPort.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

constexpr int kCom = 41;

// The far side of a pty: the master, raw.
class PtyPeer {
public:
    PtyPeer() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master);
        unlockpt(m_master);
        m_slave = ptsname(m_master);
        termios tio{};
        tcgetattr(m_master, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_master, TCSANOW, &tio);
        // Keep the slave configured raw even before the library opens it.
        int fd = open(m_slave.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        m_holder = fd;
    }
    ~PtyPeer() {
        Stop();
        if (m_holder >= 0) close(m_holder);
        if (m_master >= 0) close(m_master);
    }
    const std::string& slave() const { return m_slave; }

    void Write(const std::string& bytes) {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }

    // Everything that arrives within the time, or up to the end byte.
    std::string Read(int ms, int endByte = -1) {
        std::string got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                ssize_t n = read(m_master, buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<size_t>(n));
                if (endByte >= 0 && got.find(static_cast<char>(endByte)) != std::string::npos) break;
            }
        }
        return got;
    }

    // Answers every frame ending with ETX at once with the given reply.
    void AnswerEveryFrame(const std::string& reply) {
        m_run = true;
        m_thread = std::thread([this, reply] {
            std::string pending;
            while (m_run) {
                pollfd p{m_master, POLLIN, 0};
                if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) continue;
                char buf[256];
                ssize_t n = read(m_master, buf, sizeof buf);
                if (n <= 0) continue;
                pending.append(buf, static_cast<size_t>(n));
                size_t etx;
                while ((etx = pending.find('\x03')) != std::string::npos) {
                    pending.erase(0, etx + 1);
                    (void)!write(m_master, reply.data(), reply.size());
                }
            }
        });
    }
    void Stop() {
        m_run = false;
        if (m_thread.joinable()) m_thread.join();
    }
    void HangUp() {
        close(m_holder);
        m_holder = -1;
        close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_holder = -1;
    std::string m_slave;
    std::atomic<bool> m_run{false};
    std::thread m_thread;
};

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("QD500_COM41", peer.slave().c_str(), 1); }
    void TearDown() override {
        gCloseComIC(msg);
        unsetenv("QD500_COM41");
        gSetTimeOutIC(10);
    }
    PtyPeer peer;
    ScopedTraceFile trace;
    char msg[64] = {};
};

TEST_F(PtyTest, OpenCloseReopen) {
    EXPECT_EQ(gOpenComIC(kCom, msg), 0);
    EXPECT_STREQ(msg, "\xD5\xFD\xC8\xB7\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[41]");
    EXPECT_EQ(gCloseComIC(msg), 0);
    EXPECT_EQ(gOpenComIC(kCom, msg), 0);
    EXPECT_EQ(gOpenComIC(kCom, msg), 0);  // reopening closes the earlier session first
}

TEST_F(PtyTest, HeldPortCannotBeOpenedASecondTime) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    CComPort other;
    other.SetParams(kCom, 9600, 'N', '8', '1');
    EXPECT_EQ(other.Open(), 0);
    gCloseComIC(msg);
    EXPECT_EQ(other.Open(), 1);
}

TEST_F(PtyTest, MissingDeviceCannotBeOpened) {
    setenv("QD500_COM41", "/dev/nonexistent-qd500", 1);
    EXPECT_EQ(gOpenComIC(kCom, msg), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[41]");
    setenv("QD500_COM41", "/dev/null", 1);  // exists, but is no serial line
    EXPECT_EQ(gOpenComIC(kCom, msg), -1);
}

TEST_F(PtyTest, RawSendAndTheThreeReads) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    EXPECT_EQ(AsynSendData("\x1B=5555\x03", 7), 7);
    EXPECT_EQ(peer.Read(500, 0x03), "\x1B=5555\x03");

    const std::string reply = ReaderReply("00", "3B6F0000");
    peer.Write("junk" + reply + "TAIL");
    char data[1025];
    short len = 0;
    EXPECT_EQ(sReadByEndChar(0x03, 2, data, &len), static_cast<short>(4 + reply.size()));
    EXPECT_EQ(std::string(data), "junk" + reply);
    EXPECT_EQ(sReadByLen(10, 2, data, &len), 1);  // the rest stayed queued
    EXPECT_EQ(len, 4);
    EXPECT_STREQ(data, "TAIL");

    peer.Write(std::string("AB\0CD", 5));
    // ReadAll takes what is queued when it starts: give the bytes time to cross.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sAsynReadNomal(data, &len), 5);
    EXPECT_EQ(len, 5);
    EXPECT_STREQ(data, "AB");  // the text ends at the zero byte, the count does not
}

TEST_F(PtyTest, ReplyWaitGivesUpAfterItsTimeOut) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    char data[1025];
    short len = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sReadByEndChar(0x03, 1, data, &len), -11);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 1000);
    EXPECT_LT(ms, 1500);
}

TEST_F(PtyTest, HangUpEndsTheWaitAtOnce) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    std::thread pull([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.HangUp();
    });
    char data[1025];
    short len = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sReadByEndChar(0x03, 10, data, &len), -11);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    pull.join();
    EXPECT_LT(ms, 1000);
    std::clock_t cpu = std::clock();
    EXPECT_EQ(sReadByLen(3, 2, data, &len), 0);
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);  // failing uses no CPU
    EXPECT_EQ(gCloseComIC(msg), 0);
}

TEST_F(PtyTest, TraceLinesOverARealLine) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    peer.AnswerEveryFrame(ReaderReply("00", "3B02"));
    char data[1025];
    short len = 0;
    AsynSendData("\x1B=5555\x03", 7);
    ASSERT_GT(sReadByEndChar(0x03, 2, data, &len), 0);
    AsynSendData("\x1B=4444\x03", 7);
    ASSERT_GT(sReadByEndChar(0x03, 2, data, &len), 0);
    AsynSendData("\x1B=5A0084000004DA\x03", 17);
    ASSERT_GT(sReadByEndChar(0x03, 2, data, &len), 0);
    peer.Stop();

    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], text::kTracePowerOn);
    EXPECT_EQ(lines[1], "\xD3\xA6\xB4\xF0=[003B023D]");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], text::kTracePowerOff);
    EXPECT_EQ(lines[6], "\xC3\xFC\xC1\xEE=[0084000004DA]");

    // The time stamp: "--MM/DD hh:mm:ss:mmm" with the hour shifted to UTC+8.
    std::string first = trace.Contents().substr(0, 21);
    ASSERT_EQ(first.size(), 21u);
    EXPECT_EQ(first.substr(0, 2), "--");
    EXPECT_EQ(first[20], ' ');
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    int hour = std::stoi(first.substr(8, 2));
    int expected = (utc.tm_hour + 8) % 24;
    EXPECT_TRUE(hour == expected || hour == (expected + 23) % 24) << first;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(first[17])) && first[16] == ':') << first;
}

// The round trip of a power-on frame sent raw and collected up to ETX, with
// the far side answering at once.
TEST_F(PtyTest, PowerOnRoundTripTakesMillisecondsNotPollingPauses) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    peer.AnswerEveryFrame(ReaderReply("00", "3B6F00008031E06B0000000000000000000000"));
    std::vector<double> ms;
    char data[1025];
    short len = 0;
    for (int i = 0; i < 20; ++i) {
        auto start = std::chrono::steady_clock::now();
        AsynSendData("\x1B=5555\x03", 7);
        ASSERT_GT(sReadByEndChar(0x03, 2, data, &len), 0);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    peer.Stop();
    std::sort(ms.begin(), ms.end());
    double median = (ms[9] + ms[10]) / 2;
    RecordProperty("power_on_round_trip_median_ms", std::to_string(median));
    std::printf("power-on round trip over a pty: median %.2f ms, min %.2f, max %.2f (20 runs)\n", median, ms.front(),
                ms.back());
    EXPECT_LT(median, 50.0);
}

}  // namespace
