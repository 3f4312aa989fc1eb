// The simulator's TCP pieces that its network front ends share: the
// "HOST:PORT" they are given, a listening socket, the next client unless
// asked to stop, and an address in numbers.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace qd500sim {

// A thread that waits on sockets beside a stop signal: Stop() makes
// StopFd() readable, so any poll that watches it returns, and joins.
class SocketThread {
public:
    ~SocketThread() { Stop(); }
    // Starts run on the thread; false with the system's reason.
    bool Start(std::function<void()> run, std::string& why);
    void Stop();
    bool Running() const { return m_running; }
    int StopFd() const { return m_stop[0]; }

private:
    int m_stop[2] = {-1, -1};
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

// "HOST:PORT" into its parts (HOST may be empty); false when it is not one.
bool SplitHostPort(const std::string& where, std::string& host, std::string& port);

// A listening TCP socket on "HOST:PORT" (port 0: a free one), with the
// address it took; -1 with the reason ("give HOST:PORT", the resolver's or
// the system's text).
int ListenTcp(const std::string& where, int backlog, std::string& address, std::string& why);

// The next client of listener, or -1 once stop (a descriptor) is readable
// or the wait fails.
int AcceptUnlessStopped(int listener, int stop);

// A socket address as "HOST:PORT" in numbers; "?" when it has none.
std::string AddressOf(const sockaddr* addr, socklen_t len);

}  // namespace qd500sim
