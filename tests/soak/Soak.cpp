// Endurance: readers on threads, each against a qd500-sim of its own that
// injects every fault it knows, each writing card memory and reading it
// back with a check of every byte. It fails on a read reported as success
// whose bytes differ from the last write reported as success, on an
// exchange that outlasts its time-out by more than 2 s, on file descriptors
// left open, on resident memory that grows by 1 MiB or more (not under
// AddressSanitizer, whose quarantine holds freed memory), and when a fault
// kind never showed.
//
//   qd500_soak --sim PATH [--seconds N | --minutes N] [--readers N]
//              [--baud N] [--fault-rate P] [--seed N] [--timeout-ms N]
//
// --timeout-ms below the slowest answer (about 3 s) shows what no host can
// tell apart: an answer that comes after its call gave up, while the next
// call waits, is taken for that call's answer.
//
// The simulators are child processes, so the process's descriptors and
// memory are the library's alone. They die with this process, crash or not.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qd500.h"

#if defined(__SANITIZE_ADDRESS__)
#define QD500_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QD500_SOAK_ASAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The reader's time-out: above the slowest answer the faults can make (a
// delay, a split's pause and an oversized reply on one answer), so that no
// answer arrives after its exchange gave up and then poses as the next
// one's.
constexpr unsigned kTimeoutMs = 3500;
// An exchange may overrun its time-out by the reply window and one cycle
// (about 1.2 s); 2 s is the limit.
constexpr unsigned kOverrunMs = 2000;
constexpr unsigned kCardSize = 2048;  // AT24C16
constexpr size_t kMaxRound = 1024;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }
double NowMs() { return MsSince(Clock::time_point()); }

struct Options {
    std::string sim;
    double seconds = 60;
    int readers = 8;
    unsigned baud = 9600;
    double faultRate = 0.01;
    unsigned seed = 1;
    unsigned timeoutMs = kTimeoutMs;
};

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ++n;
        closedir(dir);
        --n;  // the directory's own
    }
    return n;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Every fault of the simulator, each on a share of the answers.
std::string Scenario(double p, unsigned seed) {
    const char* kinds[] = {
        R"("kind": "noise")",
        R"("kind": "split")",
        R"("kind": "split", "pause_ms": 30)",
        R"("kind": "delay")",
        R"("kind": "no_etx")",
        R"("kind": "bad_bcc")",
        R"("kind": "status")",
        R"("kind": "status", "status": "23")",
        R"("kind": "oversize")",
        R"("kind": "hangup")",
    };
    std::string json = R"({"card": {"type": "AT24C16"}, "seed": )" + std::to_string(seed) + R"(, "faults": [)";
    for (const char* kind : kinds)
        json +=
            std::string(json.back() == '[' ? "" : ", ") + "{" + kind + ", \"probability\": " + std::to_string(p) + "}";
    return json + "]}";
}

// A qd500-sim child serving a pty through a symlink that follows its
// hang-ups.
class Simulator {
public:
    Simulator(const Options& options, const std::string& dir, int index) {
        m_link = dir + "/reader" + std::to_string(index);
        m_scenario = m_link + ".json";
        std::ofstream(m_scenario) << Scenario(options.faultRate, options.seed * 1000 + index);
        const std::string baud = std::to_string(options.baud);
        std::vector<const char*> args = {options.sim.c_str(), "--pty",      "--link",
                                         m_link.c_str(),      "--scenario", m_scenario.c_str()};
        if (options.baud) args.insert(args.end(), {"--baud", baud.c_str()});
        args.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == 1) _exit(1);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execv(args[0], const_cast<char* const*>(args.data()));
            _exit(127);
        }
    }
    ~Simulator() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            for (int i = 0; i < 200 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
            if (waitpid(m_pid, nullptr, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
        unlink(m_scenario.c_str());
        unlink(m_link.c_str());
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& link() const { return m_link; }
    // The link as made last: made anew each time the simulator comes back
    // (its inode may be the old one's again, its change time is not).
    std::string LinkStamp() const {
        struct stat st {};
        if (lstat(m_link.c_str(), &st) != 0) return "";
        return std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
               std::to_string(st.st_ctim.tv_nsec);
    }
    bool WaitForLink(int ms) const {
        for (int waited = 0; waited < ms; waited += 10, usleep(10000))
            if (access(m_link.c_str(), R_OK | W_OK) == 0) return true;
        return false;
    }

private:
    pid_t m_pid = -1;
    std::string m_link, m_scenario;
};

// The last frames a reader saw, for the report of a failure.
class Recent {
public:
    void Add(int direction, const unsigned char* bytes, size_t len) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%9.0f ", MsSince(m_start));
        std::string text = stamp + std::string(direction == QD500_SENT ? "> " : "< ");
        for (size_t i = 0; i < len; ++i)
            text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? std::string(1, static_cast<char>(bytes[i]))
                                                        : "\\x" + Hex(bytes[i]);
        m_lines.push_back(text);
        if (m_lines.size() > 40) m_lines.pop_front();
    }
    std::string Text() const {
        std::string all;
        for (const auto& line : m_lines) all += "    " + line + "\n";
        return all;
    }

private:
    static std::string Hex(unsigned char b) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", b);
        return text;
    }
    std::deque<std::string> m_lines;
    Clock::time_point m_start = Clock::now();
};

struct Tally {
    long rounds = 0, calls = 0, failed = 0, bytesChecked = 0, reopens = 0;
    long timeouts = 0, lines = 0, malformed = 0, statuses = 0;
    double longestExchangeMs = 0;
};

class Soak {
public:
    Soak(const Options& options, Simulator& sim, int id)
        : m_options(options), m_sim(sim), m_rng(options.seed * 7919u + static_cast<unsigned>(id)), m_id(id) {}
    ~Soak() { qd500_close(m_r); }

    bool Open() {
        if (!m_sim.WaitForLink(5000) || qd500_open(m_sim.link().c_str(), &m_r) != 0) {
            Fail(std::string("cannot open ") + m_sim.link() + ": " + qd500_message(nullptr));
            return false;
        }
        m_stamp = m_sim.LinkStamp();
        qd500_set_timeout_ms(m_r, m_options.timeoutMs);
        qd500_set_observer(m_r, Observe, this);
        return true;
    }

    // Rounds until the deadline: a fresh pattern written until a write
    // succeeds, then read until a read succeeds, every byte compared.
    void Run(Clock::time_point deadline) {
        std::vector<unsigned char> mine, back;
        while (m_failure.empty() && Clock::now() < deadline) {
            size_t len = 1 + m_rng() % kMaxRound;
            unsigned addr = static_cast<unsigned>(m_rng() % (kCardSize - len + 1));
            mine.resize(len);
            for (auto& b : mine) b = m_rng() % 4 == 0 ? 0 : static_cast<unsigned char>(m_rng());
            while (!Call([&] { return qd500_write_memory(m_r, addr, mine.data(), len); }))
                if (!m_failure.empty() || Clock::now() > deadline + std::chrono::seconds(30)) return;
            back.assign(len, 0xA5);
            while (!Call([&] { return qd500_read_memory(m_r, addr, back.data(), len); }))
                if (!m_failure.empty() || Clock::now() > deadline + std::chrono::seconds(30)) return;
            for (size_t i = 0; i < len && m_failure.empty(); ++i)
                if (back[i] != mine[i])
                    Fail("read of " + std::to_string(len) + " bytes at " + std::to_string(addr) +
                         " reported success with byte " + std::to_string(i) + " = " + std::to_string(back[i]) +
                         ", written " + std::to_string(mine[i]));
            m_tally.bytesChecked += static_cast<long>(len);
            ++m_tally.rounds;
        }
        // Left with an open line, as it started, for the count of descriptors.
        if (m_failure.empty() && qd500_power_off(m_r) == QD500_E_LINE) Return();
    }

    // How long the call in progress has taken; 0 when none is.
    double BusyMs() const {
        long long start = m_callStartMs;
        return start < 0 ? 0 : NowMs() - static_cast<double>(start);
    }
    const std::string& failure() const { return m_failure; }
    const Tally& tally() const { return m_tally; }
    int id() const { return m_id; }

private:
    // One call of the soak, after the card is selected and powered again if
    // the last call failed. False when the call failed.
    template <typename Op>
    bool Call(Op op) {
        if (m_needPower) {
            if (!Checked([&] { return qd500_select_card(m_r, "AT24C16"); })) return false;
            unsigned char atr[QD500_ATR_MAX];
            size_t len;
            if (!Checked([&] { return qd500_power_on(m_r, atr, sizeof atr, &len); })) return false;
            m_needPower = false;
        }
        if (Checked(op)) return true;
        m_needPower = true;
        return false;
    }

    template <typename Op>
    bool Checked(Op op) {
        ++m_tally.calls;
        m_lastEvent = Clock::now();
        m_callStartMs = static_cast<long long>(NowMs());
        int result = op();
        Gap();
        m_callStartMs = -1;
        if (result == 0) return true;
        ++m_tally.failed;
        switch (result) {
            case QD500_E_TIMEOUT:
                ++m_tally.timeouts;
                break;
            case QD500_E_PROTOCOL:
                ++m_tally.malformed;
                break;
            case QD500_E_LINE:
                ++m_tally.lines;
                break;
            default:
                if (result > 0) {
                    ++m_tally.statuses;
                } else {
                    Fail("unexpected result " + std::to_string(result) + ": " + qd500_strerror(result));
                    return false;
                }
        }
        if (result == QD500_E_LINE) Return();
        return false;
    }

    // Back after a hang-up: once the simulator's new pty is behind the link.
    void Return() {
        const auto start = Clock::now();
        std::string stamp;
        while ((stamp = m_sim.LinkStamp()) == m_stamp || stamp.empty() || qd500_reopen(m_r) != 0) {
            if (MsSince(start) > 10000) {
                Fail("the line did not come back within 10 s: " + std::string(qd500_message(m_r)));
                return;
            }
            usleep(20000);
        }
        m_stamp = stamp;
        ++m_tally.reopens;
        m_needPower = true;
    }

    // The time since the last frame sent (or the call's start) is one
    // exchange's.
    void Gap() {
        double ms = MsSince(m_lastEvent);
        m_tally.longestExchangeMs = std::max(m_tally.longestExchangeMs, ms);
        if (ms > m_options.timeoutMs + kOverrunMs && m_failure.empty())
            Fail("an exchange took " + std::to_string(static_cast<long>(ms)) + " ms");
        m_lastEvent = Clock::now();
    }

    static void Observe(void* ctx, int direction, const unsigned char* bytes, size_t len) {
        auto* self = static_cast<Soak*>(ctx);
        if (direction == QD500_SENT) self->Gap();
        self->m_recent.Add(direction, bytes, len);
    }

    void Fail(const std::string& what) {
        if (m_failure.empty()) m_failure = "reader " + std::to_string(m_id) + ": " + what + "\n" + m_recent.Text();
    }

    const Options& m_options;
    Simulator& m_sim;
    std::mt19937 m_rng;
    int m_id;
    qd500_reader* m_r = nullptr;
    std::string m_stamp;
    bool m_needPower = true;
    std::atomic<long long> m_callStartMs{-1};  // read by the watchdog
    Clock::time_point m_lastEvent;
    Recent m_recent;
    Tally m_tally;
    std::string m_failure;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) return false;
        ++i;
        if (a == "--sim")
            o.sim = v;
        else if (a == "--seconds")
            o.seconds = std::atof(v);
        else if (a == "--minutes")
            o.seconds = 60 * std::atof(v);
        else if (a == "--readers")
            o.readers = std::atoi(v);
        else if (a == "--baud")
            o.baud = static_cast<unsigned>(std::atoi(v));
        else if (a == "--fault-rate")
            o.faultRate = std::atof(v);
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(std::atoi(v));
        else if (a == "--timeout-ms")
            o.timeoutMs = static_cast<unsigned>(std::atoi(v));
        else
            return false;
    }
    return !o.sim.empty() && o.seconds > 0 && o.readers > 0 && o.faultRate >= 0 && o.faultRate <= 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: qd500_soak --sim PATH [--seconds N | --minutes N] [--readers N] [--baud N] "
                     "[--fault-rate P] [--seed N] [--timeout-ms N]\n");
        return 2;
    }
    unsetenv("QD500_TRACE_FILE");
    char dir[] = "/tmp/qd500-soak-XXXXXX";
    if (!mkdtemp(dir)) return 2;
    const int fdsBefore = OpenDescriptors();

    std::vector<std::string> failures;
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::unique_ptr<Soak>> soaks;
    int fdsOpen = 0, fdsAfter = 0;
    long rssStart = 0, rssEnd = 0;
    Tally total;
    {
        for (int i = 0; i < options.readers; ++i) sims.push_back(std::make_unique<Simulator>(options, dir, i));
        for (int i = 0; i < options.readers; ++i) {
            soaks.push_back(std::make_unique<Soak>(options, *sims[i], i));
            if (!soaks.back()->Open()) failures.push_back(soaks.back()->failure());
        }
        fdsOpen = OpenDescriptors();
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(static_cast<long>(options.seconds * 1000));
        std::atomic<bool> done{false};
        std::vector<std::thread> threads;
        if (failures.empty())
            for (auto& soak : soaks) threads.emplace_back([&, s = soak.get()] { s->Run(deadline); });

        // No hang: a call that outlasts every exchange it can make ends the run.
        std::thread watchdog([&] {
            while (!done) {
                for (auto& soak : soaks) {
                    double ms = soak->BusyMs();
                    if (ms > 60000) {
                        std::fprintf(stderr, "soak: reader %d has been in one call for %.0f ms\n", soak->id(), ms);
                        std::_Exit(1);
                    }
                }
                // Resident memory from when every reader has settled in.
                if (!rssStart && MsSince(start) > std::min(20000.0, options.seconds * 250)) rssStart = ResidentKiB();
                usleep(200000);
            }
        });
        for (auto& t : threads) t.join();
        rssEnd = ResidentKiB();
        fdsAfter = OpenDescriptors();
        done = true;
        watchdog.join();

        std::printf("%-7s %7s %7s %7s %9s %7s %7s %7s %7s %8s\n", "reader", "rounds", "calls", "failed", "bytes",
                    "timeout", "line", "bad", "status", "max ms");
        for (auto& soak : soaks) {
            const Tally& t = soak->tally();
            std::printf("%-7d %7ld %7ld %7ld %9ld %7ld %7ld %7ld %7ld %8.0f\n", soak->id(), t.rounds, t.calls, t.failed,
                        t.bytesChecked, t.timeouts, t.lines, t.malformed, t.statuses, t.longestExchangeMs);
            total.rounds += t.rounds;
            total.bytesChecked += t.bytesChecked;
            total.timeouts += t.timeouts;
            total.lines += t.lines;
            total.malformed += t.malformed;
            total.statuses += t.statuses;
            total.reopens += t.reopens;
            if (!soak->failure().empty()) failures.push_back(soak->failure());
        }
        soaks.clear();
        sims.clear();
    }
    rmdir(dir);
    const int fdsClosed = OpenDescriptors();

    std::printf(
        "%.0f s, %d readers at %u baud, fault rate %.3f a kind: %ld rounds, %ld bytes checked, %ld returns "
        "after a hang-up\n",
        options.seconds, options.readers, options.baud, options.faultRate, total.rounds, total.bytesChecked,
        total.reopens);
    std::printf("descriptors: %d before, %d with the readers open, %d at the end, %d after closing\n", fdsBefore,
                fdsOpen, fdsAfter, fdsClosed);
    if (fdsAfter != fdsOpen || fdsClosed != fdsBefore) failures.push_back("open descriptors changed\n");
#ifdef QD500_SOAK_ASAN
    std::printf("resident memory: %ld KiB settled, %ld KiB at the end (not checked under AddressSanitizer)\n", rssStart,
                rssEnd);
#else
    std::printf("resident memory: %ld KiB settled, %ld KiB at the end, growth %ld KiB\n", rssStart, rssEnd,
                rssEnd - rssStart);
    if (rssStart <= 0 || rssEnd - rssStart >= 1024) failures.push_back("resident memory grew by 1 MiB or more\n");
#endif
    // Every kind of failure the faults cause was met, or they did not fire.
    if (options.faultRate > 0 && options.seconds >= 30 &&
        (!total.timeouts || !total.lines || !total.malformed || !total.statuses || !total.reopens))
        failures.push_back("a kind of fault never showed\n");
    for (const auto& f : failures) std::fprintf(stderr, "FAILED: %s", f.c_str());
    std::printf("%s\n", failures.empty() ? "PASSED" : "FAILED");
    return failures.empty() ? 0 : 1;
}
