// Every command of the tool against the reader simulator: what the user
// sees, and what reached (or did not reach) the line.
#include <cstdio>
#include <fstream>

#include "CliTestUtil.h"

namespace qd500::cli::test {
namespace {

std::string Field(const std::string& out, const std::string& name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
    return "";
}

// ---- cryptography: no reader, published vectors ----

TEST(Crypto, TripleDesWithEqualHalvesIsSingleDes) {
    ToolRun r = Qd500({"3des", "4e6f772069732074", "0123456789ABCDEF0123456789ABCDEF"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "encrypted"), "3FA40E8A984D4815");
}

TEST(Crypto, DiversifyIsTripleDesOfTheDataAndOfItsComplement) {
    const std::string data = "1122334455667788", key = "000102030405060708090A0B0C0D0E0F";
    std::string complement = Field(Qd500({"xor", data, "FFFFFFFFFFFFFFFF"}).out, "xor");
    ASSERT_EQ(complement, "EEDDCCBBAA998877");
    std::string left = Field(Qd500({"3des", data, key}).out, "encrypted");
    std::string right = Field(Qd500({"3des", complement, key}).out, "encrypted");
    ToolRun r = Qd500({"diversify", data, key});
    EXPECT_EQ(r.rc, kOk);
    EXPECT_EQ(Field(r.out, "key"), left + right);
    EXPECT_NE(left, right);
}

// ---- raw frame ----

class Raw : public SimTest {};

TEST_F(Raw, FrameAddsTheChecksumAndShowsTheReply) {
    ToolRun r = On({"frame", "41"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "status"), "00");
    // The simulator's default version text, as hex.
    EXPECT_EQ(Field(r.out, "data"), "51443530302D53494D2056312E30");
    EXPECT_TRUE(Has(r.out, "result: 0 成功！"));
}

TEST_F(Raw, ReaderRefusalIsAFailureWithTheReadersMessage) {
    ToolRun r = On({"frame", "55"});  // default card is CPU; power without a card type is fine, so remove it
    ASSERT_EQ(r.rc, kOk);
    server.Remove();
    ToolRun none = On({"frame", "55"});
    EXPECT_EQ(none.rc, kFailed);
    EXPECT_TRUE(Has(none.err, "result 21: 无卡!")) << none.err;
}

// ---- magnetic stripe ----

class Magnetic : public SimTest {};

TEST_F(Magnetic, WrittenTracksReadBack) {
    ASSERT_EQ(On({"mag-write", "2", "1234567890123=4567"}).rc, kOk);
    ToolRun two = On({"mag-read", "2"});
    EXPECT_EQ(two.rc, kOk) << two.err;
    EXPECT_EQ(Field(two.out, "track2"), "1234567890123=4567");
    EXPECT_EQ(Field(two.out, "track3"), "");

    ASSERT_EQ(On({"mag-write", "3", "99887766=55"}).rc, kOk);
    EXPECT_EQ(Field(On({"mag-read", "3"}).out, "track3"), "99887766=55");

    ToolRun both = On({"mag-write", "--prefix", "23", "111=22", "333=44"});
    EXPECT_EQ(both.rc, kOk) << both.err;
    EXPECT_TRUE(Has(both.out, "result: 0 成功!"));
    ToolRun read = On({"mag-read"});
    EXPECT_EQ(Field(read.out, "track2"), "111=22");
    EXPECT_EQ(Field(read.out, "track3"), "333=44");
}

TEST_F(Magnetic, BadTrackArgumentsSendNothing) {
    EXPECT_EQ(On({"mag-write", "4", "123"}).rc, kUsage);
    EXPECT_EQ(On({"mag-write", "23", "123"}).rc, kUsage);
    EXPECT_EQ(On({"mag-write", "2", std::string(251, '1')}).rc, kUsage);
    EXPECT_EQ(On({"mag-read", "1"}).rc, kUsage);
    EXPECT_EQ(On({"mag-setting", "Q"}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(Magnetic, HeadSettingOnTheSession) {
    ToolRun r = On({"mag-setting", "K"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "设置正确"));
}

class UnreadableTrack : public SimTest {
protected:
    static qd500sim::Scenario Scenario() {
        auto s = qd500sim::Scenario::Default();
        s.track2.reset();
        return s;
    }
    UnreadableTrack() : SimTest(Scenario()) {}
};

TEST_F(UnreadableTrack, FailureExitsNonZeroWithTheMessageOnStderr) {
    ToolRun r = On({"mag-read", "2"});
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "读卡错误!")) << r.err;
    ToolRun both = On({"--json", "mag-read", "23"});
    EXPECT_EQ(both.rc, kFailed);
    EXPECT_TRUE(Has(both.out, "\"message\":\"未读到二磁道数据!\"")) << both.out;
}

// ---- AT24 one-shot ----

class At24 : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(server.Insert("AT24C16"));
    }
};

TEST_F(At24, WriteThenReadBack) {
    ASSERT_EQ(On({"at24-write", "0x0040", "A1A2A3A4A5"}).rc, kOk);
    ToolRun r = On({"at24-read", "40", "5"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), "A1A2A3A4A5");
}

TEST_F(At24, LongTransfersGoInChunksTheReaderCarries) {
    std::string data;
    for (int i = 0; i < 300; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", i % 255 + 1);  // no 00: the write cannot carry it
        data += b;
    }
    ASSERT_EQ(On({"at24-write", "0100", data}).rc, kOk);
    EXPECT_EQ(SentWithCode("57"), 3u);  // 121 + 121 + 58
    ToolRun r = On({"at24-read", "0100", "300"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), data);
    EXPECT_EQ(SentWithCode("52"), 3u);  // 128 + 128 + 44
}

TEST_F(At24, ZeroBytesAndRangesAreRefusedBeforeTheLine) {
    ToolRun zero = On({"at24-write", "0", "11002233"});
    EXPECT_EQ(zero.rc, kUsage);
    EXPECT_TRUE(Has(zero.err, "00 byte at offset 1")) << zero.err;
    EXPECT_EQ(On({"at24-read", "FFFF", "2"}).rc, kUsage);
    EXPECT_EQ(On({"at24-read", "0", "0"}).rc, kUsage);
    EXPECT_EQ(On({"at24-read", "0", "4", "--device", "256"}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(At24, NoCardFailsWithTheReadersMessage) {
    server.Remove();
    ToolRun r = On({"at24-read", "0", "4"});
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "无卡!")) << r.err;
}

// ---- SLE44xx and AT88SC on the session ----

class Sle4442 : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(server.Insert("S4442"));
    }
    // Card type and power through raw frames, so these tests stand on the
    // memory commands alone.
    std::string Prelude() { return "port " + server.SlavePath() + "\ntimeout 2\nframe 5442\nframe 55\n"; }
};

TEST_F(Sle4442, PscProtectionBitsAndComparison) {
    ToolRun r = Qd500({"shell"}, Prelude() +
                                 "sle4442-protection\n"
                                 "sle-verify 123456\n"
                                 "sle-verify FFFFFF\n"
                                 "sle-compare-write 04 FF\n"
                                 "sle4442-protection\n"
                                 "sle-change-pin 010203\n"
                                 "sle-verify 010203\n");
    // Bytes 0-3 protected at the factory (bit clear), then byte 4 by the comparison.
    EXPECT_TRUE(Has(r.out, "protection: F0FFFFFF\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "protection: E0FFFFFF\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "sle-verify: result 31: 密码错或没校验密码!")) << r.err;
    EXPECT_EQ(r.rc, kOk) << r.err;  // the last line (new PSC) succeeded
}

TEST_F(Sle4442, ComparisonMismatchIsRefused) {
    ToolRun r = Qd500({"shell"}, Prelude() + "sle-verify FFFFFF\nsle-compare-write 00 A2131092\n");
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "result 32")) << r.err;
}

class Sle4428 : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(server.Insert("S4428"));
    }
};

TEST_F(Sle4428, WriteProtectedThenReadWithProtectionBits) {
    ToolRun r = Qd500({"shell"}, "port " + server.SlavePath() +
                                 "\nframe 5428\nframe 55\nsle-verify FFFF\n"
                                 "sle4428-write-protected 0010 AABBCC\n"
                                 "sle4428-read-protected 0010 10\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "data: AABBCC")) << r.out;
    // First three bytes protected (bit 0 = byte 0x10), the rest writable.
    EXPECT_TRUE(Has(r.out, "protection: F803")) << r.out;
}

class At88 : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(server.Insert("AT88SC102A"));
    }
};

TEST_F(At88, CodeEraseAndPersonalise) {
    std::string prelude = "port " + server.SlavePath() + "\nframe 5452\nframe 55\n";
    ToolRun before = Qd500({"shell"}, prelude + "at88-erase 0020 4\n");
    EXPECT_EQ(before.rc, kFailed);
    EXPECT_TRUE(Has(before.err, "result 31")) << before.err;
    ToolRun r = Qd500({"shell"}, prelude + "at88-verify 000A FFFF\nat88-erase 0020 4\nat88-personalise 0010\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(On({"at88-erase", "0", "256"}).rc, kUsage);
}

// ---- the trace log ----

class Trace : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        path = ::testing::TempDir() + "qd500-cli-trace-" + std::to_string(::getpid()) + ".log";
        std::remove(path.c_str());
        setenv("QD500_TRACE_FILE", path.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QD500_TRACE_FILE");
        std::remove(path.c_str());
        SimTest::TearDown();
    }
    std::string path;
};

TEST_F(Trace, DecodeSplitsFramesAndReplies) {
    ASSERT_TRUE(server.Insert("S4442"));
    ASSERT_EQ(On({"frame", "5442"}).rc, kOk);
    ASSERT_EQ(On({"frame", "55"}).rc, kOk);
    ASSERT_EQ(On({"mag-read", "2"}).rc, kOk);
    server.Remove();
    On({"frame", "55"});

    ToolRun r = Qd500({"trace", "decode", path});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "send 54 select card type type=42 (S4442); bcc 16 ok")) << r.out;
    EXPECT_TRUE(Has(r.out, "recv status 00 成功！ (success); data A2131091; bcc")) << r.out;
    EXPECT_TRUE(Has(r.out, "send raw")) << r.out;  // the magnetic read
    EXPECT_TRUE(Has(r.out, "recv status 21 无卡! (no card); no data")) << r.out;
    // Every line has its time stamp; the blank lines after replies are gone.
    std::istringstream lines(r.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) EXPECT_EQ(line.substr(2, 1), "/") << line;
    EXPECT_EQ(count, 8);

    ToolRun missing = Qd500({"trace", "decode", path + ".none"});
    EXPECT_EQ(missing.rc, kUsage);
    EXPECT_EQ(Qd500({"trace", "show"}).rc, kUsage);
}

TEST(TraceText, ChecksumsTellApdusAndWrongFrames) {
    // Smart-card frames lose their 5A in the log; their checksum still has it.
    std::string log =
        "--01/02 03:04:05:006 \xC3\xFC\xC1\xEE=[0084000004DA]\n"
        "--01/02 03:04:05:010 \xD3\xA6\xB4\xF0=[000102030490009C]\n\n"
        "--01/02 03:04:05:020 \xC3\xFC\xC1\xEE=[5200201099]\n";
    std::istringstream in(log);
    std::ostringstream out;
    DecodeTrace(in, out);
    std::string text = out.str();
    EXPECT_TRUE(Has(text, "send 5A GET CHALLENGE: CLA=00 INS=84 P1=00 P2=00 P3=04; bcc DA ok")) << text;
    EXPECT_TRUE(Has(text, "sw 9000 response 01020304")) << text;
    EXPECT_TRUE(Has(text, "52 read card memory addrH=00 addrL=20 count=10; bcc 99 WRONG (expected 62)")) << text;
}

// ---- scripts ----

class Script : public SimTest {
protected:
    std::string Write(const std::string& text) {
        std::string file = ::testing::TempDir() + "qd500-cli-script-" + std::to_string(::getpid()) + ".txt";
        std::ofstream(file) << text;
        files.push_back(file);
        return file;
    }
    void TearDown() override {
        for (auto& f : files) std::remove(f.c_str());
        SimTest::TearDown();
    }
    std::vector<std::string> files;
};

TEST_F(Script, OneSessionForManyCommands) {
    std::ostringstream out, err;
    std::istringstream in;
    Context ctx(out, err, in);
    ctx.SetPort(server.SlavePath());
    std::istringstream lines("# a script\n frame 47\nframe 41\n\nmag-setting A\nxor 0000000000000001 0000000000000010\n");
    EXPECT_EQ(ctx.RunLines(lines, "test", false), kOk) << err.str();
    EXPECT_EQ(ctx.sessionOpens(), 1);
    EXPECT_TRUE(Has(out.str(), "> mag-setting A"));
    EXPECT_TRUE(Has(out.str(), "xor: 0000000000000011"));
}

TEST_F(Script, RunStopsAtTheFirstFailureAndNamesTheLine) {
    std::string file = Write("frame 47\nframe 4G\nframe 41\n");
    ToolRun r = On({"run", file});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, file + ":2: failed")) << r.err;
    EXPECT_EQ(Sent(), 1u);  // line 3 never ran, line 2 sent nothing
    ToolRun going = On({"run", "--keep-going", file});
    EXPECT_EQ(going.rc, kUsage);
    EXPECT_EQ(Sent(), 3u);
    EXPECT_EQ(On({"run", file + ".none"}).rc, kUsage);
}

TEST_F(Script, ShellReadsPipedLinesAndStopsAtQuit) {
    ToolRun r = On({"shell"}, "xor 00000000000000FF 0000000000000001\nbogus\nquit\nxor 0 0\n");
    EXPECT_TRUE(Has(r.out, "xor: 00000000000000FE"));
    EXPECT_TRUE(Has(r.err, "unknown command 'bogus'"));
    EXPECT_FALSE(Has(r.err, "8 bytes")) << "a line after quit ran";
}

// ---- the tour ----

TEST(Demo, EveryStepAsExpected) {
    ToolRun r = Qd500({"demo"});
    EXPECT_EQ(r.rc, kOk) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "steps as expected")) << r.out;
    EXPECT_FALSE(Has(r.out, "NOT AS EXPECTED")) << r.out;
}

}  // namespace
}  // namespace qd500::cli::test
