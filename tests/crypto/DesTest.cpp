// Single-DES engine: published vectors, the key schedule, the conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "crypto/Des.h"
#include "crypto/Vectors.h"

using qd500::CDes;
using namespace qd500test;

namespace {

TEST(DesKnownAnswer, PublishedVectorsEncryptAndDecrypt) {
    const auto rows = ReadTable("des_kat.tsv");
    ASSERT_EQ(rows.size(), 371u);
    CDes des;
    for (const auto& row : rows) {
        const auto key = Bytes(row[0]), plain = Bytes(row[1]);
        SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
        des.Encrypt(plain.data(), key.data());
        EXPECT_EQ(Hex(des.m_byResult, 8), row[2]);
        EXPECT_EQ(std::string(des.m_szResultHex), row[2]);
        EXPECT_EQ(des.m_byResult[8], 0);
        EXPECT_EQ(Hex(des.m_byKey, 8), row[0]);
        EXPECT_EQ(Hex(des.m_byData, 8), row[1]);

        const auto cipher = Bytes(row[2]);
        des.Decrypt(cipher.data(), key.data());
        EXPECT_EQ(std::string(des.m_szResultHex), row[1]);
    }
}

TEST(DesKnownAnswer, HexWrappersReadEitherCaseAndWriteUpperCase) {
    const auto rows = ReadTable("des_kat.tsv");
    ASSERT_FALSE(rows.empty());
    CDes des;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        des.EncryptHex(Lower(row[1]).c_str(), Lower(row[0]).c_str());
        EXPECT_EQ(std::string(des.m_szResultHex), row[2]);
        des.DecryptHex(row[2].c_str(), Lower(row[0]).c_str());
        EXPECT_EQ(std::string(des.m_szResultHex), row[1]);
        EXPECT_EQ(Hex(des.m_byData, 8), row[2]);
    }
}

// Rivest's chained check: sixteen alternating operations, each feeding its
// result back as data and key; one wrong S-box entry or shift breaks X16.
TEST(DesKnownAnswer, RivestChainFeedsResultsBack) {
    CDes des;
    unsigned char x[8];
    std::memcpy(x, Bytes("9474B8E8C73BCA7D").data(), 8);
    for (int i = 0; i < 16; ++i) {
        if (i % 2 == 0)
            des.Encrypt(x, x);
        else
            des.Decrypt(x, x);
        std::memcpy(x, des.m_byResult, 8);
    }
    EXPECT_EQ(Hex(x, 8), "1B1A2DDB4C642438");
}

TEST(DesBlock, ResultMayBeTheNextData) {
    std::mt19937 rng(7);
    CDes des;
    for (int n = 0; n < 50; ++n) {
        unsigned char key[8], data[8];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        des.Encrypt(data, key);
        des.Decrypt(des.m_byResult, key);
        EXPECT_EQ(Hex(des.m_byResult, 8), Hex(data, 8));
        // The object's own key member as the key as well.
        des.Encrypt(des.m_byResult, des.m_byKey);
        des.Decrypt(des.m_byResult, des.m_byKey);
        EXPECT_EQ(Hex(des.m_byResult, 8), Hex(data, 8));
    }
}

// Each operation keeps its working arrays to itself: two objects on two
// threads give the results they give alone.
TEST(DesBlock, TwoThreadsWithTheirOwnObjects) {
    const auto rows = ReadTable("des_kat.tsv");
    ASSERT_FALSE(rows.empty());
    std::vector<int> failures(2, 0);
    auto work = [&](int id) {
        CDes des;
        for (int pass = 0; pass < 10; ++pass) {
            for (size_t r = id; r < rows.size(); r += 2) {
                des.Encrypt(Bytes(rows[r][1]).data(), Bytes(rows[r][0]).data());
                if (rows[r][2] != des.m_szResultHex) ++failures[id];
            }
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
}

// Grabbe's worked example prints the subkeys of this key.
TEST(DesKeySchedule, SubkeysOfTheWorkedExample) {
    CDes des;
    unsigned char bits[64];
    CDes::BytesToBits(Bytes("133457799BBCDFF1").data(), bits);
    des.MakeSubKeys(bits);
    auto subkey = [&](int round) {
        std::string s;
        for (int j = 0; j < 48; ++j) s += static_cast<char>('0' + des.m_bySubKey[round][j]);
        return s;
    };
    EXPECT_EQ(subkey(0), "000110110000001011101111111111000111000001110010");
    EXPECT_EQ(subkey(1), "011110011010111011011001110110111100100111100101");
    EXPECT_EQ(subkey(15), "110010110011110110001011000011100001011111110101");
}

// Encrypt and Decrypt run on the SP tables; the bit-per-byte reference
// (BytesToBits, MakeSubKeys, DesBlock) gives the same blocks, and every
// operation leaves the subkeys and E in the members as MakeSubKeys does.
TEST(DesKeySchedule, EveryOperationLeavesTheSubkeysOfItsKey) {
    std::mt19937 rng(11);
    CDes des, reference;
    for (int n = 0; n < 500; ++n) {
        unsigned char key[8], data[8], bits[64];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        const int decrypt = n % 2;
        SCOPED_TRACE(Hex(key, 8) + " " + Hex(data, 8));
        if (decrypt)
            des.Decrypt(data, key);
        else
            des.Encrypt(data, key);

        CDes::BytesToBits(key, bits);
        reference.MakeSubKeys(bits);
        ASSERT_EQ(std::memcmp(des.m_bySubKey, reference.m_bySubKey, sizeof des.m_bySubKey), 0);
        ASSERT_EQ(std::memcmp(des.m_byExpand, reference.m_byExpand, sizeof des.m_byExpand), 0);

        CDes::BytesToBits(data, bits);
        reference.DesBlock(bits, decrypt);
        unsigned char want[8];
        CDes::BitsToBytes(bits, want);
        ASSERT_EQ(Hex(des.m_byResult, 8), Hex(want, 8));
    }
    // The PIN operations derive theirs as well.
    const auto key = Bytes("0123456789ABCDEF");
    unsigned char bits[64];
    CDes::BytesToBits(key.data(), bits);
    reference.MakeSubKeys(bits);
    CDes pin;
    pin.PinEncrypt("1234", "4000001234567899", key.data());
    EXPECT_EQ(std::memcmp(pin.m_bySubKey, reference.m_bySubKey, sizeof pin.m_bySubKey), 0);
    CDes pinBack;
    pinBack.PinDecrypt(pin.m_byResult, "4000001234567899", key.data());
    EXPECT_EQ(std::memcmp(pinBack.m_bySubKey, reference.m_bySubKey, sizeof pinBack.m_bySubKey), 0);
    EXPECT_EQ(std::memcmp(pinBack.m_byExpand, reference.m_byExpand, sizeof pinBack.m_byExpand), 0);
}

TEST(DesConversions, BitsAreMostSignificantFirstAndRoundTrip) {
    unsigned char bytes[8] = {0x80, 0x01, 0x00, 0xFF, 0x5A, 0xA5, 0x10, 0x08};
    unsigned char bits[64];
    CDes::BytesToBits(bytes, bits);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(bits[i], (bytes[i / 8] >> (7 - i % 8)) & 1) << i;
    EXPECT_EQ(bits[0], 1);
    EXPECT_EQ(bits[15], 1);
    unsigned char back[8];
    CDes::BitsToBytes(bits, back);
    EXPECT_EQ(Hex(back, 8), Hex(bytes, 8));
}

TEST(DesConversions, BinToHexWritesUpperCaseForEveryByte) {
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    char text[514];
    std::memset(text, 'x', sizeof text);
    CDes::BinToHex(text, all, 256);
    EXPECT_EQ(std::string(text), Hex(all, 256));
    EXPECT_EQ(text[513], 'x');
}

TEST(DesConversions, HexToBinPadsCutsAndStaysInBounds) {
    unsigned char out[10];
    std::memset(out, 0xEE, sizeof out);
    CDes::HexToBin(out, "1", 8);
    EXPECT_EQ(Hex(out, 9), "000000000000000100");
    EXPECT_EQ(out[9], 0xEE);

    CDes::HexToBin(out, "0123456789ABCDEF9999", 8);
    EXPECT_EQ(Hex(out, 9), "0123456789ABCDEF00");

    unsigned char lower[9];
    CDes::HexToBin(lower, "0123456789abcdef", 8);
    EXPECT_EQ(Hex(lower, 9), "0123456789ABCDEF00");

    // An odd text is filled on the left: "ABC" is 0A BC.
    CDes::HexToBin(out, "ABC", 2);
    EXPECT_EQ(Hex(out, 3), "0ABC00");

    std::memset(out, 0xEE, sizeof out);
    CDes::HexToBin(out, "12", 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0xEE);
    CDes::HexToBin(out, nullptr, 2);
    EXPECT_EQ(Hex(out, 3), "000000");
}

// Characters outside 0-9A-Fa-f are not refused: each gets the value of its
// band (c - 0x57 from 'a', c - 0x37 from 'A', c - 0x30 from '0', else
// c - 0x20), mod 256, and only its low nibble counts.
TEST(DesConversions, HexToBinGivesEveryCharacterItsBandValue) {
    struct Case {
        const char* text;
        const char* bytes;
    };
    const Case cases[] = {
        {"Gg", "00"},        // 'G' 0x47 - 0x37 = 0x10, 'g' 0x67 - 0x57 = 0x10
        {"zZ", "33"},        // 'z' 0x7A - 0x57 = 0x23, 'Z' 0x5A - 0x37 = 0x23
        {":@", "A0"},        // ':' 0x3A - 0x30 = 0x0A, '@' 0x40 - 0x30 = 0x10
        {" !", "01"},        // ' ' 0x20 - 0x20 = 0, '!' 0x21 - 0x20 = 1
        {"/\x01", "F1"},     // '/' 0x2F - 0x20 = 0x0F, 0x01 - 0x20 = 0xE1 mod 256
        {"\x80\xFF", "98"},  // 0x80 - 0x57 = 0x29, 0xFF - 0x57 = 0xA8
    };
    for (const auto& c : cases) {
        unsigned char out[2];
        CDes::HexToBin(out, c.text, 1);
        EXPECT_EQ(Hex(out, 1), c.bytes) << c.text;
    }
}

}  // namespace
