#include "Sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qd500sim {

bool SocketThread::Start(std::function<void()> run, std::string& why) {
    if (pipe2(m_stop, O_CLOEXEC) != 0) {
        why = strerror(errno);
        return false;
    }
    m_running = true;
    m_thread = std::thread(std::move(run));
    return true;
}

void SocketThread::Stop() {
    if (!m_running.exchange(false)) return;
    char b = 1;
    (void)!write(m_stop[1], &b, 1);
    m_thread.join();
    close(m_stop[0]);
    close(m_stop[1]);
    m_stop[0] = m_stop[1] = -1;
}

bool SplitHostPort(const std::string& where, std::string& host, std::string& port) {
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos || colon + 1 == where.size()) return false;
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    return true;
}

int ListenTcp(const std::string& where, int backlog, std::string& address, std::string& why) {
    std::string host, port;
    if (!SplitHostPort(where, host, port)) {
        why = "give HOST:PORT";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        why = gai_strerror(rc);
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, backlog) == 0;
    freeaddrinfo(found);
    if (!ok) {
        why = strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    address = AddressOf(reinterpret_cast<sockaddr*>(&bound), len);
    return fd;
}

int AcceptUnlessStopped(int listener, int stop) {
    for (;;) {
        pollfd p[2] = {{listener, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return -1;
        if (p[1].revents) return -1;
        if (!(p[0].revents & POLLIN)) continue;
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) return client;
    }
}

std::string AddressOf(const sockaddr* addr, socklen_t len) {
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(addr, len, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return std::string(host) + ":" + service;
}

}  // namespace qd500sim
