// POSIX backend: termios, poll, FIONREAD, an exclusive lock on the device,
// a self-pipe to end a wait from another thread, CLOCK_MONOTONIC and
// /proc/self/exe.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/NetworkLine.h"
#include "platform/NetworkPort.h"
#include "platform/Platform.h"

namespace qd500 {

namespace {

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;  // 56000 has no termios speed; 9600 is the line's own
    }
}

// A self-pipe: the waiting thread polls its read end beside the line.
class PipeWakeup final : public Wakeup {
public:
    PipeWakeup() {
        if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) m_fds[0] = m_fds[1] = -1;
    }
    ~PipeWakeup() override {
        for (int fd : m_fds)
            if (fd >= 0) ::close(fd);
    }
    void Signal() override {
        m_signalled.store(true);
        char byte = 1;
        if (m_fds[1] >= 0) (void)!::write(m_fds[1], &byte, 1);
    }
    bool Signalled() const override { return m_signalled.load(); }
    void Clear() override {
        m_signalled.store(false);
        char scrap[64];
        while (m_fds[0] >= 0 && ::read(m_fds[0], scrap, sizeof scrap) > 0) {
        }
    }
    int fd() const { return m_fds[0]; }

private:
    int m_fds[2] = {-1, -1};
    std::atomic<bool> m_signalled{false};
};

class PosixLine final : public SerialLine {
public:
    explicit PosixLine(int fd) : m_fd(fd) {}
    ~PosixLine() override {
        flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }

    bool WriteByte(uint8_t byte, uint32_t waitMs) override {
        for (;;) {
            ssize_t n = ::write(m_fd, &byte, 1);
            if (n == 1) return true;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return false;
            pollfd p{m_fd, POLLOUT, 0};
            int r = ::poll(&p, 1, static_cast<int>(waitMs));
            if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
        }
    }

    int InQueue() override {
        int count = 0;
        if (::ioctl(m_fd, FIONREAD, &count) < 0) return -1;
        if (count == 0 && HungUp()) return -1;
        return count;
    }

    int Read(uint8_t* dst, int max) override {
        if (max <= 0) return 0;
        for (;;) {
            ssize_t n = ::read(m_fd, dst, static_cast<size_t>(max));
            if (n >= 0) return static_cast<int>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return 0;
            return -1;
        }
    }

    WaitResult WaitInput(uint32_t ms, Wakeup* wakeup) override {
        auto* pipe = static_cast<PipeWakeup*>(wakeup);
        if (pipe && pipe->Signalled()) return WaitResult::Woken;
        pollfd p[2] = {{m_fd, POLLIN, 0}, {pipe ? pipe->fd() : -1, POLLIN, 0}};
        int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms);
        int r;
        do {
            r = ::poll(p, pipe ? 2 : 1, timeout);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return WaitResult::Failed;
        if (r == 0) return WaitResult::Timeout;
        if (p[0].revents & POLLIN) return WaitResult::Ready;
        if (p[0].revents) return WaitResult::Failed;  // POLLHUP, POLLERR, POLLNVAL with nothing to read
        return WaitResult::Woken;
    }

    bool PurgeOutput() override { return ::tcflush(m_fd, TCOFLUSH) == 0; }

private:
    bool HungUp() {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN);
    }
    int m_fd;
};

// The network ports this process holds: a second open of one is refused, as
// a COM port's is (a server with kickolduser would otherwise drop the first).
std::mutex g_heldLock;
std::set<std::string> g_held;

uint32_t NowMs() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// The POSIX socket of a network line.
class PosixNetworkLine final : public NetworkLine {
public:
    PosixNetworkLine(int fd, bool rfc2217) : NetworkLine(rfc2217), m_fd(fd) {}
    ~PosixNetworkLine() override {
        EndTls();
        ::close(m_fd);
    }

    WaitResult WaitInput(uint32_t ms, Wakeup* wakeup) override {
        auto* pipe = static_cast<PipeWakeup*>(wakeup);
        const uint32_t start = NowMs();
        for (;;) {
            if (pipe && pipe->Signalled()) return WaitResult::Woken;
            if (!Exchange()) return HasInput() ? WaitResult::Ready : WaitResult::Failed;
            if (HasInput()) return WaitResult::Ready;
            uint32_t waited = NowMs() - start;
            if (waited >= ms) return WaitResult::Timeout;
            uint32_t left = ms - waited;
            pollfd p[2] = {{m_fd, POLLIN, 0}, {pipe ? pipe->fd() : -1, POLLIN, 0}};
            int r = ::poll(p, pipe ? 2 : 1, left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left));
            if (r < 0 && errno != EINTR) return WaitResult::Failed;
            if (r > 0 && pipe && (p[1].revents & POLLIN) && !(p[0].revents & POLLIN)) return WaitResult::Woken;
            // Readable: telnet commands alone carry no data, so look again.
        }
    }

protected:
    int SendSome(const char* bytes, int count) override {
        for (;;) {
            ssize_t n = ::send(m_fd, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
            if (n >= 0) return static_cast<int>(n);
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }
    int ReceiveSome(char* bytes, int capacity) override {
        for (;;) {
            ssize_t n = ::recv(m_fd, bytes, static_cast<size_t>(capacity), MSG_DONTWAIT);
            if (n > 0) return static_cast<int>(n);
            if (n == 0) return -1;  // the server closed it
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }
    bool WaitWritable(uint32_t ms) override {
        pollfd p{m_fd, POLLOUT, 0};
        return ::poll(&p, 1, static_cast<int>(ms)) > 0 && !(p.revents & (POLLERR | POLLHUP));
    }
    void WaitReadable(uint32_t ms) override {
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(ms));
    }
    uint32_t NowMs() override { return qd500::NowMs(); }
    uintptr_t Socket() const override { return static_cast<uintptr_t>(m_fd); }

private:
    int m_fd;
};

// Connects within the bound; the socket, or -1 with the reason.
int Connect(const NetworkPort& port, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = ::getaddrinfo(port.host.c_str(), port.port.c_str(), &hints, &found); rc != 0) {
        if (why) *why = std::string("cannot resolve ") + port.host + ": " + ::gai_strerror(rc);
        return -1;
    }
    std::string reason = "no address";
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(port.timeoutMs));
            int error = 0;
            socklen_t len = sizeof error;
            if (rc == 0) {
                errno = ETIMEDOUT;
                rc = -1;
            } else if (rc > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error != 0) {
                errno = error;
                rc = -1;
            } else if (rc > 0) {
                rc = 0;
            }
        }
        if (rc != 0) {
            reason = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        if (why) *why = "cannot connect to " + port.Where() + ": " + reason;
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A peer that vanished without a word is found out by keepalive.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = 5, interval = 2, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    return fd;
}

std::unique_ptr<SerialLine> OpenNetwork(const std::string& name, const LineSettings& settings, std::string* why) {
    NetworkPort port;
    if (!ParseNetworkPort(name, port, why)) return nullptr;
    const std::string key = port.Where();
    {
        std::lock_guard<std::mutex> lock(g_heldLock);
        if (!g_held.insert(key).second) {
            if (why) *why = "the port is in use";
            return nullptr;
        }
    }
    auto release = [key] {
        std::lock_guard<std::mutex> lock(g_heldLock);
        g_held.erase(key);
    };
    auto line = OpenNetworkLine(
        port, settings, why,
        [&port](std::string* reason) -> std::unique_ptr<NetworkLine> {
            int fd = Connect(port, reason);
            return fd < 0 ? nullptr : std::make_unique<PosixNetworkLine>(fd, port.rfc2217);
        },
        NowMs, [](uint32_t ms) { ::usleep(ms * 1000); });
    if (!line) {
        release();
        return nullptr;
    }
    line->OnClose(release);
    return line;
}

class PosixPlatform final : public Platform {
public:
    // "COM<n>" is the device named by QD500_COM<n>, else /dev/ttyS<n-1>.
    std::string PortDevice(int comNumber) override {
        char name[32];
        std::snprintf(name, sizeof name, "QD500_COM%d", comNumber);
        if (const char* mapped = std::getenv(name); mapped && *mapped) return mapped;
        std::snprintf(name, sizeof name, "/dev/ttyS%d", comNumber - 1);
        return name;
    }

    std::unique_ptr<SerialLine> Open(const std::string& device, const LineSettings& settings,
                                     std::string* why) override {
        auto fail = [&](int fd, const char* reason) -> std::unique_ptr<SerialLine> {
            if (why) *why = reason;
            if (fd >= 0) ::close(fd);
            return nullptr;
        };
        if (IsNetworkPort(device)) return OpenNetwork(device, settings, why);
        int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return fail(-1, std::strerror(errno));
        if (!::isatty(fd)) return fail(fd, "not a serial device");
        // One owner at a time, as a Windows COM port: the lock holds against
        // every process, root included; TIOCEXCL adds the terminal's own guard.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, "the port is in use");
        ::ioctl(fd, TIOCEXCL);
        termios tio{};
        if (::tcgetattr(fd, &tio) != 0) return fail(fd, std::strerror(errno));
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= settings.dataBits == 7 ? CS7 : CS8;
        if (settings.parity == 1) tio.c_cflag |= PARENB | PARODD;
        if (settings.parity == 2) tio.c_cflag |= PARENB;
        if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, SpeedOf(settings.baud));
        ::cfsetospeed(&tio, SpeedOf(settings.baud));
        if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(fd, std::strerror(errno));
        return std::make_unique<PosixLine>(fd);
    }

    std::unique_ptr<Wakeup> MakeWakeup() override { return std::make_unique<PipeWakeup>(); }

    uint32_t TickMs() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                     static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
    }

    void Pause(uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }

    void PumpMessages() override {}

    std::string HostExecutablePath() override {
        char path[4096];
        ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0) return {};
        path[n] = '\0';
        return path;
    }

    char PathSeparator() const override { return '/'; }

    UtcTime UtcNow() override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        tm t{};
        ::gmtime_r(&ts.tv_sec, &t);
        UtcTime u;
        u.year = t.tm_year + 1900;
        u.month = t.tm_mon + 1;
        u.day = t.tm_mday;
        u.hour = t.tm_hour;
        u.minute = t.tm_min;
        u.second = t.tm_sec;
        u.millisecond = static_cast<int>(ts.tv_nsec / 1000000L);
        return u;
    }
};

}  // namespace

Platform& NativePlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace qd500
