// The driver's entry points as pcscd calls them, against the simulator on a
// pty in-process: memory cards through pseudo-APDUs, the magnetic head
// through control codes, presence beside a waiting swipe, and a line that
// vanishes and comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"
#include "ifd/Control.h"
#include "ifd/Pcsc.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using namespace std::chrono;
using qd500::test::SimulatedReader;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr DWORD kLun = 0x30000;
#ifdef QD500_ASSERT_TIMING
constexpr auto kPresenceAtOnce = milliseconds(100);
#else
constexpr auto kPresenceAtOnce = milliseconds(1000);  // under a sanitizer; the swipe would hold it 10 s
#endif

class IfdDriverTest : public ::testing::Test {
protected:
    void Serve(qd500sim::Scenario scenario, const std::string& link = "") {
        sim = std::make_unique<SimulatedReader>(70, std::move(scenario), 0, link);
        ASSERT_TRUE(sim->started());
        std::string device = link.empty() ? sim->server().SlavePath() : link;
        ASSERT_EQ(IFDHCreateChannelByName(kLun, &device[0]), IFD_SUCCESS);
        opened = true;
    }
    void TearDown() override {
        if (opened) {
            EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
        }
    }

    Bytes PowerUp(DWORD action = IFD_POWER_UP) {
        UCHAR atr[MAX_ATR_SIZE];
        DWORD len = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(kLun, action, atr, &len), IFD_SUCCESS);
        return Bytes(atr, atr + len);
    }
    // The response, or the driver's code alone when it is not IFD_SUCCESS.
    Bytes Transmit(const Bytes& apdu, RESPONSECODE* rc = nullptr) {
        SCARD_IO_HEADER pci{SCARD_PROTOCOL_T0, 8};
        UCHAR rx[MAX_BUFFER_SIZE];
        DWORD len = sizeof rx;
        RESPONSECODE got = IFDHTransmitToICC(kLun, pci, const_cast<UCHAR*>(apdu.data()), apdu.size(), rx, &len, &pci);
        if (rc) *rc = got;
        return Bytes(rx, rx + len);
    }
    Bytes Control(unsigned long code, const std::string& in, RESPONSECODE expected = IFD_SUCCESS) {
        UCHAR out[2100];
        DWORD len = 0;
        EXPECT_EQ(IFDHControl(kLun, code, reinterpret_cast<UCHAR*>(const_cast<char*>(in.data())), in.size(), out,
                              sizeof out, &len),
                  expected);
        return Bytes(out, out + len);
    }
    size_t FramesFromHost() const { return sim->FromHost().size(); }

    std::unique_ptr<SimulatedReader> sim;
    bool opened = false;
};

Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }
Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

qd500sim::Scenario Waiting() {
    return SimulatedReader::FromJson(R"({"magnetic": {"track2": "6212345678901234567=3012",
                                         "track3": "996212345678901234567", "swipe": "never"}})");
}

TEST_F(IfdDriverTest, MemoryCardTakesItsTypeThroughPseudoApdus) {
    Serve(SimulatedReader::WithCard("S4442"));
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    // No CPU-card ATR: the memory-card ATR, type not yet known.
    EXPECT_EQ(PowerUp(), (Bytes{0x3B, 0x04, 'M', 'E', 'M', 0x00}));
    EXPECT_EQ(Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}), Sw(0x6E00));
    EXPECT_EQ(Transmit({0xFF, 0xB0, 0x00, 0x00, 0x10}), Sw(0x6985));

    EXPECT_EQ(Transmit({0xFF, 0xA4, 0x00, 0x00, 0x01, 0x42}), Sw(0x9000));
    // The type stays the card's across power cycles, and the ATR names it.
    EXPECT_EQ(PowerUp(IFD_RESET), (Bytes{0x3B, 0x04, 'M', 'E', 'M', 0x42}));
    Bytes all = Transmit({0xFF, 0xB0, 0x00, 0x00, 0x00});
    ASSERT_EQ(all.size(), 258u);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 4), (Bytes{0xA2, 0x13, 0x10, 0x91}));
    EXPECT_EQ(Bytes(all.end() - 2, all.end()), Sw(0x9000));
    Bytes flags = Transmit({0xFF, 0xB2, 0x00, 0x00, 0x20});
    ASSERT_EQ(flags.size(), 34u);
    EXPECT_EQ(flags[0], 1);  // the ATR bytes are protected
    EXPECT_EQ(flags[31], 0);

    const size_t sent = FramesFromHost();
    for (const Bytes& malformed : {Bytes{0xFF, 0xB0, 0x01, 0x00, 0x01}, Bytes{0xFF, 0xD6, 0x00, 0x10, 0x03, 0x01},
                                   Bytes{0xFF, 0x20, 0x00, 0x00, 0x02, 0xFF, 0xFF}, Bytes{0xFF, 0xB1, 0x00, 0x00}})
        EXPECT_NE(Transmit(malformed), Sw(0x9000));
    EXPECT_EQ(FramesFromHost(), sent);  // none reached the reader

    // A read into a buffer too small for it sends nothing either.
    SCARD_IO_HEADER pci{SCARD_PROTOCOL_T0, 8};
    UCHAR apdu[] = {0xFF, 0xB0, 0x00, 0x00, 0x20}, rx[20];
    DWORD len = sizeof rx;
    EXPECT_EQ(IFDHTransmitToICC(kLun, pci, apdu, sizeof apdu, rx, &len, &pci), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(FramesFromHost(), sent);

    sim->server().Remove();
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    sim->server().Insert("S4442");
    EXPECT_EQ(PowerUp(), (Bytes{0x3B, 0x04, 'M', 'E', 'M', 0x00}));  // a new card: its type not known yet
}

TEST_F(IfdDriverTest, PresenceReadsStatus21AndAnEmptyFirstField) {
    Serve(
        SimulatedReader::FromJson(R"({"faults": [{"kind": "status", "command": "47", "status": "21", "times": 1}]})"));
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    opened = false;
    Serve(SimulatedReader::FromJson(R"({"device": {"status": ["00", "01", "88"]}})"));
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdDriverTest, TracesOnlyWhenTheDeviceNameAsks) {
    const std::string asked = ::testing::TempDir() + "qd500-ifd-asked.log";
    const std::string environment = ::testing::TempDir() + "qd500-ifd-env.log";
    std::remove(asked.c_str());
    std::remove(environment.c_str());
    setenv("QD500_TRACE_FILE", environment.c_str(), 1);
    Serve(qd500sim::Scenario::Default());
    IFDHICCPresence(kLun);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    std::string device = sim->server().SlavePath() + ":trace=" + asked;
    EXPECT_EQ(IFDHCreateChannelByName(kLun, &device[0]), IFD_SUCCESS);
    IFDHICCPresence(kLun);
    unsetenv("QD500_TRACE_FILE");
    EXPECT_EQ(qd500::test::ReadFile(environment), "");
    EXPECT_NE(qd500::test::ReadFile(asked).find("4747"), std::string::npos);
    std::remove(asked.c_str());
}

TEST_F(IfdDriverTest, MagneticHeadAnswersControlCodesInTheirLayouts) {
    Serve(Waiting());
    // PC/SC v2 part 10: FEATURE_GET_TLV_PROPERTIES at 0x42000000 + 3401, and
    // its dwMaxAPDUDataSize of 251 (little-endian).
    EXPECT_EQ(Control(qd500::ifd::kFeatureRequest, ""), (Bytes{0x12, 4, 0x42, 0x00, 0x0D, 0x49}));
    EXPECT_EQ(Control(qd500::ifd::kTlvProperties, ""), (Bytes{0x0A, 4, 251, 0, 0, 0}));
    const std::string version = "QD500-SIM V1.0";
    EXPECT_EQ(Control(qd500::ifd::kFirmwareVersion, ""), Of(std::string(1, '\0') + version));
    EXPECT_EQ(Control(qd500::ifd::kHeadSetting, "K"), Bytes{0});
    EXPECT_EQ(Control(qd500::ifd::kHeadSetting, "x"), Bytes{qd500::ifd::kStatusRefused});
    Control(qd500::ifd::ControlCode(3600), "", IFD_ERROR_NOT_SUPPORTED);

    // Nobody swipes: the read waits its second, then the time-out byte.
    auto start = steady_clock::now();
    EXPECT_EQ(Control(qd500::ifd::kReadTracks, std::string("\x23\x01", 2)), Bytes{qd500::ifd::kStatusTimeout});
    EXPECT_LT(steady_clock::now() - start, seconds(3));

    // A write waits for its swipe too.
    std::thread swiper([&] {
        std::this_thread::sleep_for(milliseconds(200));
        sim->server().Swipe(std::string(), std::string());
    });
    EXPECT_EQ(Control(qd500::ifd::kWriteTracks, std::string("\x23\x05") + "1234" + '\x1C' + "5678"), Bytes{0});
    swiper.join();
    // A track the head could not read is empty.
    sim->server().Swipe(std::nullopt, std::string("5678"));
    EXPECT_EQ(Control(qd500::ifd::kReadTracks, std::string("\x23\x05", 2)), Of(std::string(1, '\0') + "\x1C"
                                                                                                      "5678"));
}

TEST_F(IfdDriverTest, PresenceAnswersAtOnceWhileASwipeWaits) {
    Serve(Waiting());
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    auto swipe =
        std::async(std::launch::async, [&] { return Control(qd500::ifd::kReadTracks, std::string("\x02\x0A", 2)); });
    std::this_thread::sleep_for(milliseconds(100));
    for (int i = 0; i < 8; ++i) {
        auto start = steady_clock::now();
        EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
        EXPECT_LT(steady_clock::now() - start, kPresenceAtOnce);
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_EQ(swipe.wait_for(seconds(0)), std::future_status::timeout);  // still waiting all along
    sim->server().Swipe(std::string("6212345678901234567=3012"), std::nullopt);
    EXPECT_EQ(swipe.get(), Of(std::string(1, '\0') + "6212345678901234567=3012\x1C"));
}

TEST_F(IfdDriverTest, AVanishedLineIsReopenedByLaterPolls) {
    const std::string link = ::testing::TempDir() + "qd500-ifd-link-" + std::to_string(getpid());
    Serve(SimulatedReader::FromJson(R"({"faults": [{"kind": "hangup", "command": "5A", "times": 1}]})"), link);
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    ASSERT_GE(PowerUp().size(), 2u);
    const unsigned generation = sim->server().Generation();
    RESPONSECODE rc = IFD_SUCCESS;
    Transmit({0x00, 0x84, 0x00, 0x00, 0x08}, &rc);
    EXPECT_EQ(rc, IFD_COMMUNICATION_ERROR);

    // While the line is away presence says so at once, and spends no CPU waiting.
    const std::clock_t cpu = std::clock();
    auto start = steady_clock::now();
    RESPONSECODE presence = IFD_COMMUNICATION_ERROR;
    int errors = 0;
    while (steady_clock::now() - start < seconds(5)) {
        auto call = steady_clock::now();
        presence = IFDHICCPresence(kLun);
        EXPECT_LT(steady_clock::now() - call, milliseconds(1100));
        if (presence == IFD_ICC_PRESENT) break;
        EXPECT_EQ(presence, IFD_COMMUNICATION_ERROR);
        ++errors;
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GT(errors, 0);
    ASSERT_EQ(presence, IFD_ICC_PRESENT) << "the reader never came back";
    EXPECT_GT(sim->server().Generation(), generation);
    EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 0.5);

    ASSERT_GE(PowerUp().size(), 2u);
    Bytes challenge = Transmit({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(challenge.size(), 10u);
    EXPECT_EQ(Bytes(challenge.end() - 2, challenge.end()), Sw(0x9000));
    std::remove(link.c_str());
}

}  // namespace
