// A vpcd card that breaks the protocol, on a socket pair with the test as
// the card: whatever it does, the reader answers "no card" in bounded time
// and the slot is empty after, and the connection is ended.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "SimTestUtil.h"
#include "Vpcd.h"

using namespace qd500sim;
using namespace simtest;

namespace {

constexpr int kAnswerMs = 300;

// The card's end: one message in, raw bytes out.
Bytes ReadMessage(int fd) {
    uint8_t head[2];
    if (recv(fd, head, 2, MSG_WAITALL) != 2) return {};
    Bytes payload(static_cast<size_t>(head[0] << 8 | head[1]));
    if (!payload.empty() && recv(fd, payload.data(), payload.size(), MSG_WAITALL) != ssize_t(payload.size())) return {};
    return payload;
}

void WriteRaw(int fd, const Bytes& bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

// A card that answers power-on with a good ATR (3B 00).
void GoodPowerOn(int fd) {
    EXPECT_EQ(ReadMessage(fd), Bytes{1});
    EXPECT_EQ(ReadMessage(fd), Bytes{4});
    WriteRaw(fd, {0x00, 0x02, 0x3B, 0x00});
}

struct Misbehaviour {
    const char* name;
    bool at_power_on;                // the fault comes at power-on; else at the first APDU
    std::function<void(int)> fault;  // what the card does when asked
    Bytes unasked = {};              // what it sends before anything is asked
};

void PrintTo(const Misbehaviour& m, std::ostream* os) { *os << m.name; }

class VpcdProtocolTest : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(VpcdProtocolTest, EndsWithNoCardAndAnEmptySlot) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Scenario scenario = Scenario::Default();
    scenario.card.reset();
    Reader reader(scenario);
    reader.InsertCard(std::make_unique<VpcdCard>(std::make_shared<VpcdLine>(fds[0], "pair", kAnswerMs)));
    const Misbehaviour& m = GetParam();
    if (!m.unasked.empty()) WriteRaw(fds[1], m.unasked);
    std::thread card([&] {
        if (!m.at_power_on) {
            GoodPowerOn(fds[1]);
            EXPECT_EQ(ReadMessage(fds[1]), (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
        }
        m.fault(fds[1]);
    });
    const auto start = std::chrono::steady_clock::now();
    Reply power = Send(reader, "55");
    Reply apdu = m.at_power_on ? power : Send(reader, "5A0084000008");
    const auto took = std::chrono::steady_clock::now() - start;
    card.join();
    EXPECT_EQ(power.status, m.at_power_on ? "21" : "00");
    EXPECT_EQ(apdu.status, "21");
    EXPECT_LT(took, std::chrono::milliseconds(3 * kAnswerMs));
    EXPECT_EQ(Send(reader, "47").data.substr(0, 2), "00");  // no card in the slot
    // The reader has ended the connection: the card reads its end.
    pollfd p{fds[1], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(ReadMessage(fds[1]), Bytes{});
    close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Vpcd, VpcdProtocolTest,
    ::testing::Values(
        Misbehaviour{"AtrLongerThanAnyAtr", true,
                     [](int fd) {
                         ReadMessage(fd);
                         ReadMessage(fd);
                         Bytes atr = {0x00, 34, 0x3B};
                         atr.resize(2 + 34, 0x00);
                         WriteRaw(fd, atr);
                     }},
        Misbehaviour{"AnswerShorterThanAStatusWord", false,
                     [](int fd) {
                         WriteRaw(fd, {0x00, 0x01, 0x90});
                     }},
        Misbehaviour{"LengthPromisedThenGone", false,
                     [](int fd) {
                         WriteRaw(fd, {0xFF, 0xFF, 0x90, 0x00});
                         shutdown(fd, SHUT_WR);
                     }},
        Misbehaviour{"Silent", false, [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }},
        // Power-on's first control code goes out; the ATR is never asked for.
        Misbehaviour{
            "SpeaksUnasked", true, [](int fd) { EXPECT_EQ(ReadMessage(fd), Bytes{1}); }, {0x00, 0x02, 0x90, 0x00}}),
    [](const ::testing::TestParamInfo<Misbehaviour>& info) { return std::string(info.param.name); });

}  // namespace
