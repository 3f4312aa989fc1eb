// The card-type table: the select bodies of its names, and rows whose
// fields agree with each other.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "cards/CardTypes.h"

using namespace qd500;

namespace {

TEST(CardTypeTable, NamesGiveTheirSelectBodies) {
    const char* rows[][2] = {{"CPU", "5488"},        {"S4418", "5418"},      {"S4428", "5428"},
                             {"S4432", "5432"},      {"S4442", "5442"},      {"AT24C01", "5401"},
                             {"AT24C02", "5402"},    {"AT24C04", "5403"},    {"AT24C08", "5404"},
                             {"AT24C16", "5405"},    {"AT24C32", "5406"},    {"AT24C64", "5407"},
                             {"AT24C65", "5408"},    {"AT88SC101A", "5451"}, {"AT88SC102A", "5452"},
                             {"AT88SC103A", "5453"}, {"AT88SC1604A", "5454"}};
    for (auto& row : rows) {
        char code[5] = {};
        CardTypeCode(code, row[0]);
        EXPECT_STREQ(code, row[1]) << row[0];
    }
    char code[5] = "KEEP";
    CardTypeCode(code, "cpu");
    EXPECT_STREQ(code, "KEEP");
    CardTypeCode(code, "CPU ");
    EXPECT_STREQ(code, "KEEP");
}

TEST(CardTypeTable, EveryRowIsFoundByItsNameAndItsByteAndAgreesWithItself) {
    std::set<int> bytes;
    for (int i = 0; i < CardTypeCount(); ++i) {
        const CardType& t = CardTypes()[i];
        SCOPED_TRACE(t.name);
        EXPECT_TRUE(bytes.insert(t.code).second);
        EXPECT_EQ(FindCardType(t.code), &t);
        std::string lower = t.name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(FindCardType(lower.c_str(), true), &t);
        // What a type takes follows from its memory, code and family.
        EXPECT_EQ(t.Has(kMemory), t.size > 0);
        EXPECT_EQ(t.Has(kApdu), t.family == CardType::Cpu);
        EXPECT_EQ(t.Has(kPresentCode), t.codeLength > 0);
        EXPECT_EQ(t.codeTries > 0, t.codeLength > 0);
        EXPECT_EQ(t.Has(kProtect) || t.Has(kReadProtection), t.protectedBytes > 0);
        EXPECT_LE(t.protectedBytes, t.size);
        EXPECT_EQ(t.Has(kAt24Sequence), t.family == CardType::At24);
        EXPECT_EQ(t.Has(kAt88Verify | kAt88Erase | kAt88Personalise), t.family == CardType::At88sc);
        if (t.Has(kChangeCode)) {
            EXPECT_TRUE(t.Has(kPresentCode));
        }
    }
}

}  // namespace
