// Memory-card commands of the library over a pseudo-terminal, answered by
// the reader simulator running in the same process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "reader/FrameBodies.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using namespace qd500;

namespace {

using SimulatedReader = qd500::test::SimulatedReader;
using qd500::test::SessionExchange;
using qd500::test::SessionOutcome;
constexpr auto WithCard = &SimulatedReader::WithCard;

class MemoryIntegrationTest : public ::testing::Test {
protected:
    static constexpr int kSessionCom = 61;

    void Open(SimulatedReader& reader) {
        ASSERT_TRUE(reader.started());
        gSetTimeOutIC(3);
        ASSERT_EQ(gOpenComIC(reader.com(), msg), 0) << msg;
    }
    void TearDown() override {
        gCloseComIC(msg);
        gSetTimeOutIC(10);
    }
    // Card type and power go out as plain frames: those commands are not
    // what is tested here.
    short Raw(const FrameBody& body) { return SessionExchange(body, kUsualTexts, msg).result; }
    void SelectAndPowerOn(const char* typeBody) {
        ASSERT_EQ(Raw(FrameBody(typeBody)), 0) << typeBody;
        ASSERT_EQ(Raw(FrameBody("55")), 0);
    }
    void PowerCycle() {
        ASSERT_EQ(Raw(FrameBody("44")), 0);
        ASSERT_EQ(Raw(FrameBody("55")), 0);
    }
    // Card memory through the reader's plain read and write commands.
    std::string ReadMemory(const char* h, const char* l, int count) {
        FrameBody body("52");
        body.Text(h).Text(l).Hex2(count);
        SessionOutcome out = SessionExchange(body, kUsualTexts, msg);
        EXPECT_EQ(out.result, 0) << "read " << h << l;
        unsigned char bytes[130] = {};
        if (out.parsed) CopyDataBytes(out.reply, bytes);
        return std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(count));
    }
    short WriteMemory(const char* h, const char* l, const std::string& bytes) {
        FrameBody body("57");
        body.Text(h)
            .Text(l)
            .Hex2(static_cast<int>(bytes.size()))
            .HexBytes(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
        return Raw(body);
    }

    char msg[64] = {};
};

TEST_F(MemoryIntegrationTest, Sle4442PinWriteProtectAndCounterExhaustion) {
    SimulatedReader reader(kSessionCom, WithCard("S4442"));
    Open(reader);
    SelectAndPowerOn("5442");

    char factoryPsc[] = "FFFFFF";
    EXPECT_EQ(gMemS44_VerifyPin(factoryPsc, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);

    // Write, read back, then protect by comparison and read the protection bits.
    ASSERT_EQ(WriteMemory("00", "10", "\x11\x22"), 0);
    EXPECT_EQ(ReadMemory("00", "10", 2), "\x11\x22");
    char h[] = "00", l[] = "10";
    char differs[] = "\x11\x23";
    EXPECT_EQ(gMemS44_CompDataWrite(h, l, differs, msg), 32);
    EXPECT_STREQ(msg, text::kStatus32);
    char same[] = "\x11\x22";
    EXPECT_EQ(gMemS44_CompDataWrite(h, l, same, msg), 0);
    unsigned char bits[16];
    std::memset(bits, 0xEE, sizeof bits);
    char from0[] = "00";
    EXPECT_EQ(gMemS4442_ReadGuardbit(from0, 4, reinterpret_cast<char*>(bits), msg), 0);
    // Bytes 0-3 protected at the factory, 16 and 17 now: bit 1 = writable.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bits), 5), std::string("\xF0\xFF\xFC\xFF\x00", 5));
    EXPECT_EQ(WriteMemory("00", "10", "\x33\x44"), 32);
    EXPECT_EQ(ReadMemory("00", "10", 2), "\x11\x22");

    // A new PIN, then three wrong tries spend the counter for good.
    char newPsc[] = "123456";
    EXPECT_EQ(gMemS44_ChangePin(newPsc, msg), 0);
    PowerCycle();
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(gMemS44_VerifyPin(factoryPsc, msg), 31) << attempt;
        EXPECT_STREQ(msg, text::kStatus31);
    }
    EXPECT_EQ(gMemS44_VerifyPin(newPsc, msg), 33);
    EXPECT_STREQ(msg, text::kStatus33);
    EXPECT_EQ(WriteMemory("00", "40", "\x01"), 33);
}

TEST_F(MemoryIntegrationTest, Sle4428WriteWithProtectionBitsAndReadBack) {
    SimulatedReader reader(kSessionCom, WithCard("S4428"));
    Open(reader);
    SelectAndPowerOn("5428");

    char h[] = "00", l[] = "20";
    char data[] = "\x01\x02\x03";
    EXPECT_EQ(gMemS4428_GuardbitWData(h, l, data, msg), 31);  // PSC not presented yet
    char psc[] = "FFFF";
    ASSERT_EQ(gMemS44_VerifyPin(psc, msg), 0);
    EXPECT_EQ(gMemS4428_GuardbitWData(h, l, data, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);

    // Four data bytes, then one protection byte with a bit per byte read:
    // the three written are protected (0), the fourth is writable (1).
    unsigned char out[160];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(gMemS4428_GuardbitRData(h, l, 4, reinterpret_cast<char*>(out), msg), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), std::string("\x01\x02\x03\xFF\x08\x00", 6));
    EXPECT_EQ(out[6], 0xEE);

    // A zero byte ends the data: only 0x05 is written (and protected).
    char l24[] = "24";
    char withZero[] = "\x05\x00\x06";
    EXPECT_EQ(gMemS4428_GuardbitWData(h, l24, withZero, msg), 0);
    EXPECT_EQ(gMemS4428_GuardbitRData(h, l24, 2, reinterpret_cast<char*>(out), msg), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "\x05\xFF\x02");

    // Protected bytes refuse a change.
    char changed[] = "\x09";
    EXPECT_EQ(gMemS4428_GuardbitWData(h, l, changed, msg), 32);

    // A long read delivers every byte, zero bytes included.
    ASSERT_EQ(WriteMemory("01", "00", std::string("\xA0\x00\x00\xA3", 4)), 0);
    char h1[] = "01", l0[] = "00";
    EXPECT_EQ(gMemS4428_GuardbitRData(h1, l0, 4, reinterpret_cast<char*>(out), msg), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 5), std::string("\xA0\x00\x00\xA3\x0F", 5));
}

TEST_F(MemoryIntegrationTest, At88scCodeEraseAndPersonalise) {
    SimulatedReader reader(kSessionCom, WithCard("AT88SC102A"));
    Open(reader);
    SelectAndPowerOn("5452");

    char h[] = "00", codeAddr[] = "0A", l10[] = "10", l04[] = "04";
    char wrong[] = "1234", code[] = "FFFF";
    EXPECT_EQ(gMemAT88SC_EraseData(h, l10, 4, msg), 31);
    EXPECT_STREQ(msg, text::kStatus31);
    EXPECT_EQ(gMemAT88SC_VerifyPin(h, codeAddr, wrong, msg), 31);
    EXPECT_EQ(gMemAT88SC_VerifyPin(h, codeAddr, code, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);

    ASSERT_EQ(WriteMemory("00", "10", "\x12\x34\x56\x78"), 0);
    EXPECT_EQ(gMemAT88SC_EraseData(h, l10, 2, msg), 0);
    EXPECT_EQ(ReadMemory("00", "10", 4), "\xFF\xFF\x56\x78");

    // Personalising at 10 makes everything below it read-only.
    EXPECT_EQ(gMemAT88SC_PersonalTake(h, l10, msg), 0);
    EXPECT_EQ(gMemAT88SC_EraseData(h, l04, 2, msg), 32);
    EXPECT_STREQ(msg, text::kStatus32);
    EXPECT_EQ(gMemAT88SC_EraseData(h, l10, 2, msg), 0);

    PowerCycle();
    EXPECT_EQ(gMemAT88SC_PersonalTake(h, l10, msg), 31);  // verification ends at power-off
}

TEST_F(MemoryIntegrationTest, At24RoundTripOnASecondPortBesideASession) {
    SimulatedReader sessionReader(kSessionCom, WithCard("S4442"));
    SimulatedReader at24(62, WithCard("AT24C02"));
    ASSERT_TRUE(at24.started());
    Open(sessionReader);

    char h[] = "00", l[] = "10";
    char data[] = "\x41\x42\x43\x00\x44";
    EXPECT_EQ(gAppMemAT24_WriteData(at24.com(), 10, h, l, data, 3, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    EXPECT_EQ(g_nPortClosed, 0);

    unsigned char out[160];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(gAppMemAT24_ReadData(at24.com(), 10, h, l, 4, reinterpret_cast<char*>(out), 3, msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 5), std::string("\x41\x42\x43\xFF\x00", 5));
    EXPECT_EQ(out[5], 0xEE);
    unsigned deviceNo = 0;
    bool powered = true;
    at24.server().WithReader([&](qd500sim::Reader& r) {
        deviceNo = r.device_number();
        powered = r.powered();
    });
    EXPECT_EQ(deviceNo, 10u);
    EXPECT_FALSE(powered);

    // A read of more than 128 bytes is cut to what bpData holds.
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(gAppMemAT24_ReadData(at24.com(), 10, h, l, 200, reinterpret_cast<char*>(out), 3, msg), 0);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[128], 0);
    EXPECT_EQ(out[129], 0xEE);

    // The session worked throughout; a failed call then blocks it.
    char psc[] = "FFFFFF";
    SelectAndPowerOn("5442");
    EXPECT_EQ(gMemS44_VerifyPin(psc, msg), 0);
    at24.server().Remove();
    EXPECT_EQ(gAppMemAT24_ReadData(at24.com(), 10, h, l, 4, reinterpret_cast<char*>(out), 3, msg), 21);
    EXPECT_STREQ(msg, text::kStatus21);
    EXPECT_EQ(g_nPortClosed, 1);
    EXPECT_EQ(gMemS44_VerifyPin(psc, msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);

    // The session's own port cannot be taken by a one-shot call; the failed
    // open lifts the refusal, and the session carries on.
    EXPECT_EQ(gAppMemAT24_ReadData(sessionReader.com(), 10, h, l, 4, reinterpret_cast<char*>(out), 3, msg), -1);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_EQ(gMemS44_VerifyPin(psc, msg), 0);

    // Refused again after another failure, until gOpenComIC.
    EXPECT_EQ(gAppMemAT24_WriteData(at24.com(), 10, h, l, data, 3, msg), 21);
    EXPECT_EQ(g_nPortClosed, 1);
    EXPECT_EQ(gMemS44_VerifyPin(psc, msg), -1);
    ASSERT_EQ(gOpenComIC(sessionReader.com(), msg), 0);
    SelectAndPowerOn("5442");
    EXPECT_EQ(gMemS44_VerifyPin(psc, msg), 0);
}

}  // namespace
