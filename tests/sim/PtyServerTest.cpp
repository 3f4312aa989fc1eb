// The pty server under a raw client on the slave, the way the host uses the
// line: open, exchange, close, open again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A host-side port: raw, exclusive and locked, as the library opens it.
class Port {
public:
    explicit Port(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0) return;
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        tcsetattr(m_fd, TCSANOW, &t);
        ioctl(m_fd, TIOCEXCL);
        flock(m_fd, LOCK_EX | LOCK_NB);
    }
    ~Port() {
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    void Write(const std::string& s) { ASSERT_EQ(write(m_fd, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // Bytes up to and including `end`, or what came within timeout_ms.
    std::string ReadUntil(char end, int timeout_ms, std::vector<double>* arrivals = nullptr) {
        std::string got;
        auto start = Clock::now();
        while (MsSince(start) < timeout_ms) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            char buf[2048];
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n <= 0) break;  // the master went away
            got.append(buf, static_cast<size_t>(n));
            if (arrivals) arrivals->push_back(MsSince(start));
            if (got.find(end) != std::string::npos) break;
        }
        return got;
    }
    Reply Command(const std::string& body) {
        Write(Frame(body));
        return Parse(ReadUntil('\x03', 2000));
    }

private:
    int m_fd = -1;
};

Scenario Parsed(const std::string& json) {
    std::string error;
    auto s = Scenario::FromJson(json, &error);
    EXPECT_TRUE(s) << error;
    return s ? *s : Scenario::Default();
}

}  // namespace

TEST(PtyServer, ServesAcrossRepeatedOpensWithoutSpinning) {
    PtyServer server(WithCard("AT24C02"));
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const std::string path = server.SlavePath();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    for (int i = 0; i < 5; ++i) {
        Port port(path);
        ASSERT_TRUE(port.ok()) << "open " << i;
        // The one-shot AT24 sequence on a private port per call.
        EXPECT_EQ(port.Command("2501").status, "00");
        EXPECT_EQ(port.Command("5405").status, "00");
        EXPECT_EQ(port.Command("55").status, "00");
        if (i == 0) {
            EXPECT_EQ(port.Command("57001002CAFE").status, "00");
        }
        EXPECT_EQ(port.Command("52001002").data, "CAFE") << "card state kept across opens";
        EXPECT_EQ(port.Command("44").status, "00");
    }
    // No slave open: the master reports hang-up; the server must sleep, not spin.
    timespec a{}, b{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    const double cpu_ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 60.0);
    Port again(path);
    EXPECT_EQ(again.Command("47").status, "00");
    server.Stop();
    EXPECT_FALSE(server.running());
    EXPECT_EQ(server.FrameLog().size(), 2u * 27) << "27 frames in, 27 replies out";
}

TEST(PtyServer, PacesAt9600BaudAndSplitsPastTheReadWindow) {
    ServerOptions paced;
    paced.baud = 9600;
    PtyServer server(WithCard("AT24C16"), paced);
    ASSERT_TRUE(server.Start());
    Port port(server.SlavePath());
    ASSERT_TRUE(port.ok());
    ASSERT_EQ(port.Command("55").status, "00");
    port.Write(Frame("52000040"));  // 64 bytes: a reply of 2+2+2+128+2+1 = 137 bytes
    std::vector<double> arrivals;
    std::string reply = port.ReadUntil('\x03', 3000, &arrivals);
    ASSERT_EQ(reply.size(), 137u);
    EXPECT_TRUE(Parse(reply).ok);
    const double expected = 136 * 10000.0 / 9600 / 1000 * 1000;  // first to last byte, ms
    const double spread = arrivals.back() - arrivals.front();
    EXPECT_GT(spread, expected * 0.85);
    EXPECT_LT(spread, expected * 2.0);  // loose: the machine is shared
    EXPECT_GT(arrivals.size(), 10u) << "bytes arrive one by one, not in a burst";
    server.Stop();

    PtyServer split(Parsed(R"({"faults":[{"kind":"split","command":"47","at":4,"pause_ms":1200}]})"));
    ASSERT_TRUE(split.Start());
    Port p2(split.SlavePath());
    p2.Write(Frame("47"));
    arrivals.clear();
    reply = p2.ReadUntil('\x03', 3000, &arrivals);
    EXPECT_TRUE(Parse(reply).ok);
    ASSERT_GE(arrivals.size(), 2u);
    EXPECT_GT(arrivals.back() - arrivals.front(), 1100.0);
}

// The host's bytes at 9600 baud: a write of a 13-digit track 2 and its
// commit, 20 bytes, answered by the 3 bytes of ESC '0' 'p' in one piece.
TEST(PtyServer, PacedHostBytesAreActedOnOnlyOnceTheyWouldHaveArrived) {
    ServerOptions paced;
    paced.baud = 9600;
    PtyServer server(Scenario::Default(), paced);
    ASSERT_TRUE(server.Start());
    Port port(server.SlavePath());
    ASSERT_TRUE(port.ok());
    const double byte_ms = 10.0 / 9600 * 1000;
    const std::string command =
        "\x1Bt"
        "6212345678901"
        "\x1D\x1B\\"
        "\x1Bj";
    // Written at once; in halves 5 ms apart (the second half queues behind the
    // first); in halves 30 ms apart (the line idles in between).
    for (int pause_ms : {-1, 5, 30}) {
        std::vector<std::string> parts{command};
        if (pause_ms >= 0) parts = {command.substr(0, 10), command.substr(10)};
        double best_late = 1e9;
        for (int run = 0; run < 3; ++run) {
            const auto start = Clock::now();
            double in_ms = 0;  // when the last byte is in, from when each part was written
            for (const std::string& part : parts) {
                if (in_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                in_ms = std::max(in_ms, MsSince(start)) + part.size() * byte_ms;
                port.Write(part);
            }
            std::vector<double> arrivals;
            const auto read_start = Clock::now();
            ASSERT_EQ(port.ReadUntil('p', 1000, &arrivals),
                      "\x1B"
                      "0p")
                << "pause " << pause_ms;
            const double answered_ms =
                std::chrono::duration<double, std::milli>(read_start - start).count() + arrivals.front();
            const double earliest = in_ms + 3 * byte_ms;
            EXPECT_GE(answered_ms, earliest - 0.01) << "pause " << pause_ms << ", run " << run;
            best_late = std::min(best_late, answered_ms - earliest);
        }
        EXPECT_LT(best_late, 5.0) << "pause " << pause_ms << ": answered soon after the last byte is in";
    }
}

// The host's last bytes are still on the line when it closes the slave:
// they are carried out, their answer goes nowhere, and the half frame
// after them does not run into the next host's command.
TEST(PtyServer, PacedBytesOfAHostThatLeftAreCarriedOutAndTheRestDropped) {
    ServerOptions paced;
    paced.baud = 9600;
    PtyServer server(WithCard("AT24C16"), paced);
    ASSERT_TRUE(server.Start());
    {
        Port port(server.SlavePath());
        ASSERT_TRUE(port.ok());
        ASSERT_EQ(port.Command("55").status, "00");
        port.Write(Frame("57001002CAFE") + "\x1B=52");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Port port(server.SlavePath());
    ASSERT_TRUE(port.ok());
    Reply r = port.Command("52001002");
    EXPECT_EQ(r.status, "00");
    EXPECT_EQ(r.data, "CAFE");
}

TEST(PtyServer, HangupMidReplyThenANewPty) {
    ServerOptions options;
    options.link_path = ::testing::TempDir() + "qd500sim-link";
    options.reopen_ms = 50;
    PtyServer server(Parsed(R"({"faults":[{"kind":"hangup","command":"55","at":6,"times":1}]})"), options);
    ASSERT_TRUE(server.Start());
    char target[256] = {};
    ASSERT_GT(readlink(options.link_path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(server.SlavePath(), target);
    {
        Port port(options.link_path);
        ASSERT_TRUE(port.ok());
        port.Write(Frame("55"));
        std::string partial = port.ReadUntil('\x03', 1000);
        EXPECT_EQ(partial.size(), 6u);
    }
    ASSERT_TRUE(server.WaitForGeneration(2, 2000));
    Port port(options.link_path);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Command("55").status, "00") << "times 1: served normally again";
    server.Stop();
    EXPECT_NE(access(options.link_path.c_str(), F_OK), 0) << "link removed at stop";
}

TEST(PtyServer, ControlSwipeAnswersAWaitingRead) {
    PtyServer server(Parsed(R"({"magnetic":{"swipe":"never"}})"));
    ASSERT_TRUE(server.Start());
    Port port(server.SlavePath());
    port.Write("\x1B]");
    EXPECT_EQ(port.ReadUntil('\x1C', 300), "");
    server.Swipe(std::string("4000=1"), std::nullopt);
    EXPECT_EQ(port.ReadUntil('\x1C', 1000),
              "\x1Bs"
              "4000=1?\x1C");
    EXPECT_NE(server.Dump().find("track2 4000=1"), std::string::npos);
    server.Remove();
    EXPECT_EQ(port.Command("55").status, "21");
    ASSERT_TRUE(server.Insert("S4428"));
    EXPECT_EQ(port.Command("55").data, "92231091");
}

TEST(SimulatorCli, PrintsSlavePathServesAndStopsOnSigterm) {
    const std::string log = ::testing::TempDir() + "qd500sim-cli.log";
    unlink(log.c_str());
    int out[2], in[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(in), 0);
    const std::string scenario = std::string(QD500_SIM_DATA_DIR) + "/s4442-split.json";  // no allocation in the child
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        close(out[0]);
        close(in[1]);
        execl(QD500_SIM_EXE, "qd500-sim", "--pty", "--scenario", scenario.c_str(), "--log", log.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    auto read_line = [&](int timeout_ms) {
        std::string line;
        auto start = Clock::now();
        char c;
        while (MsSince(start) < timeout_ms) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            if (read(out[0], &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    };
    const std::string path = read_line(5000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        Port port(path);
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(port.Command("55").data, "A2131091");
    }
    ASSERT_EQ(write(in[1], "remove\n", 7), 7);
    EXPECT_EQ(read_line(2000), "ok");
    ASSERT_EQ(write(in[1], "bogus\n", 6), 6);
    EXPECT_EQ(read_line(2000).rfind("error:", 0), 0u);
    {
        Port port(path);
        EXPECT_EQ(port.Command("55").status, "21");
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out[0]);
    close(in[1]);
    std::ifstream f(log);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("host> <ESC>=5555<ETX>"), std::string::npos) << text;
    EXPECT_NE(text.find("sim>  <ESC>=0600A2131091"), std::string::npos) << text;
}
