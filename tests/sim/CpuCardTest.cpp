// The CPU card's file system and commands, through command 5A.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;

namespace {

class CpuCardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Send(reader, "55").status, "00"); }
    // SELECT then GET RESPONSE for the announced length, as the host chains them.
    Apdu Select(const std::string& fid) {
        Apdu a = SendApdu(reader, "00A4000002" + fid);
        if (a.sw.substr(0, 2) != "61") return a;
        return SendApdu(reader, "00C00000" + a.sw.substr(2));
    }
    Reader reader{Scenario::Default()};
};

}  // namespace

TEST_F(CpuCardTest, SelectAnswers61WithFciForGetResponse) {
    Apdu sel = SendApdu(reader, "00A40000023F00");
    ASSERT_EQ(sel.sw.substr(0, 2), "61");
    Apdu wrong = SendApdu(reader, "00C0000002");
    EXPECT_EQ(wrong.sw, "6C" + sel.sw.substr(2)) << "wrong Le names the exact length";
    Apdu fci = SendApdu(reader, "00C00000" + sel.sw.substr(2));
    EXPECT_EQ(fci.sw, "9000");
    EXPECT_EQ(fci.data.substr(0, 2), "6F");
    EXPECT_NE(fci.data.find("83023F00"), std::string::npos);
    EXPECT_NE(fci.data.find("31504159"), std::string::npos) << "DF name 1PAY...";
    EXPECT_EQ(SendApdu(reader, "00C0000000").sw, "6985") << "nothing left to fetch";
    EXPECT_EQ(Select("1001").sw, "9000");
    EXPECT_EQ(Select("0018").sw, "9000") << "EF in the current DF";
    EXPECT_EQ(Select("0015").sw, "9000") << "EF of the MF seen from a DF";
    EXPECT_EQ(SendApdu(reader, "00A40000027777").sw, "6A82");
}

TEST_F(CpuCardTest, BinaryReadUpdateAndWrongLe) {
    ASSERT_EQ(Select("1001").sw, "9000");
    ASSERT_EQ(Select("0001").sw, "9000");
    Apdu r = SendApdu(reader, "00B0003C04");
    EXPECT_EQ(r.data, "3C3D3E3F");
    EXPECT_EQ(SendApdu(reader, "00B0003C08").sw, "6C04") << "Le past the end";
    Apdu chained = SendApdu(reader, "00C0000004");
    EXPECT_EQ(chained.sw, "9000") << "the host follows 6Cxx with GET RESPONSE";
    EXPECT_EQ(chained.data, "3C3D3E3F");
    EXPECT_EQ(SendApdu(reader, "00B0004001").sw, "6B00");
    EXPECT_EQ(SendApdu(reader, "00D6000202CAFE").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00B0000004").data, "0001CAFE");
    EXPECT_EQ(SendApdu(reader, "00D6003F02CAFE").sw, "6700") << "doesn't fit";
    EXPECT_EQ(SendApdu(reader, "00D6000003CAFE").sw, "6700") << "data shorter than Lc";
    EXPECT_EQ(SendApdu(reader, "00B2010400").sw, "6981") << "record read of a binary EF";
}

TEST_F(CpuCardTest, RecordsReadAppendAndFull) {
    ASSERT_EQ(Select("1001").sw, "9000");
    ASSERT_EQ(Select("0018").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00B2010400").data, "5245434F5244204F4E45");
    EXPECT_EQ(SendApdu(reader, "00B2020401").sw, "6C0A");
    EXPECT_EQ(SendApdu(reader, "00B2030400").sw, "6A83");
    for (int i = 3; i <= 10; ++i) EXPECT_EQ(SendApdu(reader, "00E2000002BEEF").sw, "9000") << i;
    EXPECT_EQ(SendApdu(reader, "00E2000002BEEF").sw, "6A84");
    EXPECT_EQ(SendApdu(reader, "00B20A0402").data, "BEEF");
}

TEST_F(CpuCardTest, VerifyCountsTriesAndGuardsUpdates) {
    ASSERT_EQ(Select("0016").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00D600000101").sw, "6982");
    EXPECT_EQ(SendApdu(reader, "0020000103000000").sw, "63C2");
    EXPECT_EQ(SendApdu(reader, "0020000103123456").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00D600000101").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "0020000903123456").sw, "6A88");
    for (const char* sw : {"63C2", "63C1", "63C0"}) EXPECT_EQ(SendApdu(reader, "0020000103999999").sw, sw);
    EXPECT_EQ(SendApdu(reader, "0020000103123456").sw, "6983");
    // The reader's own PIN command reaches the same keys.
    ASSERT_EQ(Select("1001").sw, "9000");
    EXPECT_EQ(Send(reader,
                   "560002"
                   "02"
                   "9999")
                  .status,
              "31");
    EXPECT_EQ(Send(reader,
                   "560002"
                   "02"
                   "1234")
                  .status,
              "00");
}

TEST_F(CpuCardTest, ChallengeIsFreshAndErrorsForUnknownCommands) {
    Apdu a = SendApdu(reader, "0084000004"), b = SendApdu(reader, "0084000004");
    EXPECT_EQ(a.sw, "9000");
    EXPECT_EQ(a.data.size(), 8u);
    EXPECT_NE(a.data, b.data);
    EXPECT_EQ(SendApdu(reader, "0084000000").sw, "6C08");
    EXPECT_EQ(SendApdu(reader, "00C0000008").data.size(), 16u);
    EXPECT_EQ(SendApdu(reader, "00FF000000").sw, "6D00");
    EXPECT_EQ(SendApdu(reader, "A0A40000023F00").sw, "6E00");
    EXPECT_EQ(SendApdu(reader, "8001000000").sw, "6D00");
    EXPECT_EQ(Send(reader, "5A00A400").status, "14") << "APDU shorter than its header";
}

TEST_F(CpuCardTest, EraseRebuildAndSelectAgain) {
    const std::string key = "5AC3E1079B2D46F8";
    EXPECT_EQ(SendApdu(reader,
                       "800E000008"
                       "0000000000000000")
                  .sw,
              "6982");
    EXPECT_EQ(SendApdu(reader, "800E000008" + key).sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00A40000023F00").sw, "6A82");
    EXPECT_EQ(SendApdu(reader, "800E000008" + key).sw, "6A81") << "nothing left";
    EXPECT_EQ(SendApdu(reader, "80E0000018" + key +
                                   "0F02"
                                   "315041592E5359532E4444463031")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader, "80E0000018" + key +
                                   "0F02"
                                   "315041592E5359532E4444463031")
                  .sw,
              "6A89");
    EXPECT_EQ(SendApdu(reader,
                       "80D4000005"
                       "0303"
                       "112233")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "80E0000102"
                       "3F00")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "80E0010007"
                       "2001"
                       "4150503031")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "80E0020007"
                       "0005"
                       "01"
                       "0010"
                       "00"
                       "00")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "00D6000004"
                       "01020304")
                  .sw,
              "9000")
        << "new EF is current";
    EXPECT_EQ(SendApdu(reader,
                       "80E0020007"
                       "0006"
                       "02"
                       "0004"
                       "08"
                       "03")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "00E2000002"
                       "AAAA")
                  .sw,
              "6982")
        << "update key 03 not verified";
    EXPECT_EQ(SendApdu(reader, "0020000303112233").sw, "9000");
    EXPECT_EQ(SendApdu(reader,
                       "00E2000002"
                       "AAAA")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "80E0010102"
                       "2001")
                  .sw,
              "9000");
    EXPECT_EQ(SendApdu(reader,
                       "80E0010102"
                       "2001")
                  .sw,
              "6A82")
        << "already back in the MF";

    ASSERT_EQ(Send(reader, "44").status, "00");
    ASSERT_EQ(Send(reader, "55").status, "00");
    EXPECT_EQ(Select("2001").sw, "9000");
    EXPECT_NE(Select("2001").data.find("4150503031"), std::string::npos);
    EXPECT_EQ(Select("0005").sw, "9000");
    EXPECT_EQ(SendApdu(reader, "00B0000004").data, "01020304");
    EXPECT_EQ(Select("0015").sw, "6A82") << "the old files are gone";
}
