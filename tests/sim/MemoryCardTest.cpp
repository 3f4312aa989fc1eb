// Memory-card models, driven through the contact unit's frames.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;

namespace {

Reader Powered(const std::string& type, const std::string& json_card = "") {
    Scenario s = WithCard(type);
    if (!json_card.empty()) {
        std::string error;
        auto parsed = Scenario::FromJson("{\"card\":" + json_card + "}", &error);
        EXPECT_TRUE(parsed) << error;
        if (parsed) s = *parsed;
    }
    Reader r(s);
    EXPECT_EQ(Send(r, "55").status, "00");
    return r;
}

}  // namespace

TEST(Sle4442, PscCounterCountsDownLocksAndResetsOnSuccess) {
    Reader r = Powered("S4442", R"({"type":"S4442","psc":"123456"})");
    EXPECT_EQ(Send(r,
                   "570040"
                   "01"
                   "AA")
                  .status,
              "31")
        << "write before the PSC";
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "000000")
                  .status,
              "31");
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "000000")
                  .status,
              "31");
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "123456")
                  .status,
              "00")
        << "two misses leave one try";
    EXPECT_EQ(static_cast<SleCard*>(r.card())->error_counter(), 3);
    EXPECT_EQ(Send(r,
                   "570040"
                   "02"
                   "AABB")
                  .status,
              "00");
    EXPECT_EQ(Send(r, "52004002").data, "AABB");

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Send(r,
                       "560000"
                       "03"
                       "FFFFFF")
                      .status,
                  "31")
            << i;
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "123456")
                  .status,
              "33")
        << "counter spent";
    EXPECT_EQ(Send(r,
                   "570040"
                   "01"
                   "CC")
                  .status,
              "33");
    EXPECT_EQ(Send(r,
                   "560000"
                   "02"
                   "1234")
                  .status,
              "14")
        << "a PSC is three bytes";
}

TEST(Sle4442, VerificationEndsAtPowerOffAndPinChangeNeedsIt) {
    Reader r = Powered("S4442");
    EXPECT_EQ(Send(r,
                   "530000"
                   "03"
                   "010203")
                  .status,
              "31");
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "FFFFFF")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "530000"
                   "03"
                   "010203")
                  .status,
              "00");
    EXPECT_EQ(Send(r, "44").status, "00");
    EXPECT_EQ(Send(r, "55").status, "00");
    EXPECT_EQ(Send(r,
                   "570050"
                   "01"
                   "11")
                  .status,
              "31")
        << "power-off ended the verification";
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "FFFFFF")
                  .status,
              "31")
        << "the old PSC is gone";
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "010203")
                  .status,
              "00");
}

TEST(Sle4442, ProtectionBitsGuardBytes0To31) {
    Reader r = Powered("S4442");
    // Factory state: bytes 0-3 hold the ATR and are protected.
    EXPECT_EQ(Send(r,
                   "5000"
                   "00"
                   "04")
                  .data,
              "F0FFFFFF");
    EXPECT_EQ(Send(r, "52000004").data, "A2131091");
    EXPECT_EQ(Send(r,
                   "5000"
                   "02"
                   "03")
                  .status,
              "14")
        << "only four protection bytes";
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "FFFFFF")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "570000"
                   "01"
                   "00")
                  .status,
              "32")
        << "protected byte can't change";
    EXPECT_EQ(Send(r,
                   "570002"
                   "01"
                   "10")
                  .status,
              "00")
        << "rewriting its own value is harmless";
    EXPECT_EQ(Send(r,
                   "570010"
                   "02"
                   "5566")
                  .status,
              "00");
    // Compare-write protects bytes whose data matches, and refuses a mismatch whole.
    EXPECT_EQ(Send(r,
                   "760010"
                   "02"
                   "5567")
                  .status,
              "32");
    EXPECT_EQ(Send(r,
                   "5000"
                   "00"
                   "04")
                  .data,
              "F0FFFFFF");
    EXPECT_EQ(Send(r,
                   "760010"
                   "02"
                   "5566")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "5000"
                   "02"
                   "01")
                  .data,
              "FC");
    EXPECT_EQ(Send(r,
                   "570010"
                   "01"
                   "00")
                  .status,
              "32");
    EXPECT_EQ(Send(r,
                   "760020"
                   "01"
                   "FF")
                  .status,
              "14")
        << "no protection bits past byte 31";
    EXPECT_EQ(Send(r,
                   "570100"
                   "01"
                   "00")
                  .status,
              "14")
        << "256-byte card";
    EXPECT_EQ(Send(r,
                   "7200"
                   "00"
                   "04")
                  .status,
              "24")
        << "SLE4428 command";
}

TEST(Sle4428, ReadWithProtectionAndWriteProtect) {
    Reader r = Powered("S4428");
    EXPECT_EQ(Send(r,
                   "560000"
                   "02"
                   "FFFF")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "770300"
                   "02"
                   "1234")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "570302"
                   "01"
                   "56")
                  .status,
              "00");
    // Ten data bytes then two protection bytes; bits 0 and 1 (bytes 300, 301) now clear.
    Reply rp = Send(r,
                    "72030"
                    "00A");
    EXPECT_EQ(rp.data,
              "123456FFFFFFFFFFFFFF"
              "FC03");
    EXPECT_EQ(Send(r,
                   "570300"
                   "01"
                   "99")
                  .status,
              "32");
    EXPECT_EQ(Send(r, "5203FF01").status, "00") << "last byte of 1024";
    EXPECT_EQ(Send(r, "52040001").status, "14");
    EXPECT_EQ(Send(r,
                   "5000"
                   "00"
                   "04")
                  .status,
              "24")
        << "SLE4442 command";
}

TEST(Sle4428, EightTriesOfATwoBytePsc) {
    Reader r = Powered("S4428", R"({"type":"S4428","psc":"4321","error_counter":8})");
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Send(r,
                       "560000"
                       "02"
                       "0000")
                      .status,
                  "31");
    EXPECT_EQ(Send(r,
                   "560000"
                   "02"
                   "4321")
                  .status,
              "00");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Send(r,
                       "560000"
                       "02"
                       "0000")
                      .status,
                  "31");
    EXPECT_EQ(Send(r,
                   "560000"
                   "02"
                   "4321")
                  .status,
              "33");
}

TEST(Sle44NoPsc, SameMemoriesWithoutPsc) {
    Reader r32 = Powered("S4432");
    EXPECT_EQ(Send(r32,
                   "570040"
                   "01"
                   "42")
                  .status,
              "00")
        << "no PSC to present";
    EXPECT_EQ(Send(r32,
                   "560000"
                   "03"
                   "FFFFFF")
                  .status,
              "24");
    EXPECT_EQ(Send(r32,
                   "5000"
                   "00"
                   "04")
                  .data,
              "F0FFFFFF");
    Reader r18 = Powered("S4418");
    EXPECT_EQ(Send(r18,
                   "7703FE"
                   "02"
                   "ABCD")
                  .status,
              "00");
    EXPECT_EQ(Send(r18, "7203FE02").data,
              "ABCD"
              "00");
    EXPECT_EQ(Send(r18,
                   "530000"
                   "02"
                   "0000")
                  .status,
              "24");
}

TEST(At24, SizesAndEndOfMemory) {
    struct Case {
        const char* type;
        unsigned size;
    };
    for (Case c : {Case{"AT24C01", 128}, Case{"AT24C02", 256}, Case{"AT24C16", 2048}, Case{"AT24C64", 8192}}) {
        Reader r = Powered(c.type);
        char last[16], past[16];
        snprintf(last, sizeof last, "52%04X01", c.size - 1);
        snprintf(past, sizeof past, "52%04X02", c.size - 1);
        EXPECT_EQ(Send(r, last).status, "00") << c.type;
        EXPECT_EQ(Send(r, past).status, "14") << c.type;
    }
}

TEST(At24, ReaderWriteCrossesPagesChipWriteWraps) {
    Reader r = Powered("AT24C02");  // 8-byte pages
    EXPECT_EQ(Send(r,
                   "570006"
                   "04"
                   "01020304")
                  .status,
              "00");
    EXPECT_EQ(Send(r, "52000010").data,
              "FFFFFFFFFFFF0102"
              "0304FFFFFFFFFFFF");
    At24Card chip(*FindCardType("AT24C02"));
    chip.ChipPageWrite(6, {1, 2, 3, 4});
    EXPECT_EQ(chip.memory()[6], 1);
    EXPECT_EQ(chip.memory()[0], 3) << "the chip wraps inside its page";
    EXPECT_EQ(chip.memory()[8], 0xFF);
}

TEST(At24, AnyAt24SelectionFitsOthersDoNot) {
    Reader r(WithCard("AT24C02"));
    EXPECT_EQ(Send(r, "5405").status, "00") << "one-shot calls always select AT24C16";
    EXPECT_EQ(Send(r, "55").status, "00");
    EXPECT_EQ(Send(r, "52000001").status, "00");
    EXPECT_EQ(Send(r, "5442").status, "24");
    EXPECT_EQ(Send(r, "52000001").status, "24");
}

TEST(At88sc, CodeAttemptsEraseAndPersonalisation) {
    Reader r = Powered("AT88SC102A", R"({"type":"AT88SC102A","psc":"F0F0"})");
    EXPECT_EQ(Send(r,
                   "570020"
                   "01"
                   "12")
                  .status,
              "31");
    EXPECT_EQ(Send(r, "45002002").status, "31");
    EXPECT_EQ(Send(r,
                   "56000B"
                   "02"
                   "F0F0")
                  .status,
              "14")
        << "the code lives at 0A";
    EXPECT_EQ(Send(r,
                   "56000A"
                   "02"
                   "0000")
                  .status,
              "31");
    EXPECT_EQ(Send(r,
                   "56000A"
                   "02"
                   "F0F0")
                  .status,
              "00");
    EXPECT_EQ(Send(r,
                   "570020"
                   "02"
                   "1234")
                  .status,
              "00");
    EXPECT_EQ(Send(r, "45002101").status, "00");
    EXPECT_EQ(Send(r, "52002002").data, "12FF");
    EXPECT_EQ(Send(r, "460030").status, "00");
    EXPECT_EQ(Send(r,
                   "570020"
                   "01"
                   "00")
                  .status,
              "32")
        << "below the fuse: read-only";
    EXPECT_EQ(Send(r,
                   "570030"
                   "01"
                   "00")
                  .status,
              "00");
    EXPECT_EQ(Send(r, "46").status, "14");

    Reader locked = Powered("AT88SC1604A");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Send(locked,
                       "56000A"
                       "02"
                       "0000")
                      .status,
                  "31");
    EXPECT_EQ(Send(locked,
                   "56000A"
                   "02"
                   "FFFF")
                  .status,
              "33");
    EXPECT_EQ(Send(locked,
                   "570100"
                   "01"
                   "00")
                  .status,
              "33");
}
