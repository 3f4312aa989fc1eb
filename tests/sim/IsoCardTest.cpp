// A CPU card whose file system comes from the scenario (pkcs15.json), the
// T=1-only card, and the answer no reply frame carries.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;

namespace {

Scenario Load(const std::string& json) {
    std::string error;
    auto s = json.empty() ? Scenario::FromFile(std::string(QD500_SIM_DATA_DIR) + "/pkcs15.json", &error)
                          : Scenario::FromJson(json, &error);
    EXPECT_TRUE(s) << error;
    return s ? *s : Scenario::Default();
}

// The 300-byte EF 3F00/5015/4E01 of pkcs15.json: byte i is i * 7 + 3.
std::string BigFile(size_t from, size_t to) {
    std::string hex;
    char b[3];
    for (size_t i = from; i < to; ++i) {
        snprintf(b, sizeof b, "%02X", static_cast<unsigned>((i * 7 + 3) & 0xFF));
        hex += b;
    }
    return hex;
}

class IsoCardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Send(reader, "55").status, "00"); }
    // A command answered 61xx, then GET RESPONSE for the announced length.
    Apdu Fetch(const std::string& apdu) {
        Apdu a = SendApdu(reader, apdu);
        if (a.sw.substr(0, 2) != "61") return a;
        return SendApdu(reader, "00C00000" + a.sw.substr(2));
    }
    Reader reader{Load("")};
};

}  // namespace

TEST_F(IsoCardTest, SelectByPathNameIdentifierWithAndWithoutAnswer) {
    Apdu none = SendApdu(reader, "00A4080C0450154E01");
    EXPECT_EQ(none.sw, "9000");
    EXPECT_EQ(none.data, "") << "P2 0C answers no data";
    EXPECT_EQ(SendApdu(reader, "00B0000004").data, BigFile(0, 4)) << "the path's EF is current";

    Apdu byName = Fetch("00A4040C0CA000000063504B43532D3135");
    EXPECT_EQ(byName.sw, "9000");
    Apdu fci = Fetch("00A404000CA000000063504B43532D3135");
    EXPECT_EQ(fci.data.substr(0, 2), "6F");
    EXPECT_NE(fci.data.find("83025015"), std::string::npos);
    EXPECT_NE(fci.data.find("840CA000000063504B43532D3135"), std::string::npos);

    Apdu fcp = Fetch("00A40904024E01");
    EXPECT_EQ(fcp.data.substr(0, 2), "62") << "P2 04: FCP";
    EXPECT_NE(fcp.data.find("8002012C"), std::string::npos) << "the EF's size";
    EXPECT_EQ(Fetch("00A4090C025032").sw, "9000") << "P1 09: from the current DF";
    EXPECT_EQ(Fetch("00A4020C025031").sw, "9000");
    EXPECT_EQ(Fetch("00A4010C025031").sw, "6A82") << "P1 01 names a DF";
    EXPECT_EQ(Fetch("00A4030C00").sw, "9000") << "parent of 5015";
    EXPECT_EQ(Fetch("00A4020C022F00").sw, "9000") << "now in the MF";
    EXPECT_EQ(Fetch("00A4080C063F0050155032").sw, "9000") << "a path may start at 3F00";
    EXPECT_EQ(Fetch("00A4080C0350154E").sw, "6700");
    EXPECT_EQ(Fetch("00A4080C0650154E015031").sw, "6A82") << "no path through an EF";
    EXPECT_EQ(Fetch("00A4080C0450157777").sw, "6A82");
    EXPECT_EQ(Fetch("00A4000800").sw, "6A86");
    EXPECT_EQ(Fetch("00A4040C04A0000001").sw, "6A82");
}

TEST_F(IsoCardTest, LongFileReadInPiecesAndUpdatedAtOffsets) {
    ASSERT_EQ(Fetch("00A4080C0450154E01").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00B0000000").sw, "6CFB") << "256 bytes fit no reply frame";
    Apdu first = SendApdu(reader, "00B00000FB");
    ASSERT_EQ(first.sw, "9000");
    Apdu rest = SendApdu(reader, "00B000FB00");
    ASSERT_EQ(rest.sw, "9000");
    EXPECT_EQ(first.data + rest.data, BigFile(0, 300));
    EXPECT_EQ(SendApdu(reader, "00B0012C01").sw, "6B00");

    EXPECT_EQ(SendApdu(reader, "00D6012A02CAFE").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00B0012802").data, BigFile(296, 298));
    EXPECT_EQ(SendApdu(reader, "00B0012A02").data, "CAFE");
    EXPECT_EQ(SendApdu(reader, "00D6012B02CAFE").sw, "6700") << "past the end";
    // P1 bit 8: the EF of short identifier 11 (5031, the ODF), offset P2.
    Apdu odf = SendApdu(reader, "00B0910202");
    EXPECT_EQ(odf.data, "3008");
    EXPECT_EQ(SendApdu(reader, "00D6810102BEEF").sw, "9000") << "SFI 01: the first EF ending in 01, 4401";
    EXPECT_EQ(SendApdu(reader, "00B0000003").data, "30BEEF") << "the SFI's EF became current";
}

TEST_F(IsoCardTest, VerifyCountsTriesAndAnswersItsState) {
    ASSERT_EQ(Fetch("00A4080C0450154E02").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00D600000101").sw, "6982");
    EXPECT_EQ(SendApdu(reader, "0020008100").sw, "63C3") << "no data: tries left";
    EXPECT_EQ(SendApdu(reader, "002000810439393939").sw, "63C2");
    EXPECT_EQ(SendApdu(reader, "0020008100").sw, "63C2");
    EXPECT_EQ(SendApdu(reader, "002000810431323334").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "0020008100").sw, "9000") << "no data: verified";
    EXPECT_EQ(SendApdu(reader, "00D600000101").sw, "9000");
    for (const char* sw : {"63C2", "63C1", "63C0"}) EXPECT_EQ(SendApdu(reader, "002000810439393939").sw, sw);
    EXPECT_EQ(SendApdu(reader, "0020008100").sw, "6983");
    EXPECT_EQ(SendApdu(reader, "002000810431323334").sw, "6983") << "blocked";
    ASSERT_EQ(Send(reader, "44").status, "00");
    ASSERT_EQ(Send(reader, "55").status, "00");
    ASSERT_EQ(Fetch("00A4080C025015").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "0020008100").sw, "6983") << "blocked past power-off";
}

TEST(IsoCardT1, AtrOffersOnlyT1AndAnswersComeWhole) {
    Reader reader{Load(R"({"card": {"type": "CPU", "protocol": "T=1"}})")};
    Reply atr = Send(reader, "55");
    ASSERT_EQ(atr.status, "00");
    std::vector<unsigned> b;
    for (size_t i = 0; i + 1 < atr.data.size(); i += 2) b.push_back(std::stoul(atr.data.substr(i, 2), nullptr, 16));
    ASSERT_GE(b.size(), 4u);
    EXPECT_EQ(b[0], 0x3Bu);
    // Walk T0 and the TD bytes: every protocol named must be T=1.
    size_t i = 1;
    unsigned y = b[1] >> 4, historical = b[1] & 0x0F;
    std::vector<unsigned> protocols;
    while (true) {
        i += 1 + __builtin_popcount(y & 0x7);  // TA TB TC present
        if (!(y & 0x8)) break;
        ASSERT_LT(i, b.size());
        protocols.push_back(b[i] & 0x0F);
        y = b[i] >> 4;
    }
    EXPECT_EQ(protocols, std::vector<unsigned>{1u});
    ASSERT_EQ(b.size(), i + historical + 1) << "TCK after the historical bytes";
    unsigned x = 0;
    for (size_t k = 1; k < b.size(); ++k) x ^= b[k];
    EXPECT_EQ(x, 0u) << "TCK: T0 to TCK XOR to 0";

    Apdu sel = SendApdu(reader, "00A40000023F0000");
    EXPECT_EQ(sel.sw, "9000") << "a case-4 answer whole, no 61xx";
    EXPECT_EQ(sel.data.substr(0, 2), "6F");
    EXPECT_EQ(SendApdu(reader, "00C0000000").sw, "6985") << "nothing kept for GET RESPONSE";
}

TEST(IsoCardT1, ScenarioFilesOnT1AndTheFrameLimit) {
    Reader reader{Load(R"({"card": {"type": "CPU", "protocol": "T=1", "files": {"fid": "3F00", "children": [
        {"fid": "0101", "data": ")" +
                       std::string(600, 'A') + R"("}]}}})")};
    ASSERT_EQ(Send(reader, "55").status, "00");
    Apdu fcp = SendApdu(reader, "00A4080402010100");
    EXPECT_EQ(fcp.sw, "9000");
    EXPECT_EQ(fcp.data.substr(0, 2), "62");
    EXPECT_EQ(SendApdu(reader, "00B0000000").sw, "6CFB") << "the same status word on T=1";
    EXPECT_EQ(SendApdu(reader, "00B00000FB").data, std::string(502, 'A'));
}
