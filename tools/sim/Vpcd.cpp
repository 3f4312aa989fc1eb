#include "Vpcd.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include "Hex.h"
#include "Sockets.h"

namespace qd500sim {

namespace {

constexpr uint8_t kPowerOff = 0, kPowerOn = 1, kAtr = 4;
constexpr size_t kMaxPayload = 0xFFFF;  // the length field's reach
constexpr size_t kMaxAtr = 33;          // TS and 32 more bytes

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// ---- the connection ---------------------------------------------------------

VpcdLine::VpcdLine(int fd, std::string peer, int answer_ms)
    : m_fd(fd), m_peer(std::move(peer)), m_answerMs(answer_ms) {}

VpcdLine::~VpcdLine() { close(m_fd); }

void VpcdLine::Close() {
    // shutdown, not close: the descriptor stays this line's until the last
    // owner lets go, so no other file can take its number meanwhile.
    if (m_open.exchange(false)) shutdown(m_fd, SHUT_RDWR);
}

bool VpcdLine::Write(const Bytes& payload) {
    if (payload.size() > kMaxPayload) return false;
    Bytes message = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    const int64_t deadline = NowMs() + m_answerMs;
    size_t done = 0;
    while (done < message.size()) {
        ssize_t n = send(m_fd, message.data() + done, message.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int64_t left = deadline - NowMs();
        if (n == 0 || errno != EAGAIN || left <= 0) return false;
        pollfd p{m_fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

bool VpcdLine::ReadFull(uint8_t* to, size_t n, int64_t deadline_ms) {
    size_t done = 0;
    while (done < n) {
        const int64_t left = deadline_ms - NowMs();
        if (left <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = recv(m_fd, to + done, n - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool VpcdLine::Send(uint8_t code) {
    if (m_open && Write({code})) return true;
    Close();
    return false;
}

bool VpcdLine::Exchange(const Bytes& payload, Bytes& answer, size_t min_len, size_t max_len) {
    if (!m_open) return false;
    // A card speaks only when asked: anything already waiting (or the end
    // of the stream) means it is not following the protocol, or has left.
    uint8_t stray;
    ssize_t waiting = recv(m_fd, &stray, 1, MSG_PEEK | MSG_DONTWAIT);
    bool ok = waiting < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Write(payload);
    uint8_t head[2];
    const int64_t deadline = NowMs() + m_answerMs;
    ok = ok && ReadFull(head, 2, deadline);
    const size_t len = ok ? static_cast<size_t>(head[0] << 8 | head[1]) : 0;
    ok = ok && len >= min_len && len <= max_len;
    if (ok) {
        answer.assign(len, 0);
        ok = len == 0 || ReadFull(answer.data(), len, deadline);
    }
    if (!ok) {
        answer.clear();
        Close();
    }
    return ok;
}

// ---- the card ---------------------------------------------------------------

VpcdCard::VpcdCard(std::shared_ptr<VpcdLine> line) : Card(*FindCardType("CPU")), m_line(std::move(line)) {}

// Out of the slot, the card's connection ends with it.
VpcdCard::~VpcdCard() { m_line->Close(); }

void VpcdCard::PowerOn() {
    Bytes atr;
    m_transport.Drop();
    if (!m_line->Send(kPowerOn) || !m_line->Exchange({kAtr}, atr, 2, kMaxAtr)) return;
    SetAtr(atr);
    m_transport.SetT1(FirstProtocol(atr) == 1);
}

void VpcdCard::PowerOff() {
    m_transport.Drop();
    m_line->Send(kPowerOff);
}

Answer VpcdCard::Apdu(const Bytes& apdu) {
    if (m_transport.holding() && AnswerTransport::IsGetResponse(apdu))
        return m_transport.GetResponse(apdu[4]).ToAnswer();
    m_transport.Drop();
    Bytes answer;
    if (!m_line->Exchange(apdu, answer, 2, kMaxPayload)) return Answer::Fail(st::kNoCard);
    // The card answers the APDU whole. A T=0 command that carries data
    // (P3 = Lc, the data after it) gets no data back on the line: they wait
    // for GET RESPONSE behind 61xx.
    const bool carries_data = apdu.size() > 5 && apdu[4] != 0 && apdu.size() >= 5u + apdu[4];
    const size_t n = answer.size();
    if (!m_transport.t1() && carries_data && n > 2 && answer[n - 2] == 0x90 && answer[n - 1] == 0x00) {
        answer.resize(n - 2);
        return m_transport.Case4(std::move(answer)).ToAnswer();
    }
    return Answer::Ok(std::move(answer));
}

std::string VpcdCard::Dump() const {
    std::ostringstream os;
    os << "card CPU behind vpcd, peer " << m_line->peer() << (m_line->open() ? "" : " (gone)") << "\n";
    os << "  ATR " << (m_atr.empty() ? "-" : ToHex(m_atr)) << ", T=" << (m_transport.t1() ? 1 : 0)
       << (m_transport.holding() ? ", an answer held for GET RESPONSE" : "") << "\n";
    return os.str();
}

// ---- the bridge -------------------------------------------------------------

bool VpcdBridge::Listen(const std::string& where, std::string* error) {
    std::string why;
    m_listen = ListenTcp(where, 1, m_address, why);
    if (m_listen < 0) {
        if (error) *error = "--vpcd-listen " + where + ": " + why;
        return false;
    }
    m_listening = true;
    return Begin(error);
}

bool VpcdBridge::Connect(const std::string& where, std::string* error) {
    if (!SplitHostPort(where, m_host, m_port)) {
        if (error) *error = "--vpcd-connect " + where + ": give HOST:PORT";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(m_host.c_str(), m_port.c_str(), &hints, &found); rc != 0) {
        if (error) *error = "--vpcd-connect " + where + ": " + gai_strerror(rc);
        return false;
    }
    freeaddrinfo(found);
    m_address = where;
    m_listening = false;
    return Begin(error);
}

bool VpcdBridge::Begin(std::string* error) {
    std::string why;
    if (m_thread.Start([this] { Run(); }, why)) return true;
    if (error) *error = why;
    return false;
}

void VpcdBridge::Stop() {
    m_thread.Stop();
    if (m_listen >= 0) close(m_listen);
    m_listen = -1;
}

bool VpcdBridge::Pause(int ms) {
    pollfd p{m_thread.StopFd(), POLLIN, 0};
    return poll(&p, 1, ms) == 0 && m_thread.Running();
}

// The next card's socket, or -1 when the bridge stops.
int VpcdBridge::NextCard() {
    while (m_thread.Running()) {
        if (m_listening) return AcceptUnlessStopped(m_listen, m_thread.StopFd());
        // A card that listens: try it, and again every second until it answers.
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(m_host.c_str(), m_port.c_str(), &hints, &found) == 0) {
            for (addrinfo* a = found; a; a = a->ai_next) {
                int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
                if (fd < 0) continue;
                int rc = connect(fd, a->ai_addr, a->ai_addrlen);
                if (rc != 0 && errno == EINPROGRESS) {
                    pollfd p[2] = {{fd, POLLOUT, 0}, {m_thread.StopFd(), POLLIN, 0}};
                    int soerr = 0;
                    socklen_t l = sizeof soerr;
                    if (poll(p, 2, 2000) > 0 && !p[1].revents && (p[0].revents & POLLOUT) &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &l) == 0 && soerr == 0)
                        rc = 0;
                }
                if (rc == 0) {
                    freeaddrinfo(found);
                    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                    return fd;
                }
                close(fd);
            }
            freeaddrinfo(found);
        }
        if (!Pause(1000)) return -1;
    }
    return -1;
}

// Until the card leaves, the slot empties (the line closed by the engine)
// or the bridge stops.
void VpcdBridge::Watch(const std::shared_ptr<VpcdLine>& line) {
    while (m_thread.Running() && line->open()) {
        pollfd p[2] = {{line->fd(), POLLRDHUP, 0}, {m_thread.StopFd(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) break;
        if (p[0].revents) break;
    }
    line->Close();
}

void VpcdBridge::Run() {
    for (;;) {
        int fd = NextCard();
        if (fd < 0) return;
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
        auto line = std::make_shared<VpcdLine>(fd, AddressOf(reinterpret_cast<sockaddr*>(&peer), len));
        m_insert(std::make_unique<VpcdCard>(line));
        Watch(line);
        // In connect mode a card that left is looked for again after a pause.
        if (!m_listening && !Pause(1000)) return;
    }
}

}  // namespace qd500sim
