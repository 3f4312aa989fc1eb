// ISO 9564-1 format 0 PIN blocks: the clear block, the account-number
// positions, round trips, the hex forms.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto/Des.h"
#include "crypto/Vectors.h"

using qd500::CDes;
using namespace qd500test;

namespace {

const unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
// Its characters 4..15 are all zero, so the clear block is the PIN field.
const char kZeroPan[] = "999000000000000999";

// The clear block behind an encrypted PIN block, by plain DES decryption.
std::string ClearBlock(const CDes& encrypted) {
    CDes des;
    des.Decrypt(encrypted.m_byResult, kKey);
    return des.m_szResultHex;
}

std::string Digits(std::mt19937& rng, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
}

TEST(PinBlockClear, PublishedExamples) {
    const auto rows = ReadTable("pinblock.tsv");
    ASSERT_EQ(rows.size(), 7u);
    int used = 0;
    for (const auto& row : rows) {
        const std::string& pin = row[0];
        const std::string& pan = row[1];
        // The fixed positions 4..15 are the twelve digits before the check
        // digit only for 16-digit account numbers; PINs over 6 digits are cut.
        if (pan.size() != 16 || pin.size() > 6) continue;
        SCOPED_TRACE(pin + " " + pan);
        CDes des;
        des.PinEncrypt(pin.c_str(), pan.c_str(), kKey);
        EXPECT_EQ(ClearBlock(des), row[4]);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(des.m_byData)), pin);
        ++used;
    }
    EXPECT_EQ(used, 4);
}

TEST(PinBlockClear, PinFieldOfFourFiveAndSixDigits) {
    CDes des;
    des.PinEncrypt("1234", kZeroPan, kKey);
    EXPECT_EQ(ClearBlock(des), "041234FFFFFFFFFF");
    des.PinEncrypt("123456", kZeroPan, kKey);
    EXPECT_EQ(ClearBlock(des), "06123456FFFFFFFF");
    // Odd length: the last digit in the high nibble, F beside it (the
    // published 5-digit example).
    des.PinEncrypt("92389", kZeroPan, kKey);
    EXPECT_EQ(ClearBlock(des), "0592389FFFFFFFFF");
    des.PinEncrypt("7", kZeroPan, kKey);
    EXPECT_EQ(ClearBlock(des), "017FFFFFFFFFFFFF");
    des.PinEncrypt("", kZeroPan, kKey);
    EXPECT_EQ(ClearBlock(des), "00FFFFFFFFFFFFFF");
}

// The published 5-digit example, its account number placed so that
// characters 4..15 are the digits the example packs.
TEST(PinBlockClear, AccountFieldXoredIn) {
    CDes des;
    des.PinEncrypt("92389", "0004000001234569", kKey);
    EXPECT_EQ(ClearBlock(des), "0592789FFFEDCBA9");
}

TEST(PinBlockClear, LongerPinCountsWithItsFirstSixDigits) {
    CDes six, eight;
    six.PinEncrypt("123456", "4987654321098765", kKey);
    eight.PinEncrypt("12345678", "4987654321098765", kKey);
    EXPECT_STREQ(eight.m_szResultHex, six.m_szResultHex);
    EXPECT_STREQ(reinterpret_cast<const char*>(eight.m_byData), "123456");
}

TEST(PinBlockAccountNumber, OnlyCharactersFourToFifteenCount) {
    std::mt19937 rng(11);
    for (int n = 0; n < 200; ++n) {
        const std::string pan = Digits(rng, 16);
        const std::string pin = Digits(rng, 4 + n % 3);
        CDes base;
        base.PinEncrypt(pin.c_str(), pan.c_str(), kKey);

        std::string other = pan;
        for (int i = 0; i < 3; ++i) other[i] = static_cast<char>('0' + rng() % 10);
        other[15] = static_cast<char>('0' + rng() % 10);
        other += Digits(rng, rng() % 5);
        CDes same;
        same.PinEncrypt(pin.c_str(), other.c_str(), kKey);
        EXPECT_STREQ(same.m_szResultHex, base.m_szResultHex) << pan << " vs " << other;

        // ... while each of those twelve does.
        std::string changed = pan;
        const size_t pos = 3 + rng() % 12;
        changed[pos] = static_cast<char>('0' + (changed[pos] - '0' + 1 + rng() % 9) % 10);
        CDes differs;
        differs.PinEncrypt(pin.c_str(), changed.c_str(), kKey);
        EXPECT_STRNE(differs.m_szResultHex, base.m_szResultHex) << pan << " vs " << changed;
    }
}

TEST(PinBlockAccountNumber, ShortTextReadsAsZeroDigitsAfterItsEnd) {
    // Exactly sized on the heap so that a read past the NUL is caught by the
    // sanitizer build.
    const std::string shortPan = "4000001234";
    char* text = new char[shortPan.size() + 1];
    std::memcpy(text, shortPan.c_str(), shortPan.size() + 1);
    CDes shortDes, padded;
    shortDes.PinEncrypt("1234", text, kKey);
    padded.PinEncrypt("1234", "400000123400000", kKey);
    EXPECT_STREQ(shortDes.m_szResultHex, padded.m_szResultHex);
    delete[] text;
}

TEST(PinBlockRoundTrip, DecryptGivesBackEveryLength) {
    std::mt19937 rng(5);
    for (int n = 0; n < 300; ++n) {
        const std::string pin = Digits(rng, n % 7);
        const std::string pan = Digits(rng, 16 + n % 3);
        unsigned char key[8];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        CDes des;
        des.PinEncrypt(pin.c_str(), pan.c_str(), key);
        unsigned char block[8];
        std::memcpy(block, des.m_byResult, 8);

        CDes back;
        back.PinDecrypt(block, pan.c_str(), key);
        SCOPED_TRACE(pin + " " + pan);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.m_byResult)), pin);
        EXPECT_EQ(std::string(back.m_szResultHex), Hex(reinterpret_cast<const unsigned char*>(pin.data()), pin.size()));
        EXPECT_EQ(Hex(back.m_byData, 8), Hex(block, 8));
        // Beyond the digits the result is zero.
        for (size_t i = pin.size(); i < 9; ++i) EXPECT_EQ(back.m_byResult[i], 0) << i;

        // The same through the hex forms.
        const std::string pinHex =
            Hex(reinterpret_cast<const unsigned char*>(pin.data()), pin.size()) + std::string(16 - 2 * pin.size(), '0');
        const std::string keyHex = Lower(Hex(key, 8));
        CDes hex;
        hex.PinEncryptHex(pinHex.c_str(), pan.c_str(), keyHex.c_str());
        EXPECT_STREQ(hex.m_szResultHex, des.m_szResultHex);
        hex.PinDecryptHex(Lower(des.m_szResultHex).c_str(), pan.c_str(), keyHex.c_str());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(hex.m_byResult)), pin);
    }
}

TEST(PinBlockRoundTrip, DecryptUnpacksWhateverLengthTheBlockNames) {
    CDes des;
    // A clear field naming 15 digits: seven bytes of nibbles, of which the
    // first 8 characters fit; non-decimal nibbles are unpacked as they are.
    unsigned char clear[8] = {0x0F, 0x12, 0x3A, 0x45, 0x67, 0x89, 0xAB, 0xCD};
    des.Encrypt(clear, kKey);
    unsigned char block[8];
    std::memcpy(block, des.m_byResult, 8);
    des.PinDecrypt(block, kZeroPan, kKey);
    EXPECT_STREQ(reinterpret_cast<const char*>(des.m_byResult), "123:4567");
    EXPECT_EQ(des.m_byResult[8], 0);
    EXPECT_STREQ(des.m_szResultHex, "3132333A34353637");
}

TEST(PinBlockHex, ShortPinTextIsPaddedInFrontAndGivesLengthZero) {
    CDes shortText, empty;
    shortText.PinEncryptHex("31323334", kZeroPan, "133457799BBCDFF1");
    empty.PinEncrypt("", kZeroPan, kKey);
    EXPECT_STREQ(shortText.m_szResultHex, empty.m_szResultHex);
    EXPECT_EQ(shortText.m_byData[0], 0);
}

TEST(PinBlockHex, PinTextKeepsOnlyItsFirstSixCharactersThenAZero) {
    // Eight PIN bytes in: six are the PIN, a zero follows, the rest of the
    // member is as the hex conversion left it.
    CDes des;
    des.PinEncryptHex("3132333435363738", kZeroPan, "133457799BBCDFF1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(des.m_byData)), "123456");
    EXPECT_EQ(des.m_byData[7], 0x38);
}

}  // namespace
