#include "NetListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Sockets.h"

namespace qd500sim {

namespace {

constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr unsigned char kComPort = 44, kServerOffset = 100;

void SendAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 1000);
                continue;
            }
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// The server's side of RFC 2217: takes the client's telnet apart, answers
// its offers and settings, hands on the line's bytes.
class TelnetServer {
public:
    // Bytes from the client: the line's data, and what to answer it.
    void Feed(const unsigned char* in, size_t n, std::string& data, std::string& answer) {
        for (size_t i = 0; i < n; ++i) {
            unsigned char b = in[i];
            switch (m_state) {
                case 0:  // data
                    if (b == kIac)
                        m_state = 1;
                    else
                        data += static_cast<char>(b);
                    break;
                case 1:  // after IAC
                    if (b == kIac) {
                        data += static_cast<char>(b);
                        m_state = 0;
                    } else if (b >= kWill && b <= kDont) {
                        m_verb = b;
                        m_state = 2;
                    } else if (b == kSb) {
                        m_sub.clear();
                        m_state = 3;
                    } else {
                        m_state = 0;
                    }
                    break;
                case 2:  // the option of WILL/WONT/DO/DONT
                    if (m_verb == kWill) Command(answer, b == kComPort ? kDo : kDont, b);
                    if (m_verb == kDo) Command(answer, kWont, b);
                    m_state = 0;
                    break;
                case 3:  // subnegotiation
                    if (b == kIac)
                        m_state = 4;
                    else if (m_sub.size() < 64)
                        m_sub += static_cast<char>(b);
                    break;
                default:  // IAC inside it
                    if (b == kIac) {
                        if (m_sub.size() < 64) m_sub += static_cast<char>(b);
                        m_state = 3;
                    } else {
                        if (b == kSe) Settle(answer);
                        m_state = 0;
                    }
                    break;
            }
        }
    }

private:
    static void Command(std::string& out, unsigned char verb, unsigned char option) {
        out += static_cast<char>(kIac);
        out += static_cast<char>(verb);
        out += static_cast<char>(option);
    }
    // A COM-PORT-OPTION setting is acknowledged with the value asked for.
    void Settle(std::string& out) {
        if (m_sub.size() < 2 || static_cast<unsigned char>(m_sub[0]) != kComPort) return;
        out += static_cast<char>(kIac);
        out += static_cast<char>(kSb);
        out += static_cast<char>(kComPort);
        out += static_cast<char>(static_cast<unsigned char>(m_sub[1]) + kServerOffset);
        for (size_t i = 2; i < m_sub.size(); ++i) {
            out += m_sub[i];
            if (static_cast<unsigned char>(m_sub[i]) == kIac) out += m_sub[i];
        }
        out += static_cast<char>(kIac);
        out += static_cast<char>(kSe);
    }

    int m_state = 0;
    unsigned char m_verb = 0;
    std::string m_sub;
};

}  // namespace

bool NetListener::Start(const std::string& where, std::string* error) {
    std::string why;
    m_listen = ListenTcp(where, 4, m_address, why);
    if (m_listen < 0 || !m_thread.Start([this] { Run(); }, why)) {
        if (error) *error = "--listen " + where + ": " + why;
        if (m_listen >= 0) close(m_listen);
        m_listen = -1;
        return false;
    }
    return true;
}

void NetListener::Stop() {
    m_thread.Stop();
    if (m_listen >= 0) close(m_listen);
    m_listen = -1;
}

void NetListener::Run() {
    while (m_thread.Running()) {
        int client = AcceptUnlessStopped(m_listen, m_thread.StopFd());
        if (client < 0) return;
        int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Serve(client);  // one client at a time; the next waits in the backlog
        close(client);
    }
}

void NetListener::Serve(int client) {
    int tty = open(m_slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (tty < 0) return;
    termios t{};
    if (tcgetattr(tty, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(tty, TCSANOW, &t);
    }
    TelnetServer telnet;
    bool first = true, isTelnet = false;
    char buf[4096];
    while (m_thread.Running()) {
        pollfd p[3] = {{client, POLLIN, 0}, {tty, POLLIN, 0}, {m_thread.StopFd(), POLLIN, 0}};
        if (poll(p, 3, -1) < 0 && errno != EINTR) break;
        if (p[2].revents) break;
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (first) isTelnet = static_cast<unsigned char>(buf[0]) == kIac;
            first = false;
            if (!isTelnet) {
                WriteAll(tty, std::string(buf, static_cast<size_t>(n)));
            } else {
                std::string data, answer;
                telnet.Feed(reinterpret_cast<unsigned char*>(buf), static_cast<size_t>(n), data, answer);
                if (!answer.empty()) SendAll(client, answer);
                if (!data.empty()) WriteAll(tty, data);
            }
        }
        if (p[1].revents & POLLIN) {
            ssize_t n = read(tty, buf, sizeof buf);
            if (n > 0) {
                std::string out;
                for (ssize_t i = 0; i < n; ++i) {
                    out += buf[i];
                    if (isTelnet && static_cast<unsigned char>(buf[i]) == kIac) out += buf[i];
                }
                SendAll(client, out);
            }
        } else if (p[1].revents & (POLLHUP | POLLERR)) {
            break;  // the pty went (a hang-up fault): the client's line fails as a tty's would
        }
    }
    close(tty);
}

}  // namespace qd500sim
