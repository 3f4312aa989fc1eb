// Global options, command arguments and their errors, help, JSON output and
// the text helpers under them; no reader is involved.
#include <nlohmann/json.hpp>

#include "CliTestUtil.h"

namespace qd500::cli::test {
namespace {

TEST(Arguments, UnknownCommandIsAUsageError) {
    ToolRun r = Qd500({"frobnicate"});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "unknown command 'frobnicate'")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(Arguments, NoCommandPrintsUsageAndFails) {
    ToolRun r = Qd500({});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "usage: qd500"));
}

TEST(Arguments, ReaderCommandWithoutPortSaysSo) {
    ToolRun r = Qd500({"frame", "47"});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "no port")) << r.err;
}

TEST(Arguments, BadPortsAndOptions) {
    EXPECT_EQ(Qd500({"--port", "COMX", "frame", "47"}).rc, kUsage);
    EXPECT_EQ(Qd500({"--port", "0", "frame", "47"}).rc, kUsage);
    ToolRun missing = Qd500({"--port", "/dev/no-such-reader", "frame", "47"});
    EXPECT_EQ(missing.rc, kUsage);
    EXPECT_TRUE(Has(missing.err, "no such device")) << missing.err;
    EXPECT_EQ(Qd500({"--port"}).rc, kUsage);
    EXPECT_EQ(Qd500({"--timeout", "300", "xor", "00", "00"}).rc, kUsage);
    ToolRun unknown = Qd500({"--verbose", "help"});
    EXPECT_EQ(unknown.rc, kUsage);
    EXPECT_TRUE(Has(unknown.err, "unknown option --verbose"));
    ToolRun commandOption = Qd500({"xor", "--fast", "0000000000000000", "0000000000000000"});
    EXPECT_EQ(commandOption.rc, kUsage);
    EXPECT_TRUE(Has(commandOption.err, "unknown option --fast"));
}

TEST(Arguments, BadHexAndCountsAreRefusedWithTheirReason) {
    ToolRun odd = Qd500({"xor", "0123456789ABCDE", "0123456789ABCDEF"});
    EXPECT_EQ(odd.rc, kUsage);
    EXPECT_TRUE(Has(odd.err, "odd number of digits")) << odd.err;
    ToolRun letter = Qd500({"3des", "0123456789ABCDEG", "00112233445566778899AABBCCDDEEFF"});
    EXPECT_EQ(letter.rc, kUsage);
    EXPECT_TRUE(Has(letter.err, "holds 'G'")) << letter.err;
    ToolRun shortKey = Qd500({"diversify", "0123456789ABCDEF", "0011"});
    EXPECT_EQ(shortKey.rc, kUsage);
    EXPECT_TRUE(Has(shortKey.err, "16 bytes")) << shortKey.err;
    EXPECT_EQ(Qd500({"xor", "00"}).rc, kUsage);                 // missing argument
    EXPECT_EQ(Qd500({"xor", "00", "00", "00"}).rc, kUsage);     // one too many
    EXPECT_TRUE(Has(Qd500({"xor", "00"}).err, "usage: qd500 xor A B"));
}

TEST(Arguments, HelpCoversEveryCommandOfTheTable) {
    ToolRun all = Qd500({"--help"});
    EXPECT_EQ(all.rc, kOk);
    for (const Command& c : Commands()) {
        EXPECT_TRUE(Has(all.out, std::string("  ") + c.name + " ")) << c.name;
        ToolRun one = Qd500({c.name, "--help"});
        EXPECT_EQ(one.rc, kOk) << c.name;
        EXPECT_TRUE(Has(one.out, std::string("usage: qd500 [options] ") + c.name)) << c.name;
        EXPECT_TRUE(Has(one.out, c.summary)) << c.name;
    }
    EXPECT_EQ(Qd500({"help", "nothing-like-this"}).rc, kUsage);
}

TEST(Arguments, JsonGivesOneObjectPerCommand) {
    ToolRun ok = Qd500({"--json", "xor", "0F0F0F0F0F0F0F0F", "FFFF0000FFFF0000"});
    EXPECT_EQ(ok.rc, kOk);
    auto j = nlohmann::json::parse(ok.out);
    EXPECT_EQ(j["command"], "xor");
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["xor"], "F0F00F0FF0F00F0F");

    ToolRun bad = Qd500({"--json", "xor", "0F", "FF"});
    EXPECT_EQ(bad.rc, kUsage);
    auto e = nlohmann::json::parse(bad.out);
    EXPECT_EQ(e["ok"], false);
    EXPECT_TRUE(Has(e["error"].get<std::string>(), "8 bytes"));
    EXPECT_TRUE(Has(bad.err, "8 bytes"));  // the message still reaches stderr
}

TEST(Text, GbkMessagesBecomeUtf8AndBadBytesStayVisible) {
    EXPECT_EQ(GbkToUtf8("\xB3\xC9\xB9\xA6\xA3\xA1"), "成功！");
    EXPECT_EQ(GbkToUtf8("SendCom ERR"), "SendCom ERR");
    EXPECT_EQ(GbkToUtf8("\xCE\xDE\xBF\xA8!\x81"), "无卡!\\x81");  // a lead byte cut off at the end
}

TEST(Text, HexNumbersAndWords) {
    EXPECT_EQ(ParseHex("3f 00:A4", "x"), (std::vector<uint8_t>{0x3F, 0x00, 0xA4}));
    EXPECT_THROW(ParseHex("3F0", "x"), UsageError);
    EXPECT_EQ(ParseNumber("0x10", 0, 255, "n"), 16);
    EXPECT_EQ(ParseNumber("16", 0, 255, "n"), 16);
    EXPECT_THROW(ParseNumber("256", 0, 255, "n"), UsageError);
    EXPECT_THROW(ParseNumber("-1", 0, 255, "n"), UsageError);
    EXPECT_EQ(ParseAddress("0x1F0", 0xFFFF, "a"), 0x1F0);
    EXPECT_THROW(ParseAddress("10000", 0xFFFF, "a"), UsageError);
    EXPECT_EQ(SplitWords("apdu '00 A4' \"x y\" # comment"), (std::vector<std::string>{"apdu", "00 A4", "x y"}));
    EXPECT_THROW(SplitWords("apdu '00"), UsageError);
}

}  // namespace
}  // namespace qd500::cli::test
