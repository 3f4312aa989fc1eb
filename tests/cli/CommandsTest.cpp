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

// ---- reader control and the CPU card ----

class Cpu : public SimTest {};

TEST_F(Cpu, CardTypePowerAndDeviceCommands) {
    ToolRun r = Qd500({"shell"}, "port " + server.SlavePath() +
                                     "\ncard-type CPU\npower-on\nstatus\nversion\ndevice-no 7\npower-off\neject\nstatus\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "atr: 3B680000514435303053494D")) << r.out;
    EXPECT_TRUE(Has(r.out, "state1: 01\nstate2: 01\nstate3: 88")) << r.out;  // card in, powered, type CPU
    EXPECT_TRUE(Has(r.out, "version: QD500-SIM V1.0")) << r.out;
    EXPECT_TRUE(Has(r.out, "state1: 00")) << r.out;  // ejected
    unsigned device = 0;
    server.WithReader([&](qd500sim::Reader& reader) { device = reader.device_number(); });
    EXPECT_EQ(device, 7u);
}

TEST_F(Cpu, BadCardTypeAndDeviceNumberSendNothing) {
    ToolRun r = On({"card-type", "cpu"});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "unknown card type 'cpu'")) << r.err;
    EXPECT_EQ(On({"device-no", "100"}).rc, kUsage);
    EXPECT_EQ(On({"get-response", "257"}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(Cpu, ApdusWithAndWithoutBlanks) {
    std::string prelude = "port " + server.SlavePath() + "\ncard-type CPU\npower-on\n";
    ToolRun r = Qd500({"shell"}, prelude +
                                     "apdu 00A4000002 3F00 --expect 9000\n"
                                     "apdu '00 A4 00 00 02 00 15' --expect 9000\n"
                                     "apdu 00 B0 00 00 05\n"
                                     "challenge --expect 9000\n"
                                     "select 9999\n");
    EXPECT_EQ(r.rc, kOk) << r.err;  // select of a missing file is the card's verdict, not a failure
    EXPECT_TRUE(Has(r.out, "response: 5144353030")) << r.out;  // "QD500" from EF 0015
    EXPECT_TRUE(Has(r.out, "sw: 6A82")) << r.out;
    ToolRun expect = Qd500({"shell"}, prelude + "select 9999 --expect 9000\n");
    EXPECT_EQ(expect.rc, kFailed);
    EXPECT_TRUE(Has(expect.err, "status word 6A82, expected 9000")) << expect.err;
}

TEST_F(Cpu, MalformedApdusAreRefusedBeforeTheLine) {
    EXPECT_EQ(On({"apdu", "00A400"}).rc, kUsage);             // no P2
    EXPECT_EQ(On({"apdu", "00A4000002", "3F"}).rc, kUsage);   // P3 says 2, one follows
    EXPECT_EQ(On({"apdu", "00A4000002", "3F0"}).rc, kUsage);  // odd digits
    EXPECT_EQ(On({"select", "3F"}).rc, kUsage);
    EXPECT_EQ(On({"apdu", "00A40000FF" + std::string(512, 'A')}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(Cpu, PinVerification) {
    std::string prelude = "port " + server.SlavePath() + "\ncard-type CPU\npower-on\nselect 3F00\n";
    EXPECT_EQ(Qd500({"shell"}, prelude + "verify-pin 123456 --ref 01\n").rc, kOk);
    ToolRun wrong = Qd500({"shell"}, prelude + "verify-pin 111111 --ref 01\n");
    EXPECT_EQ(wrong.rc, kFailed);
    EXPECT_TRUE(Has(wrong.err, "result 31")) << wrong.err;
}

class Personalisation : public SimTest {
protected:
    std::string profile = ::testing::TempDir() + "qd500-cli-" + std::to_string(::getpid()) + ".profile";
    void TearDown() override {
        std::remove(profile.c_str());
        SimTest::TearDown();
    }
};

TEST_F(Personalisation, ProfileRebuildsTheCardAndReadsBack) {
    std::ofstream(profile) << "deletemf\ncreatemf\nendmf\nselect 3F00\n"
                              "createfile 0007 01 0008 00 00\nwritebin 0102030405060708\n";
    std::string prelude = "port " + server.SlavePath() + "\ncard-type CPU\npower-on\n";
    ToolRun r = Qd500({"shell"}, prelude + "personalise " + profile + "\nselect 0007 --expect 9000\napdu 00B0000008\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "steps: 6")) << r.out;
    EXPECT_TRUE(Has(r.out, "response: 0102030405060708")) << r.out;
    // The old file system is gone.
    EXPECT_EQ(Qd500({"shell"}, prelude + "select 0015 --expect 9000\n").rc, kFailed);
}

TEST_F(Personalisation, BadProfileLineStopsEverythingBeforeItIsSent) {
    std::ofstream(profile) << "select 3F00\nwritebin 0102030\n";
    ToolRun r = On({"personalise", profile});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, profile + ":2: bad hex")) << r.err;
    std::ofstream(profile) << "select 3F00\nformat\n";
    EXPECT_TRUE(Has(On({"personalise", profile}).err, "unknown step 'format'"));
    std::ofstream(profile) << "createfile 0007\n";
    EXPECT_TRUE(Has(On({"personalise", profile}).err, "exactly 7 bytes"));
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(Personalisation, StepTheCardRefusesEndsTheRun) {
    std::ofstream(profile) << "select 3F00\ncreatemf\nselect 0015\n";  // the MF exists already
    std::string prelude = "port " + server.SlavePath() + "\ncard-type CPU\npower-on\n";
    ToolRun r = Qd500({"shell"}, prelude + "personalise " + profile + "\n");
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "line 2 createmf answered sw 6A89")) << r.err;
    EXPECT_FALSE(Has(r.out, "line 3")) << r.out;
}

class Memory : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(server.Insert("AT24C64"));
    }
};

TEST_F(Memory, SessionReadsAndWritesInChunks) {
    std::string data;
    for (int i = 0; i < 200; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", (i * 7) & 0xFF);  // zeros included: this write carries them
        data += b;
    }
    ToolRun r = Qd500({"shell"}, "port " + server.SlavePath() + "\ncard-type AT24C64\npower-on\nwrite 0x0300 " + data +
                                     "\nread 300 200\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), data);
    EXPECT_EQ(SentWithCode("57"), 2u);
    EXPECT_EQ(SentWithCode("52"), 2u);
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
