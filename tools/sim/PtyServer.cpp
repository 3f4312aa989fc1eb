// Serves a Reader on a pseudo-terminal. The host opens and closes the slave
// again and again (one-shot calls open a private port per call); while no
// slave is open the master reports hang-up, so that state is polled with a
// short sleep instead of spinning, and whatever was half received from the
// host that left is dropped. An open of the slave (inotify) ends that sleep
// at once: the host's first bytes do not wait for the next poll.
//
// Paced, the line runs at its rate both ways. A pty hands the host's bytes
// over as soon as they are written, so each is held until it would have
// arrived (one byte time after it was read, or after the byte before it was
// in) and only then given to the engine, with that time as its clock.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Simulator.h"

namespace qd500sim {

namespace {

constexpr uint64_t kIdlePollUs = 100000;
constexpr uint64_t kHangupPollUs = 10000;
constexpr uint64_t kHangupGraceUs = 300000;
// A timed wake comes some tens of microseconds late. The last byte queued
// (the end of an answer, which the host waits for) is woken for this much
// early, and the rest waited out awake, so that it leaves on time.
constexpr uint64_t kLastByteLeadUs = 200;

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string Errno(const std::string& what) { return what + ": " + strerror(errno); }

}  // namespace

PtyServer::PtyServer(Scenario scenario, ServerOptions options)
    : m_reader(std::move(scenario)), m_options(std::move(options)) {}

PtyServer::~PtyServer() { Stop(); }

uint64_t PtyServer::NowUs() const {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

bool PtyServer::OpenPty(std::string* error) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        if (error) *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        if (error) *error = Errno("pty setup");
        close(m);
        return false;
    }
    // Raw on both sides: the master's line settings and the slave's, which a
    // host that forgets to set them would otherwise get in cooked mode with echo.
    MakeRaw(m);
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s >= 0) {
        MakeRaw(s);
        close(s);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    m_fd = m;
    m_slavePath = name;
    if (!m_options.link_path.empty()) {
        unlink(m_options.link_path.c_str());
        if (symlink(name, m_options.link_path.c_str()) != 0) {
            if (error) *error = Errno("symlink " + m_options.link_path);
            close(m);
            m_fd = -1;
            return false;
        }
    }
    return true;
}

bool PtyServer::Start(std::string* error) {
    std::lock_guard<std::mutex> lk(m_mu);
    if (m_running) return true;
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) *error = Errno("pipe");
        return false;
    }
    bool ok = m_devicePath.empty() ? OpenPty(error) : false;
    if (!m_devicePath.empty()) {
        int fd = open(m_devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (error) *error = Errno("open " + m_devicePath);
        } else {
            if (isatty(fd)) MakeRaw(fd);
            m_fd = fd;
            m_slavePath = m_devicePath;
            ok = true;
        }
    }
    if (!ok) {
        close(m_wake[0]);
        close(m_wake[1]);
        m_wake[0] = m_wake[1] = -1;
        return false;
    }
    m_startUs = NowUs();
    m_lineFreeUs = 0;
    m_in.clear();
    m_inFreeUs = 0;
    m_stop = false;
    m_running = true;
    m_generation = 1;
    m_thread = std::thread(&PtyServer::Run, this);
    return true;
}

bool PtyServer::StartOnDevice(const std::string& path, std::string* error) {
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_devicePath = path;
    }
    return Start(error);
}

void PtyServer::Stop() {
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (!m_running) return;
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lk(m_mu);
    CloseLine();
    close(m_wake[0]);
    close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
    if (!m_options.link_path.empty()) unlink(m_options.link_path.c_str());
    m_running = false;
    m_cv.notify_all();
}

bool PtyServer::running() const {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_running;
}

void PtyServer::CloseLine() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void PtyServer::Wake() {
    if (m_wake[1] >= 0) {
        char c = 1;
        ssize_t n = write(m_wake[1], &c, 1);
        (void)n;  // a full pipe already wakes the thread
    }
}

// Rounded up: a byte is never taken as in, or out, before its time.
uint64_t PtyServer::ByteUs() const { return m_options.baud ? (10000000ull + m_options.baud - 1) / m_options.baud : 0; }

void PtyServer::Schedule(Output out, uint64_t now_us) {
    uint64_t t = std::max(now_us, m_lineFreeUs);
    const uint64_t byte_us = ByteUs();
    for (auto& c : out.chunks) {
        t += static_cast<uint64_t>(c.delay_ms) * 1000;
        if (!byte_us) {
            m_out.push_back({t, c.bytes, false});
        } else if (c.atomic) {
            t += byte_us * c.bytes.size();
            m_out.push_back({t, c.bytes, false});
        } else {
            for (char b : c.bytes) {
                t += byte_us;
                m_out.push_back({t, std::string(1, b), false});
            }
        }
    }
    // Closing the master flushes what the slave still holds, so the line
    // drops a moment after the last byte: the host gets to read the part.
    if (out.hangup) m_out.push_back({t + kHangupGraceUs, std::string(), true});
    m_lineFreeUs = t;
}

void PtyServer::Receive(std::string_view bytes, uint64_t now_us) {
    const uint64_t byte_us = ByteUs();
    if (!byte_us) {
        Schedule(m_reader.Feed(bytes, (now_us - m_startUs) / 1000), now_us);
        return;
    }
    for (char b : bytes) {
        m_inFreeUs = std::max(now_us, m_inFreeUs) + byte_us;
        m_in.push_back({m_inFreeUs, b, false, false});
    }
}

// One byte at a time, each at its own arrival: a frame is acted on when its
// last byte is in, and its answer paced from then, however late we woke.
void PtyServer::Deliver(uint64_t now_us) {
    while (!m_in.empty() && m_in.front().due_us <= now_us) {
        const Arrival a = m_in.front();
        m_in.pop_front();
        if (a.reset) {
            m_reader.ResetLine();
            continue;
        }
        Output out = m_reader.Feed(std::string_view(&a.byte, 1), (a.due_us - m_startUs) / 1000);
        if (!a.orphan) Schedule(std::move(out), a.due_us);
    }
}

// The host closed the slave. What it sent before is still on the line and
// is carried out when it arrives; the engine forgets the half-received rest
// after that, and nothing more goes to the host that left.
void PtyServer::HostLeft() {
    if (m_in.empty()) {
        m_reader.ResetLine();
    } else {
        for (auto& a : m_in) a.orphan = true;
        m_in.push_back({m_in.back().due_us, 0, true, true});
    }
    m_out.clear();
    m_lineFreeUs = 0;
}

void PtyServer::Run() {
    // Paced bytes are due to the microsecond; the default slack of 50 us on
    // every timed wake would land on the last byte of each answer.
    if (m_options.baud) prctl(PR_SET_TIMERSLACK, 1ul);
    bool hup = false;
    uint64_t reopen_at = 0;
    char buf[4096];
    const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int watch = -1;
    std::string watched;
    std::unique_lock<std::mutex> lk(m_mu);
    while (!m_stop) {
        uint64_t now = NowUs();
        if (m_fd < 0 && now >= reopen_at) {
            // Back after a hang-up: a new line for the host to find.
            std::string error;
            bool ok;
            if (m_devicePath.empty()) {
                ok = OpenPty(&error);
            } else {
                m_fd = open(m_devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
                ok = m_fd >= 0;
                if (ok && isatty(m_fd)) MakeRaw(m_fd);
            }
            if (ok) {
                hup = false;
                ++m_generation;
                if (m_onNewPath) m_onNewPath(m_slavePath);
                m_cv.notify_all();
            } else {
                reopen_at = now + 1000000;
            }
        }

        if (notify >= 0 && m_fd >= 0 && m_slavePath != watched) {
            if (watch >= 0) inotify_rm_watch(notify, watch);
            watch = inotify_add_watch(notify, m_slavePath.c_str(), IN_OPEN);
            watched = m_slavePath;
        }

        Deliver(now);
        Schedule(m_reader.Poll((now - m_startUs) / 1000), now);

        if (m_fd >= 0 && m_options.baud && m_out.size() == 1 && !m_out.front().hangup) {
            const uint64_t due = m_out.front().due_us;
            if (due > now && due - now <= kLastByteLeadUs)
                while ((now = NowUs()) < due) {
                }
        }
        // Send what is due, in one write per run of due bytes.
        while (m_fd >= 0 && !m_out.empty() && m_out.front().due_us <= now) {
            if (m_out.front().hangup) {
                // Our side hangs up: the host's bytes still on the way are lost.
                m_out.clear();
                m_in.clear();
                CloseLine();
                m_reader.ResetLine();
                m_lineFreeUs = 0;
                m_inFreeUs = 0;
                reopen_at = now + static_cast<uint64_t>(m_options.reopen_ms) * 1000;
                break;
            }
            std::string chunk;
            size_t taken = 0;
            for (auto& p : m_out) {
                if (p.hangup || p.due_us > now) break;
                chunk += p.bytes;
                ++taken;
            }
            ssize_t n = write(m_fd, chunk.data(), chunk.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            if (n < 0) n = static_cast<ssize_t>(chunk.size());  // no reader on the line: the bytes are lost
            m_out.erase(m_out.begin(), m_out.begin() + static_cast<long>(taken));
            if (static_cast<size_t>(n) < chunk.size()) {
                m_out.push_front({now, chunk.substr(static_cast<size_t>(n)), false});
                break;
            }
        }

        uint64_t timeout = kIdlePollUs;
        auto until = [&](uint64_t t) { timeout = std::min(timeout, t > now ? t - now : 0); };
        if (!m_out.empty()) {
            const uint64_t due = m_out.front().due_us;
            until(m_options.baud && m_out.size() == 1 ? due - std::min(due, kLastByteLeadUs) : due);
        }
        if (!m_in.empty()) until(m_in.front().due_us);
        if (auto due = m_reader.NextDueMs()) until(m_startUs + *due * 1000 + 500);
        if (m_fd < 0) until(reopen_at);
        if (hup) timeout = std::min(timeout, kHangupPollUs);
        const int fd = m_fd;
        const bool watch_line = fd >= 0 && !hup;
        lk.unlock();

        // The line last: it is left out while it reports hang-up.
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {hup ? notify : -1, POLLIN, 0}, {fd, POLLIN, 0}};
        timespec ts{static_cast<time_t>(timeout / 1000000), static_cast<long>(timeout % 1000000) * 1000};
        ppoll(fds, watch_line ? 3 : 2, &ts, nullptr);
        if (fds[0].revents & POLLIN)
            while (read(m_wake[0], buf, sizeof buf) > 0) {
            }
        if (fds[1].revents & POLLIN)
            while (read(notify, buf, sizeof buf) > 0) {
            }
        pollfd& line = fds[2];
        if (fd >= 0 && hup) {
            line.revents = 0;
            poll(&line, 1, 0);
        }

        lk.lock();
        if (fd < 0 || fd != m_fd) continue;
        bool hung = false;
        if (line.revents & POLLIN) {
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n > 0) {
                hup = false;
                Receive(std::string_view(buf, static_cast<size_t>(n)), NowUs());
            } else if (n < 0 && errno == EIO) {
                hung = true;
            }
        } else if (line.revents & POLLHUP) {
            hung = true;
        } else if (hup) {
            hup = false;  // a host has the slave open again
        }
        if (hung && !hup) {
            hup = true;
            HostLeft();
        }
    }
    if (notify >= 0) close(notify);
}

std::string PtyServer::SlavePath() const {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_slavePath;
}

unsigned PtyServer::Generation() const {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_generation;
}

bool PtyServer::WaitForGeneration(unsigned generation, int timeout_ms) {
    std::unique_lock<std::mutex> lk(m_mu);
    return m_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return m_generation >= generation; });
}

void PtyServer::OnNewPath(std::function<void(const std::string&)> callback) {
    std::lock_guard<std::mutex> lk(m_mu);
    m_onNewPath = std::move(callback);
}

bool PtyServer::Insert(const std::string& type, std::string* error) {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_reader.Insert(type, error);
}

void PtyServer::Remove() {
    std::lock_guard<std::mutex> lk(m_mu);
    m_reader.Remove();
}

void PtyServer::Swipe(std::optional<std::string> track2, std::optional<std::string> track3) {
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const uint64_t now = NowUs();
        Schedule(m_reader.Swipe(std::move(track2), std::move(track3), (now - m_startUs) / 1000), now);
    }
    Wake();
}

std::string PtyServer::Dump() {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_reader.Dump();
}

std::vector<LogEntry> PtyServer::FrameLog() const {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_reader.log();
}

void PtyServer::SetLogSink(std::function<void(const LogEntry&)> sink) {
    std::lock_guard<std::mutex> lk(m_mu);
    m_reader.SetLogSink(std::move(sink));
}

void PtyServer::WithReader(const std::function<void(Reader&)>& f) {
    {
        std::lock_guard<std::mutex> lk(m_mu);
        f(m_reader);
    }
    Wake();
}

}  // namespace qd500sim
