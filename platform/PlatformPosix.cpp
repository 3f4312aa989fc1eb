// POSIX backend: termios, poll, FIONREAD, an exclusive lock on the device,
// a self-pipe to end a wait from another thread, CLOCK_MONOTONIC and
// /proc/self/exe.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
