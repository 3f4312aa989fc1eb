// Two-key triple-DES, XOR and key diversity exports.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto/Des.h"
#include "crypto/Vectors.h"
#include "qd500dll.h"

using qd500::CDes;
using namespace qd500test;

namespace {

std::string AscTriDes(const std::string& data, const std::string& key) {
    char out[17];
    EXPECT_EQ(gAscTriDes(data.c_str(), key.c_str(), out), 0);
    return out;
}

std::string Diversity(const std::string& data, const std::string& key) {
    char out[40];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(gAscDiversity(data.c_str(), key.c_str(), out), 0);
    EXPECT_EQ(out[33], 'x');  // 32 digits and a NUL, nothing more
    return out;
}

TEST(TriDesKnownAnswer, PublishedTwoKeyVectorsBlockByBlock) {
    const auto rows = ReadTable("tdes2.tsv");
    ASSERT_EQ(rows.size(), 75u);
    for (const auto& row : rows) {
        const auto key = Bytes(row[0]);
        const std::string& plain = row[1];
        const std::string& cipher = row[2];
        ASSERT_EQ(plain.size() % 16, 0u);
        for (size_t at = 0; at < plain.size(); at += 16) {
            const std::string block = plain.substr(at, 16);
            SCOPED_TRACE(row[0] + " " + block);
            unsigned char out[10];
            std::memset(out, 0xEE, sizeof out);
            gTriDes(Bytes(block).data(), key.data(), out);
            EXPECT_EQ(Hex(out, 8), cipher.substr(at, 16));
            EXPECT_EQ(out[8], 0);
            EXPECT_EQ(out[9], 0xEE);
            EXPECT_EQ(AscTriDes(Lower(block), Lower(row[0])), cipher.substr(at, 16));
        }
    }
}

// The two published PIN blocks were encrypted under two-key TDEA.
TEST(TriDesKnownAnswer, PublishedPinBlocks) {
    int used = 0;
    for (const auto& row : ReadTable("pinblock.tsv")) {
        if (row[5] == "-") continue;
        EXPECT_EQ(AscTriDes(row[4], row[5]), row[6]);
        ++used;
    }
    EXPECT_EQ(used, 2);
}

TEST(TriDes, EqualHalvesGiveSingleDes) {
    std::mt19937 rng(3);
    for (int n = 0; n < 100; ++n) {
        unsigned char raw[8], data[8];
        for (auto& b : raw) b = static_cast<unsigned char>(rng());
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        const std::string half = Hex(raw, 8);
        CDes des;
        des.EncryptHex(Hex(data, 8).c_str(), half.c_str());
        EXPECT_EQ(AscTriDes(Hex(data, 8), half + half), des.m_szResultHex);
    }
}

TEST(TriDes, ShortTextsReadAsTheHexConversionReadsThem) {
    // The data text "1" is the block 00..01; a short key likewise stands
    // right-aligned in its 32 digits.
    EXPECT_EQ(AscTriDes("1", "0123456789ABCDEFFEDCBA9876543210"),
              AscTriDes("0000000000000001", "0123456789ABCDEFFEDCBA9876543210"));
    EXPECT_EQ(AscTriDes("0123456789ABCDEF", "ABC"), AscTriDes("0123456789ABCDEF", "00000000000000000000000000000ABC"));
    // Anything after the stated lengths is ignored.
    EXPECT_EQ(AscTriDes("0123456789ABCDEF77", "0123456789ABCDEFFEDCBA987654321099"),
              AscTriDes("0123456789ABCDEF", "0123456789ABCDEFFEDCBA9876543210"));
}

TEST(AscXor, XorOfTwoTexts) {
    std::mt19937 rng(9);
    for (int n = 0; n < 100; ++n) {
        unsigned char a[8], b[8], x[8];
        for (int i = 0; i < 8; ++i) {
            a[i] = static_cast<unsigned char>(rng());
            b[i] = static_cast<unsigned char>(rng());
            x[i] = a[i] ^ b[i];
        }
        const char* result = gAscXor(Lower(Hex(a, 8)).c_str(), Hex(b, 8).c_str());
        EXPECT_EQ(std::string(result), Hex(x, 8));
    }
    EXPECT_STREQ(gAscXor("0123456789abcdef", "0123456789ABCDEF"), "0000000000000000");
}

TEST(AscXor, OneBufferOverwrittenByEachCall) {
    char* first = gAscXor("00000000000000FF", "0000000000000000");
    EXPECT_STREQ(first, "00000000000000FF");
    char* second = gAscXor("1111111111111111", "0000000000000000");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "1111111111111111");
}

TEST(AscXor, ShortTextsStandRightAlignedAndNothingPastTheNulIsRead) {
    // Heap copies of exactly their size, so the sanitizer build catches a
    // read past the NUL.
    auto xorOf = [](const std::string& a, const std::string& b) {
        char* ta = new char[a.size() + 1];
        char* tb = new char[b.size() + 1];
        std::memcpy(ta, a.c_str(), a.size() + 1);
        std::memcpy(tb, b.c_str(), b.size() + 1);
        std::string r = gAscXor(ta, tb);
        delete[] ta;
        delete[] tb;
        return r;
    };
    EXPECT_EQ(xorOf("1", "FFFFFFFFFFFFFFFF"), "FFFFFFFFFFFFFFFE");
    EXPECT_EQ(xorOf("ABC", "0000000000000000"), "0000000000000ABC");
    EXPECT_EQ(xorOf("", "FFFFFFFFFFFFFFFF"), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(xorOf("", ""), "0000000000000000");
    EXPECT_EQ(xorOf("0123456789ABCDEF0123", "0000000000000000"), "0123456789ABCDEF");
    // A non-hex character ends its pair's digits, as the "%02X" scan stops.
    EXPECT_EQ(xorOf("1G2H3I4J5K6L7M8N", "0000000000000000"), "0102030405060708");
}

TEST(AscDiversity, Vectors) {
    int used = 0;
    for (const auto& row : ReadTable("diversify.tsv")) {
        if (row[0] != "COMPUTED" && row[0] != "PUBLISHED") continue;
        const std::string data = row[2].substr(0, 16);
        SCOPED_TRACE(row[1] + " " + data);
        EXPECT_EQ(Diversity(data, row[1]), row[6]);
        EXPECT_EQ(Diversity(Lower(data), Lower(row[1])), row[6]);
        ++used;
    }
    EXPECT_EQ(used, 32);
}

TEST(AscDiversity, HalvesAreTriDesOfDataAndComplement) {
    std::mt19937 rng(13);
    for (int n = 0; n < 100; ++n) {
        unsigned char d[8], nd[8], k[16];
        for (int i = 0; i < 8; ++i) {
            d[i] = static_cast<unsigned char>(rng());
            nd[i] = static_cast<unsigned char>(~d[i]);
        }
        for (auto& b : k) b = static_cast<unsigned char>(rng());
        const std::string key = Hex(k, 16);
        const char* xorBuffer = gAscXor("", "");
        const std::string out = Diversity(Hex(d, 8), key);
        // The XOR buffer is left holding the complement.
        EXPECT_EQ(std::string(xorBuffer), Hex(nd, 8));
        ASSERT_EQ(out.size(), 32u);
        EXPECT_EQ(out.substr(0, 16), AscTriDes(Hex(d, 8), key));
        EXPECT_EQ(out.substr(16), AscTriDes(Hex(nd, 8), key));
    }
    const std::string key = "404142434445464748494A4B4C4D4E4F";
    EXPECT_EQ(Diversity("FFFFFFFFFFFFFFFF", key).substr(16), AscTriDes("0000000000000000", key));
}

TEST(AscDiversity, ShortDataIsComplementedAsItIsEncrypted) {
    const std::string key = "0123456789ABCDEFFEDCBA9876543210";
    const std::string out = Diversity("ABC", key);
    EXPECT_EQ(out, Diversity("0000000000000ABC", key));
    EXPECT_EQ(out.substr(16), AscTriDes("FFFFFFFFFFFFF543", key));
}

}  // namespace
