// `qd500 shell` on a real pseudo-terminal, as a person types at it: Tab
// completion of an argument, Ctrl-C at the prompt and during a command,
// history kept across runs (HOME is a temporary directory).
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CliTestUtil.h"

namespace qd500::cli::test {
namespace {

class ShellPty : public SimTest {
protected:
    // A head that never sees a swipe, so mag-read waits until Ctrl-C.
    ShellPty() : SimTest(ScenarioOf(R"({"magnetic": {"swipe": "never"}})")) {}

    void SetUp() override {
        SimTest::SetUp();
        home = ::testing::TempDir() + "qd500-shell-home-" + std::to_string(::getpid());
        ::mkdir(home.c_str(), 0700);
    }
    void TearDown() override {
        Stop();
        std::remove((home + "/.qd500_history").c_str());
        ::rmdir(home.c_str());
        SimTest::TearDown();
    }

    void Start() {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 100;
        m_seen.clear();
        m_from = 0;
        // Everything the child needs is made here: between fork and exec
        // the child of this threaded process (the simulator runs beside)
        // must not allocate, as a lock another thread held at the fork
        // stays held there for good.
        const std::string port = server.SlavePath();
        std::vector<std::string> env = {"HOME=" + home, "TERM=vt100"};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "TERM=", 5) != 0) env.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const char* argv[] = {"qd500", "--port", port.c_str(), "--timeout", "5", "shell", nullptr};
        m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            ::execve(QD500_CLI_EXE, const_cast<char* const*>(argv), envp.data());
            ::_exit(127);
        }
    }
    // Waits for the shell to leave; its exit status, or -1.
    int Wait(int ms = 3000) {
        for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                ::close(m_master);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            Drain(20);
        }
        return -1;
    }
    void Stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            ::close(m_master);
            m_pid = -1;
        }
    }
    void Type(const std::string& keys) {
        ASSERT_EQ(::write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // True once text shows after what was expected before.
    bool Expect(const std::string& text, int ms = 3000) {
        for (auto end = Clock::now() + std::chrono::milliseconds(ms);;) {
            size_t at = m_seen.find(text, m_from);
            if (at != std::string::npos) {
                m_from = at + text.size();
                return true;
            }
            if (Clock::now() >= end) return false;
            Drain(20);
        }
    }
    // A prompt on the screen and the editor holding the terminal (no line
    // discipline any more), so keys typed now reach the editor as keys.
    bool Prompt() {
        // A start under a sanitizer on a busy machine takes seconds.
        if (!Expect("qd500> ", 10000)) return false;
        for (auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
            termios t{};
            if (::tcgetattr(m_master, &t) == 0 && !(t.c_lflag & ICANON)) return true;
            Drain(10);
        }
        return false;
    }
    const std::string& seen() const { return m_seen; }

    std::string home;

private:
    using Clock = std::chrono::steady_clock;
    void Drain(int ms) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return;
        char buf[4096];
        ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) m_seen.append(buf, static_cast<size_t>(n));
    }
    pid_t m_pid = -1;
    int m_master = -1;
    std::string m_seen;
    size_t m_from = 0;
};

TEST_F(ShellPty, TabCtrlCAndHistory) {
    Start();
    ASSERT_TRUE(Prompt()) << seen();
    Type("card-ty\t");
    ASSERT_TRUE(Expect("pe ")) << seen();
    Type("cp\t\r");  // an argument completed, in its canonical case
    ASSERT_TRUE(Expect("CPU")) << seen();
    ASSERT_TRUE(Expect("result 0: success")) << seen();
    EXPECT_EQ(SentWithCode("5488"), 1u);

    ASSERT_TRUE(Prompt()) << seen();
    Type("garbage");
    ASSERT_TRUE(Expect("garbage")) << seen();
    Type("\x03");  // Ctrl-C drops the line
    ASSERT_TRUE(Expect("^C")) << seen();
    Type("status\r");
    ASSERT_TRUE(Expect("state1: 01")) << seen();
    EXPECT_FALSE(Has(seen(), "unknown command")) << seen();

    ASSERT_TRUE(Prompt()) << seen();
    Type("mag-read 2\r");  // on a terminal it asks for the swipe
    ASSERT_TRUE(Expect("swipe a card")) << seen();
    Type("\x03");  // Ctrl-C ends the wait, not the shell
    ASSERT_TRUE(Expect("interrupted")) << seen();
    ASSERT_TRUE(Prompt()) << seen();
    Type("quit\r");
    EXPECT_EQ(Wait(), 0) << seen();

    // The next run has the lines of this one: up three times is "status".
    Start();
    ASSERT_TRUE(Prompt()) << seen();
    Type("\x1b[A\x1b[A\x1b[A\r");
    EXPECT_TRUE(Expect("state1: 01")) << seen();
    ASSERT_TRUE(Prompt()) << seen();
    Type("\x04");  // Ctrl-D: end of input
    EXPECT_EQ(Wait(), 0) << seen();
}

}  // namespace
}  // namespace qd500::cli::test
