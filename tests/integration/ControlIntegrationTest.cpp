// Reader control and CPU-card commands of the real library over a
// pseudo-terminal, against the reader simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using namespace qd500;
using namespace qd500::test;

namespace {

constexpr int kCom = 47;

class ControlIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        reader = std::make_unique<SimulatedReader>(kCom);
        ASSERT_TRUE(reader->started());
        ASSERT_EQ(gOpenComIC(kCom, msg), 0) << msg;
        gSetTimeOutIC(3);
    }
    void TearDown() override {
        char ignored[64];
        gCloseComIC(ignored);
        gSetTimeOutIC(10);
        reader.reset();
    }
    void PowerOnCpu() {
        ASSERT_EQ(gSetCardType("CPU", msg), 0) << msg;
        ASSERT_EQ(gCardPowerOn(atr, msg), 0) << msg;
    }

    ScopedTraceFile trace;
    std::unique_ptr<SimulatedReader> reader;
    char msg[64] = {};
    char atr[600] = {};
    char sw[16] = {};
    char resp[600] = {};
};

TEST_F(ControlIntegrationTest, CardTypePowerAndTheReaderItself) {
    EXPECT_EQ(gSetCardType("CPU", msg), 0);
    EXPECT_STREQ(msg, text::kStatus00);
    EXPECT_EQ(gCardPowerOn(atr, msg), 0);
    EXPECT_GE(std::strlen(atr), 4u);
    EXPECT_EQ(std::strncmp(atr, "3B", 2) == 0 || std::strncmp(atr, "3F", 2) == 0, true) << atr;

    char s1[3], s2[3], s3[3];
    EXPECT_EQ(gGetDeviceStatus(s1, s2, s3, msg), 0);
    EXPECT_EQ(std::strlen(s1) + std::strlen(s2) + std::strlen(s3), 6u);

    // 0..9 read the same whether the reader takes the digits as decimal or hex.
    EXPECT_EQ(gSetDeviceNo(7, msg), 0);
    unsigned number = 0;
    reader->server().WithReader([&](qd500sim::Reader& r) { number = r.device_number(); });
    EXPECT_EQ(number, 7u);

    char version[129];
    EXPECT_EQ(gGetDeviceVersion(version, msg), 0);
    EXPECT_STREQ(version, qd500sim::Scenario::Default().version.c_str());

    EXPECT_EQ(gCardPowerDown(msg), 0);
    bool powered = true;
    reader->server().WithReader([&](qd500sim::Reader& r) { powered = r.powered(); });
    EXPECT_FALSE(powered);

    EXPECT_EQ(gOutCard(msg), 0);
    EXPECT_EQ(gCardPowerOn(atr, msg), 21);
    EXPECT_STREQ(msg, text::kStatus21);
}

TEST_F(ControlIntegrationTest, ApduExchangeWithItsGetResponse) {
    PowerOnCpu();
    EXPECT_EQ(gGetChallenge(sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(std::strlen(resp), 8u);

    // SELECT answers 61xx; the exchange fetches the FCI itself.
    EXPECT_EQ(gSelectFile("3F00", sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(std::string(resp).substr(0, 2), "6F");
    EXPECT_NE(std::string(resp).find("31504159"), std::string::npos);

    ASSERT_EQ(gSelectFile("1001", sw, resp, msg), 0);
    ASSERT_EQ(gSelectFile("0001", sw, resp, msg), 0);
    // Le past the end: 6C04 and the exact answer through GET RESPONSE.
    char apdu[32] =
        "00\0B0\0"
        "00\0"
        "3C\0"
        "08";
    EXPECT_EQ(gCPUCommand(apdu, sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_STREQ(resp, "3C3D3E3F");

    EXPECT_EQ(gSelectFile("7777", sw, resp, msg), 0);
    EXPECT_STREQ(sw, "6A82");
}

TEST_F(ControlIntegrationTest, PinVerificationByTheReader) {
    PowerOnCpu();
    EXPECT_EQ(gCheck_Pin("123456", "03", "01", msg), 0) << msg;
    EXPECT_EQ(gCheck_Pin("654321", "03", "01", msg), 31);
    EXPECT_STREQ(msg, text::kStatus31);
}

TEST_F(ControlIntegrationTest, PersonaliseAFileSystemAndReadItBack) {
    PowerOnCpu();
    EXPECT_EQ(MW_CPUDeleteMF(sw, resp, msg), 1);
    EXPECT_EQ(MW_CPUDeleteMF(sw, resp, msg), 1) << "6A81: nothing left to erase";
    EXPECT_STREQ(sw, "6A81");

    EXPECT_EQ(MW_CPUCreateMF(sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUWriteKey(sw, resp, msg, "0103112233"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUCreateEndMF(sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");

    EXPECT_EQ(MW_CPUCreateDF(sw, resp, msg,
                             "2001"
                             "4150503031"),
              0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUWriteKey(sw, resp, msg, "0303445566"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUCreateFile(sw, resp, msg,
                               "0005"
                               "01"
                               "0010"
                               "00"
                               "00"),
              0);
    EXPECT_STREQ(sw, "9000");
    const std::string bin = "00112233445566778899AABBCCDDEEFF";
    EXPECT_EQ(MW_CPUWriteBin(sw, resp, msg, bin.c_str()), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUCreateFile(sw, resp, msg,
                               "0006"
                               "02"
                               "0004"
                               "08"
                               "00"),
              0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUAppendRecord(sw, resp, msg, "0102030405060708"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUAppendRecord(sw, resp, msg, "1112131415161718"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(MW_CPUCreateEndDF(sw, resp, msg, "2001"), 0);
    EXPECT_STREQ(sw, "9000");

    // A fresh power cycle, then select everything back.
    ASSERT_EQ(gCardPowerDown(msg), 0);
    ASSERT_EQ(gCardPowerOn(atr, msg), 0);
    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "3F00"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_NE(std::string(resp).find("315041592E5359532E4444463031"), std::string::npos) << resp;
    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "2001"), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_NE(std::string(resp).find("4150503031"), std::string::npos) << resp;

    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "0005"), 0);
    EXPECT_STREQ(sw, "9000");
    char readBin[32] =
        "00\0B0\0"
        "00\0"
        "00\0"
        "10";
    EXPECT_EQ(gCPUCommand(readBin, sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_EQ(resp, bin);

    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "0006"), 0);
    EXPECT_STREQ(sw, "9000");
    char readRecord[32] =
        "00\0B2\0"
        "02\0"
        "04\0"
        "08";
    EXPECT_EQ(gCPUCommand(readRecord, sw, resp, msg), 0);
    EXPECT_STREQ(sw, "9000");
    EXPECT_STREQ(resp, "1112131415161718");

    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "0015"), 0);
    EXPECT_STREQ(sw, "6A82") << "the old files are gone";
}

}  // namespace
