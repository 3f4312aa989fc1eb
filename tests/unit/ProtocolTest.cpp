// Frames, checksum, status table, hex helpers, reply parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exports/Texts.h"
#include "qd500dll.h"
#include "reader/Protocol.h"

using namespace qd500;

namespace {

std::string FrameOf(const FrameBody& body) {
    Frame f = BuildFrame(body);
    return std::string(f.text, static_cast<size_t>(f.length));
}

TEST(Frame, ChecksumIsTheXorOfTheBodyBytes) {
    EXPECT_EQ(CalcBcc("5488", 2), 0xDC);
    EXPECT_EQ(CalcBcc("5488", 0), 0);
    EXPECT_EQ(FrameOf(FrameBody("5488")), "\x1B=5488DC\x03");
    EXPECT_EQ(FrameOf(FrameBody("55")), "\x1B=5555\x03");
    EXPECT_EQ(FrameOf(FrameBody("25").Dec2(12)), "\x1B=251237\x03");
    EXPECT_EQ(FrameOf(FrameBody("5A0084000004")), "\x1B=5A0084000004DA\x03");
}

TEST(Frame, OddBodyIsSentWholeButItsLastCharacterIsNotChecked) {
    EXPECT_EQ(FrameOf(FrameBody("123")), "\x1B=12312\x03");
}

TEST(Frame, EmptyBodyHasChecksumZero) { EXPECT_EQ(FrameOf(FrameBody("")), "\x1B=00\x03"); }

TEST(Frame, FieldsThatDoNotFitRefuseTheBody) {
    EXPECT_FALSE(FrameBody("52").Hex2(256).ok());
    EXPECT_FALSE(FrameBody("52").Hex2(-1).ok());
    EXPECT_FALSE(FrameBody("25").Dec2(100).ok());
    EXPECT_FALSE(FrameBody("52").Text(nullptr).ok());
    EXPECT_TRUE(FrameBody("52").Hex2(255).ok());

    unsigned char data[121];
    std::memset(data, 0x5A, sizeof data);
    FrameBody full("57");
    full.Text("00").Text("20").Hex2(121).HexBytes(data, 121);
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(BuildFrame(full).length, kMaxFrameChars);
    FrameBody over("57");
    unsigned char more[122] = {};
    over.Text("00").Text("20").Hex2(122).HexBytes(more, 122);
    EXPECT_FALSE(over.ok());
    EXPECT_FALSE(FrameBody(std::string(251, '1').c_str()).ok());
}

TEST(Frame, TheApduBodyCarries255DataBytes) {
    const std::string data(kMaxApduDataChars, 'A');
    FrameBody full("5A", kMaxApduBodyChars);
    full.Text("00D60000FF").Text(data.c_str());
    ASSERT_TRUE(full.ok());
    Frame frame = BuildFrame(full);
    EXPECT_EQ(frame.length, kMaxApduFrameChars);
    EXPECT_EQ(std::string(frame.text + 2, 12), "5A00D60000FF");
    EXPECT_EQ(frame.text[frame.length - 1], kEtx);

    FrameBody over("5A", kMaxApduBodyChars);
    over.Text("00D60000FF").Text((data + "AA").c_str());
    EXPECT_FALSE(over.ok());
    // Other commands keep the 255-character frame.
    EXPECT_FALSE(FrameBody("5A").Text(data.c_str()).ok());
}

TEST(StatusTable, EveryCodeHasItsMessage) {
    struct Row {
        const char* code;
        const char* message;
    } rows[] = {{"00", text::kStatus00}, {"11", text::kStatus11}, {"12", text::kStatus12}, {"13", text::kStatus13},
                {"14", text::kStatus14}, {"21", text::kStatus21}, {"22", text::kStatus22}, {"23", text::kStatus23},
                {"24", text::kStatus24}, {"25", text::kStatus25}, {"31", text::kStatus31}, {"32", text::kStatus32},
                {"33", text::kStatus33}, {"41", text::kStatus41}, {"77", text::kStatus77}};
    for (const Row& row : rows) {
        EXPECT_STREQ(StatusText(row.code), row.message) << row.code;
        EXPECT_NE(StatusMeaning(row.code), nullptr) << row.code;
    }
    for (const char* other : {"", "0", "1A", "99", "0\x03"}) {
        EXPECT_EQ(StatusText(other), nullptr) << other;
        EXPECT_EQ(StatusMeaning(other), nullptr) << other;
    }
    // The texts callers compare against, as GBK bytes.
    EXPECT_STREQ(text::kStatus00, "\xB3\xC9\xB9\xA6\xA3\xA1");
    EXPECT_STREQ(text::kStatus21, "\xCE\xDE\xBF\xA8!");
}

TEST(StatusTable, NumberIsReadFromTheLeadingDigits) {
    EXPECT_EQ(StatusNumber("00"), 0);
    EXPECT_EQ(StatusNumber("21"), 21);
    EXPECT_EQ(StatusNumber("1A"), 1);
    EXPECT_EQ(StatusNumber("A1"), 0);
}

TEST(HexHelpers, HexByte) {
    char buf[3];
    HexByte(buf, 255);
    EXPECT_STREQ(buf, "FF");
    HexByte(buf, 10);
    EXPECT_STREQ(buf, "0A");
    HexByte(buf, 256);
    EXPECT_STREQ(buf, "10");
}

TEST(HexHelpers, SplitBcd) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x10};
    char hex[16] = "junk";
    gSplitBcd(bytes, 3, hex);
    EXPECT_STREQ(hex, "00AB10");
    gSplitBcd(bytes, 0, hex);
    EXPECT_STREQ(hex, "");
    std::strcpy(hex, "junk");
    gSplitBcd(bytes, -4, hex);
    EXPECT_STREQ(hex, "");
}

TEST(HexHelpers, CompressAsc) {
    unsigned char out[8];
    auto compress = [&](const char* text, short count) {
        std::memset(out, 0xEE, sizeof out);
        gCompressAsc(text, count, out);
        return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(count > 0 ? (count + 1) / 2 + 1 : 1));
    };
    EXPECT_EQ(compress("1234", 4), std::string("\x12\x34\x00", 3));
    EXPECT_EQ(compress("123", 3), std::string("\x12\x3F\x00", 3));
    EXPECT_EQ(compress("ABC", 3), std::string("\xAB\xCF\x00", 3));
    EXPECT_EQ(compress("abcd", 4), std::string("\xAB\xCD\x00", 3));
    EXPECT_EQ(compress("123456", 2), std::string("\x12\x00", 2));  // exactly count characters
    EXPECT_EQ(compress("", 0), std::string("\x00", 1));
    EXPECT_EQ(out[1], 0xEE);
    EXPECT_EQ(compress("12", -3), std::string("\x00", 1));
    // A text shorter than count is right-aligned behind blanks: definite bytes.
    EXPECT_EQ(compress("1", 4), std::string("\x00\x01\x00", 3));
    EXPECT_EQ(compress("G1Z9", 4), std::string("\x00\x00\x00", 3));
}

TEST(HexHelpers, ScanReadsTheLeadingDigitsOfItsTwoCharacters) {
    EXPECT_EQ(ScanHexPair("1f"), 0x1F);
    EXPECT_EQ(ScanHexPair("G1"), 0);
    EXPECT_EQ(ScanHexPair("1G"), 1);
    EXPECT_EQ(ScanHexPair(" 1"), 1);
    EXPECT_EQ(ScanHexPair("123"), 0x12);
    EXPECT_EQ(ScanHexPair(""), 0);
}

TEST(ReplyParsing, HeaderLengthStatusAndData) {
    const std::string r = "noise\x1B=0400ABCD77\x03";
    Reply reply = ParseReply(r.data(), static_cast<int>(r.size()), 0x03);
    ASSERT_TRUE(reply.header);
    EXPECT_EQ(reply.headerPos, 5);
    EXPECT_EQ(reply.length, 4);
    EXPECT_STREQ(reply.status, "00");
    EXPECT_EQ(reply.Result(), 0);
    EXPECT_EQ(reply.DataChars(), 4);
    EXPECT_EQ(std::string(reply.tail, 4), "ABCD");
}

TEST(ReplyParsing, LengthThatPromisesMoreThanArrivedIsCut) {
    const std::string r = "\x1B=FF00AB\x03";
    Reply reply = ParseReply(r.data(), static_cast<int>(r.size()), 0x03);
    EXPECT_EQ(reply.length, 0xFF);
    EXPECT_EQ(reply.DataChars(), 2);
}

TEST(ReplyParsing, StatusMustHaveArrived) {
    const std::string shortReply = "\x1B=02\x03";
    Reply reply = ParseReply(shortReply.data(), static_cast<int>(shortReply.size()), 0x03);
    ASSERT_TRUE(reply.header);
    EXPECT_TRUE(reply.statusEmpty);
    EXPECT_EQ(reply.Result(), -1);
    EXPECT_EQ(reply.DataChars(), 0);

    const std::string nul = std::string("\0\x1B=0221\x03", 8);
    reply = ParseReply(nul.data(), static_cast<int>(nul.size()), 0x03);
    ASSERT_TRUE(reply.header);
    EXPECT_TRUE(reply.statusEmpty);  // the received text is shorter than two characters
}

TEST(ReplyParsing, StatusThatReadsAsZeroIsNoSuccess) {
    for (const char* r : {"\x1B=020A\x03", "\x1B=020 \x03", "\x1B=02A0\x03"}) {
        Reply reply = ParseReply(r, static_cast<int>(std::strlen(r)), 0x03);
        EXPECT_FALSE(reply.Succeeded()) << r;
        EXPECT_EQ(reply.Result(), -1) << r;
    }
    const char* ok = "\x1B=0200\x03";
    EXPECT_TRUE(ParseReply(ok, 7, 0x03).Succeeded());
    EXPECT_EQ(ParseReply(ok, 7, 0x03).Result(), 0);
    const char* other = "\x1B=021A\x03";
    EXPECT_EQ(ParseReply(other, 7, 0x03).Result(), 1);
}

TEST(ReplyParsing, NoHeader) {
    const std::string r = "0200\x03";
    EXPECT_FALSE(ParseReply(r.data(), static_cast<int>(r.size()), 0x03).header);
    EXPECT_FALSE(ParseReply("\x1B", 1, 0x03).header);
}

}  // namespace
