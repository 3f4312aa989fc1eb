// Global options, command arguments and their errors, help, JSON output,
// the tables and parsers under them, the crypto commands and the shell's
// completion; no reader is involved.
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "CliTestUtil.h"
#include "tools/cli/Atr.h"
#include "tools/cli/StatusWords.h"

namespace qd500::cli::test {
namespace {

TEST(Arguments, UnknownCommandSuggestsTheNearest) {
    ToolRun r = Qd500({"stauts"});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "unknown command 'stauts' (did you mean 'status'?)")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Has(Qd500({"help", "mag-setings"}).err, "did you mean 'mag-setting'?"));
    EXPECT_TRUE(Has(Qd500({"frobnicate"}).err, "(try: qd500 help)"));
}

TEST(Arguments, NoCommandPrintsUsageAndFails) {
    ToolRun r = Qd500({});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "usage: qd500"));
}

TEST(Arguments, ReaderCommandWithoutPortSaysSo) {
    ToolRun r = Qd500({"status"});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "no port")) << r.err;
}

TEST(Arguments, BadPortsAndOptions) {
    EXPECT_EQ(Qd500({"--port", "0", "status"}).rc, kUsage);
    // A missing device fails as any port that will not open: exit 1, JSON with --json.
    ToolRun missing = Qd500({"--port", "/dev/no-such-reader", "status"});
    EXPECT_EQ(missing.rc, kFailed);
    EXPECT_TRUE(Has(missing.err, "cannot open /dev/no-such-reader: no such device")) << missing.err;
    ToolRun json = Qd500({"--json", "--port", "/dev/no-such-reader", "status"});
    EXPECT_EQ(json.rc, kFailed);
    EXPECT_EQ(nlohmann::json::parse(json.out)["ok"], false) << json.out;
    EXPECT_EQ(Qd500({"--port"}).rc, kUsage);
    EXPECT_EQ(Qd500({"--timeout", "300", "xor", "00", "00"}).rc, kUsage);
    ToolRun unknown = Qd500({"--fast", "help"});
    EXPECT_EQ(unknown.rc, kUsage);
    EXPECT_TRUE(Has(unknown.err, "unknown option --fast"));
    ToolRun commandOption = Qd500({"xor", "--fast", "0000000000000000", "0000000000000000"});
    EXPECT_EQ(commandOption.rc, kUsage);
    EXPECT_TRUE(Has(commandOption.err, "unknown option --fast"));
}

TEST(Arguments, BadHexAndCountsAreRefusedWithTheirReason) {
    ToolRun odd = Qd500({"xor", "0123456789ABCDE", "0123456789ABCDEF"});
    EXPECT_EQ(odd.rc, kUsage);
    EXPECT_TRUE(Has(odd.err, "odd number of digits")) << odd.err;
    ToolRun letter = Qd500({"3des", "0123456789ABCDEG", "00112233445566778899AABBCCDDEEFF"});
    EXPECT_TRUE(Has(letter.err, "holds 'G'")) << letter.err;
    EXPECT_TRUE(Has(Qd500({"diversify", "0123456789ABCDEF", "0011"}).err, "16 bytes"));
    EXPECT_EQ(Qd500({"xor", "00"}).rc, kUsage);              // missing argument
    EXPECT_EQ(Qd500({"xor", "00", "00", "00"}).rc, kUsage);  // one too many
    EXPECT_TRUE(Has(Qd500({"xor", "00"}).err, "usage: qd500 xor A B"));
}

// Short options, options after the command, the version, fractions of a
// second: what people type from other card tools.
TEST(Options, ShortAndAfterTheCommand) {
    EXPECT_EQ(Qd500({"-V"}).out, std::string("qd500 ") + qd500_version() + "\n");
    EXPECT_EQ(Qd500({"--version"}).rc, kOk);
    EXPECT_TRUE(Has(Qd500({"-h"}).out, "commands:"));
    ToolRun after = Qd500({"xor", "0000000000000001", "0000000000000010", "-j"});
    EXPECT_EQ(nlohmann::json::parse(after.out)["xor"], "0000000000000011");
    EXPECT_EQ(Field(Qd500({"timeout", "-t", "0.25"}).out, "timeout"), "0.25 s");
    EXPECT_EQ(Field(Qd500({"--timeout=12", "timeout"}).out, "timeout"), "12 s");
    ToolRun tooFine = Qd500({"-t", "1.2345", "timeout"});
    EXPECT_EQ(tooFine.rc, kUsage);
    EXPECT_TRUE(Has(tooFine.err, "give seconds")) << tooFine.err;
    EXPECT_EQ(Qd500({"--lang", "fr", "timeout"}).rc, kUsage);
    // A relative path names a device from the working directory.
    EXPECT_TRUE(Has(Qd500({"-p", "no-such-tty", "status"}).err, "cannot open no-such-tty"));
}

TEST(Help, OverviewExamplesAndFirstSteps) {
    ToolRun all = Qd500({"--help"});
    EXPECT_EQ(all.rc, kOk);
    for (const Command& c : Commands()) {
        EXPECT_TRUE(Has(all.out, std::string("  ") + c.name + " ")) << c.name;
        ToolRun one = Qd500({c.name, "--help"});
        EXPECT_EQ(one.rc, kOk) << c.name;
        EXPECT_TRUE(Has(one.out, std::string("usage: qd500 [options] ") + c.name)) << c.name;
        EXPECT_TRUE(Has(one.out, c.summary)) << c.name;
    }
    EXPECT_TRUE(Has(all.out, "qd500 demo") && Has(all.out, "qd500-sim --pty")) << all.out;
    std::string examples = all.out.substr(all.out.rfind("examples:"));
    EXPECT_EQ(std::count(examples.begin(), examples.end(), '\n'), 4) << examples;
    EXPECT_EQ(all.out.back(), '\n');
    EXPECT_TRUE(Has(Qd500({"help", "status"}).out, "state3     the type byte"));
    std::string letters = Qd500({"help", "mag-setting"}).out;
    EXPECT_TRUE(Has(letters, "A  B  C  D  K  R  Z")) << letters;
}

TEST(Help, InsideTheShellListsShellCommands) {
    ToolRun r = Qd500({"shell"}, "help\nhelp status\n");
    EXPECT_TRUE(Has(r.out, "quit, exit")) << r.out;
    EXPECT_FALSE(Has(r.out, "usage: qd500 [options]")) << r.out;
    EXPECT_FALSE(Has(r.out, "Exit status")) << r.out;
    EXPECT_TRUE(Has(r.out, "usage: status")) << r.out;
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

// ---- cryptography: published vectors ----

TEST(Crypto, TripleDesBothWaysAndDiversify) {
    ToolRun r = Qd500({"3des", "4e6f772069732074", "0123456789ABCDEF0123456789ABCDEF"});
    EXPECT_EQ(Field(r.out, "encrypted"), "3FA40E8A984D4815");  // K1 = K2 is single DES
    ToolRun back = Qd500({"3des", "--decrypt", "3FA40E8A984D4815", "0123456789ABCDEF0123456789ABCDEF"});
    EXPECT_EQ(Field(back.out, "decrypted"), "4E6F772069732074");
    const std::string data = "1122334455667788", key = "000102030405060708090A0B0C0D0E0F";
    std::string left = Field(Qd500({"3des", data, key}).out, "encrypted");
    std::string right = Field(Qd500({"3des", "EEDDCCBBAA998877", key}).out, "encrypted");
    EXPECT_EQ(Field(Qd500({"diversify", data, key}).out, "key"), left + right);
}

TEST(Crypto, PinBlockAndItsLengthsChecked) {
    // ISO 9564 format 0: PIN field 041234FFFFFFFFFF, account field
    // 0000 + 12 digits before the check digit; under an all-zero DES key.
    ToolRun block = Qd500({"pin-block", "1234", "4000001234567899", "0000000000000000"});
    EXPECT_EQ(block.rc, kOk) << block.err;
    const uint8_t zeroKey[8] = {}, clear[8] = {0x04, 0x12, 0x34, 0xFE, 0xDC, 0xBA, 0x98, 0x76};
    uint8_t encrypted[8];
    qd500_des_encrypt(zeroKey, clear, encrypted);
    const std::string expected = ToHex(encrypted, 8);
    EXPECT_EQ(Field(block.out, "pin-block"), expected);
    ToolRun pin = Qd500({"pin-block", "--decrypt", expected, "4000001234567899", "0000000000000000"});
    EXPECT_EQ(Field(pin.out, "pin"), "1234");
    EXPECT_EQ(Qd500({"pin-block", "--decrypt", expected, "4000001234567999", "0000000000000000"}).rc, kFailed);
    EXPECT_TRUE(Has(Qd500({"pin-block", "123", "4000001234567899", "0000000000000000"}).err, "4 to 12 digits"));
    EXPECT_TRUE(Has(Qd500({"pin-block", "1234", "400000123456", "0000000000000000"}).err, "13 to 19 digits"));
    EXPECT_TRUE(Has(Qd500({"pin-block", "1234", "4000001234567899", "00112233"}).err, "8 bytes (DES) or 16"));
}

// ---- the tables ----

TEST(StatusWords, MeaningsOfIso7816) {
    EXPECT_EQ(SwMeaning(0x9000), "normal processing");
    EXPECT_EQ(SwMeaning(0x6A82), "file or application not found");
    EXPECT_EQ(SwMeaning(0x63C2), "verification failed, 2 tries left");
    EXPECT_EQ(SwMeaning(0x63C1), "verification failed, 1 try left");
    EXPECT_EQ(SwMeaning(0x6110), "16 bytes of response data still available (GET RESPONSE)");
    EXPECT_EQ(SwMeaning(0x6C00), "wrong Le: 256 bytes available");
    EXPECT_EQ(SwMeaning(0x6A99), "wrong parameters P1-P2");  // by its group
    EXPECT_EQ(SwMeaning(0x1234), "unknown status word");
    EXPECT_TRUE(SwIsSuccess(0x6100) && !SwIsSuccess(0x6282));
}

TEST(Atr, InterfaceBytesProtocolsAndTck) {
    // T=0 and T=1 announced: TCK needed, and right.
    AtrAnalysis t1 = AnalyseAtr(ParseHex("3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C", ""));
    EXPECT_EQ(t1.protocols, "T=1");
    EXPECT_EQ(t1.tck, "correct");
    EXPECT_EQ(t1.problem, "");
    std::string text;
    for (const auto& line : t1.lines) text += line + "\n";
    EXPECT_TRUE(Has(text, "TA(1) = 18 --> Fi=372, Di=12, 31 cycles/ETU")) << text;
    EXPECT_TRUE(Has(text, "TC(1) = FF --> extra guard time: 255")) << text;
    EXPECT_TRUE(Has(text, "TA(3) = FE --> IFSC: 254")) << text;
    EXPECT_TRUE(Has(text, "TB(3) = 75 --> block waiting integer BWI=7, character waiting integer CWI=5")) << text;
    EXPECT_TRUE(Has(text, "+ Historical bytes: 00 31 C5 73 C0 01 40 00 90 00")) << text;

    AtrAnalysis wrong = AnalyseAtr(ParseHex("3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0D", ""));
    EXPECT_EQ(wrong.tck, "wrong, expected 0C");
    EXPECT_NE(wrong.problem, "");
    // T=0 alone: no TCK, the historical bytes as text.
    AtrAnalysis t0 = AnalyseAtr(ParseHex("3B680000514435303053494D", ""));
    EXPECT_EQ(t0.protocols, "T=0");
    EXPECT_EQ(t0.tck, "not needed");
    EXPECT_EQ(ToHex(t0.historical), "514435303053494D");
    EXPECT_TRUE(Has(t0.lines.back(), "as text: QD500SIM"));
    // Bytes announced but missing.
    EXPECT_TRUE(Has(AnalyseAtr(ParseHex("3B 98 11", "")).problem, "TD(1) is announced but missing"));
    EXPECT_TRUE(Has(AnalyseAtr(ParseHex("3B 04 A2 13", "")).problem, "4 historical bytes announced, 2 present"));
    // A synchronous card's header.
    AtrAnalysis sle = AnalyseAtr(ParseHex("A2131091", ""));
    EXPECT_EQ(sle.problem, "");
    EXPECT_TRUE(Has(sle.lines[4], "256 data units of 8 bits")) << sle.lines[4];
    // The command: exit 1 for a wrong TCK, the fields in JSON.
    EXPECT_EQ(Qd500({"atr", "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0D"}).rc, kFailed);
    auto j = nlohmann::json::parse(Qd500({"-j", "atr", "3B680000514435303053494D"}).out);
    EXPECT_EQ(j["historical"], "514435303053494D");
}

// ---- the shell's Tab ----

TEST(Completion, CommandsCardTypesTracksAndFiles) {
    EXPECT_EQ(Completions("card-t"), std::vector<std::string>{"card-type"});
    EXPECT_EQ(Completions("card-type cp"), std::vector<std::string>{"CPU"});
    EXPECT_EQ(Completions("card-type AT24C6"), (std::vector<std::string>{"AT24C64", "AT24C65"}));
    EXPECT_EQ(Completions("dump x.bin --card s44").size(), 4u);
    EXPECT_EQ(Completions("mag-read "), (std::vector<std::string>{"2", "3", "23"}));
    EXPECT_EQ(Completions("mag-setting k"), std::vector<std::string>{"K"});
    EXPECT_EQ(Completions("dump f --form"), std::vector<std::string>{"--format"});
    EXPECT_EQ(Completions("qu"), std::vector<std::string>{"quit"});
    EXPECT_TRUE(Completions("status ").empty());
    std::string dir = ::testing::TempDir() + "qd500-complete-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    ::mkdir((dir + "/sub").c_str(), 0700);
    std::ofstream(dir + "/script.txt") << "status\n";
    EXPECT_EQ(Completions("run " + dir + "/sc"), std::vector<std::string>{dir + "/script.txt"});
    EXPECT_EQ(Completions("run " + dir + "/su"), std::vector<std::string>{dir + "/sub/"});
    std::remove((dir + "/script.txt").c_str());
    ::rmdir((dir + "/sub").c_str());
    ::rmdir(dir.c_str());
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
