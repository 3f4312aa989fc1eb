// The network line against servers played by the test on loopback: raw
// bytes and RFC 2217 both ways with 0xFF, the settings a server must
// acknowledge, and each way an open or a line fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/NetworkPort.h"
#include "platform/Platform.h"

using namespace qd500;

namespace {

using Clock = std::chrono::steady_clock;

// A one-client TCP server on 127.0.0.1 whose conversation the test writes.
class Server {
public:
    explicit Server(std::function<void(int)> talk) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_fd, 2);
        socklen_t len = sizeof addr;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this, talk] {
            int client = accept(m_fd, nullptr, nullptr);
            if (client < 0) return;
            talk(client);
            close(client);
        });
    }
    ~Server() {
        shutdown(m_fd, SHUT_RDWR);
        close(m_fd);
        m_thread.join();
    }
    std::string Url(const std::string& scheme, const std::string& query = "") const {
        return scheme + "://127.0.0.1:" + std::to_string(m_port) + query;
    }

private:
    int m_fd;
    int m_port = 0;
    std::thread m_thread;
};

// Reads until n bytes came or a second passed.
std::string Take(int fd, size_t n) {
    std::string got;
    auto end = Clock::now() + std::chrono::seconds(1);
    while (got.size() < n && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[256];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string Sub(int command, std::initializer_list<int> value) {
    std::string s = {'\xFF', '\xFA', 44, static_cast<char>(command)};
    for (int v : value) s += static_cast<char>(v);
    return s + "\xFF\xF0";
}

// What an RFC 2217 server answers to the line's opening: each setting
// acknowledged with its value (the baud rate as asked, unless told).
std::string Acks(int baud = 9600) {
    return std::string("\xFF\xFD\x2C", 3) + Sub(101, {0, 0, baud >> 8 & 0xFF, baud & 0xFF}) + Sub(102, {8}) +
           Sub(103, {1}) + Sub(104, {1}) + Sub(105, {1});
}

std::string ReadLine(SerialLine& line, size_t n) {
    std::string got;
    for (int i = 0; i < 40 && got.size() < n; ++i) {
        if (line.WaitInput(50) == WaitResult::Failed) break;
        uint8_t buf[64];
        int r = line.Read(buf, sizeof buf);
        if (r > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(r));
    }
    return got;
}

std::unique_ptr<SerialLine> Open(const std::string& url, std::string* why) {
    return CurrentPlatform().Open(url, LineSettings{}, why);
}

TEST(NetworkLine, BytesBothWaysWith0xFFRawAndRfc2217) {
    const std::string payload("\x1B\xFF\x01\xFF\x03", 5);
    std::string rawSeen, telnetSeen;
    {
        Server raw([&](int fd) {
            rawSeen = Take(fd, 5);
            send(fd, payload.data(), payload.size(), 0);
        });
        std::string why;
        auto line = Open(raw.Url("socket"), &why);
        ASSERT_TRUE(line) << why;
        for (char c : payload) ASSERT_TRUE(line->WriteByte(static_cast<uint8_t>(c), 100));
        EXPECT_EQ(ReadLine(*line, 5), payload);
    }
    EXPECT_EQ(rawSeen, payload);
    {
        Server telnet([&](int fd) {
            Take(fd, 3 + 10 + 4 * 7 + 7);  // WILL 44 and the six settings
            send(fd, Acks().data(), Acks().size(), 0);
            telnetSeen = Take(fd, 7);
            const std::string doubled("\x1B\xFF\xFF\x01\xFF\xFF\x03", 7);
            send(fd, doubled.data(), doubled.size(), 0);
        });
        std::string why;
        auto line = Open(telnet.Url("rfc2217"), &why);
        ASSERT_TRUE(line) << why;
        for (char c : payload) ASSERT_TRUE(line->WriteByte(static_cast<uint8_t>(c), 100));
        EXPECT_EQ(ReadLine(*line, 5), payload);
    }
    EXPECT_EQ(telnetSeen, std::string("\x1B\xFF\xFF\x01\xFF\xFF\x03", 7));
}

TEST(NetworkLine, OpensThatFailSayWhyWithinTheirBound) {
    std::string why;
    // A server that accepts and never answers the negotiation.
    {
        Server silent([](int fd) { Take(fd, 1000); });
        auto start = Clock::now();
        EXPECT_FALSE(Open(silent.Url("rfc2217", "?timeout=0.3"), &why));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_NE(why.find("did not acknowledge the port settings within 300 ms"), std::string::npos) << why;
        // Over TLS the same server never finishes the handshake.
        start = Clock::now();
        EXPECT_FALSE(Open(silent.Url("socket+tls", "?timeout=0.3"), &why));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_NE(why.find("did not finish within 300 ms"), std::string::npos) << why;
    }
    // A busy port server: its text, then the connection closed.
    {
        Server busy([](int fd) {
            const std::string text = std::string("\xFF\xFD\x2C", 3) + "Port already in use\r\n";
            send(fd, text.data(), text.size(), 0);
        });
        EXPECT_FALSE(Open(busy.Url("rfc2217", "?timeout=0.3"), &why));
        EXPECT_NE(why.find("closed the connection during the port settings: \"Port already in use\""),
                  std::string::npos)
            << why;
    }
    // Another baud rate set than asked.
    {
        Server other([](int fd) {
            Take(fd, 48);
            send(fd, Acks(4800).data(), Acks(4800).size(), 0);
            Take(fd, 1000);
        });
        EXPECT_FALSE(Open(other.Url("rfc2217"), &why));
        EXPECT_EQ(why, "the server set 4800 baud, not 9600");
    }
    EXPECT_FALSE(Open("rfc2217://127.0.0.1:1", &why));
    EXPECT_EQ(why, "cannot connect to 127.0.0.1:1: Connection refused");
    EXPECT_FALSE(Open("socket://127.0.0.1:99999", &why));
    EXPECT_EQ(why, "the port number 99999 is not 1 to 65535");
    EXPECT_FALSE(Open("socket://127.0.0.1:1?baud=9600", &why));
    EXPECT_EQ(why, "unknown option 'baud' (the options: timeout)");
    // TLS options: only on TLS lines, the certificate with its key, %XX in a path.
    EXPECT_FALSE(Open("rfc2217://127.0.0.1:1?ca=x.pem", &why));
    EXPECT_EQ(why, "ca= is an option of TLS lines (rfc2217+tls://, socket+tls://)");
    EXPECT_FALSE(Open("socket+tls://127.0.0.1:1?cert=c.pem", &why));
    EXPECT_EQ(why, "cert= and key= go together (the client certificate and its private key)");
    EXPECT_FALSE(Open("socket+tls://127.0.0.1:1?ca=%2", &why));
    EXPECT_EQ(why, "the value of ca has a '%' not followed by two hex digits");
    NetworkPort port;
    ASSERT_TRUE(ParseNetworkPort("socket+tls://h:1?ca=/a%26b%3F.pem&timeout=2", port, &why)) << why;
    EXPECT_TRUE(port.tls && !port.rfc2217);
    EXPECT_EQ(port.caFile, "/a&b?.pem");
}

TEST(NetworkLine, OneHolderAndAClosedConnectionFailsTheLine) {
    Server server([](int fd) { Take(fd, 1); });  // reads one byte, then hangs up
    std::string why;
    auto line = Open(server.Url("socket"), &why);
    ASSERT_TRUE(line) << why;
    EXPECT_FALSE(Open(server.Url("socket"), &why));
    EXPECT_EQ(why, "the port is in use");
    ASSERT_TRUE(line->WriteByte('x', 100));
    auto start = Clock::now();
    WaitResult result = WaitResult::Timeout;
    while (result != WaitResult::Failed && Clock::now() - start < std::chrono::seconds(2))
        result = line->WaitInput(200);
    EXPECT_EQ(result, WaitResult::Failed);
    EXPECT_EQ(line->InQueue(), -1);
    // Writing to the closed connection raises no SIGPIPE (the test would die).
    for (int i = 0; i < 3; ++i) line->WriteByte('y', 100);
    EXPECT_EQ(line->InQueue(), -1);
}

}  // namespace
