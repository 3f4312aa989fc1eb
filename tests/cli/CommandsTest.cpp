// Every command of the tool against the reader simulator: what the user
// sees, and what reached (or did not reach) the line.
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "CliTestUtil.h"

namespace qd500::cli::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

nlohmann::json LastJson(const std::string& out) {
    std::string last = out.substr(out.rfind('{'));
    return nlohmann::json::parse(last);
}

// ---- raw frame ----

class Raw : public SimTest {};

TEST_F(Raw, FrameAddsTheChecksumAndShowsTheReply) {
    ToolRun r = On({"frame", "41"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "reader-status"), "00");
    // The simulator's default version text, as hex.
    EXPECT_EQ(Field(r.out, "data"), "51443530302D53494D2056312E30");
    server.Remove();
    ToolRun none = On({"frame", "55"});
    EXPECT_EQ(none.rc, kFailed);
    EXPECT_TRUE(Has(none.err, "result 21: no card in the reader (无卡!)")) << none.err;
}

// ---- 1: English by default, the reader's text beside it ----

class Language : public SimTest {
protected:
    Language() : SimTest(qd500sim::Scenario::WithCard("S4442")) {}
};

TEST_F(Language, EnglishChineseAndJsonCarryResultStatusAndTexts) {
    ASSERT_EQ(Shell("card-type S4442\npower-on\n").rc, kOk);
    nlohmann::json j = LastJson(On({"-j", "sle-verify", "010203"}).out);
    EXPECT_EQ(j["result"], 31);
    EXPECT_EQ(j["status"], "31");
    EXPECT_EQ(j["message"], "密码错或没校验密码!");
    EXPECT_EQ(j["meaning"], "wrong code or code not presented");
    ToolRun en = Shell("sle-verify 010203\nsle-verify FFFFFF\n");  // the right code resets the count
    EXPECT_TRUE(Has(en.err, "sle-verify: result 31: wrong code or code not presented (密码错或没校验密码!)")) << en.err;
    ToolRun zh = On({"--lang", "zh", "sle-verify", "010203"});
    EXPECT_TRUE(Has(zh.err, "sle-verify: result 31: 密码错或没校验密码!\n")) << zh.err;
    EXPECT_FALSE(Has(zh.err, "wrong code or")) << zh.err;
    // Success reads the same for every command; its status is the reader's code.
    ToolRun ok = Shell("sle-verify FFFFFF\nmag-setting K\nversion\n");
    std::string line = "result 0: success (成功！)\n";
    size_t count = 0;
    for (size_t at = ok.out.find(line); at != std::string::npos; at = ok.out.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 3u) << ok.out;
    EXPECT_EQ(LastJson(On({"-j", "power-on"}).out)["status"], "00");
}

// ---- 2: status words with their meanings ----

class Cpu : public SimTest {
protected:
    std::string Prelude() { return "card-type CPU\npower-on\n"; }
};

TEST_F(Cpu, StatusWordsWithTheirMeaningsWarningsAndExpect) {
    ToolRun r = Shell(Prelude() +
                      "apdu 00A4000002 3F00 --expect 9000\n"
                      "apdu '00 A4 00 00 02 00 15' --expect 9000\n"
                      "apdu 00 B0 00 00 05\n"
                      "apdu 00 A4 00 00 02 3F 00 00\n"  // case 4: Le after the data
                      "select 9999\n");
    EXPECT_EQ(r.rc, kOk) << r.err;                             // a missing file is the card's verdict, not a failure
    EXPECT_TRUE(Has(r.out, "response: 5144353030")) << r.out;  // "QD500" from EF 0015
    EXPECT_TRUE(Has(r.out, "sw: 6A82 file or application not found\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "select: warning: status word 6A82: file or application not found")) << r.err;
    EXPECT_FALSE(Has(r.err, "apdu: warning")) << r.err;
    ToolRun expect = Shell(Prelude() + "select 9999 --expect 9000\n");
    EXPECT_EQ(expect.rc, kFailed);
    EXPECT_TRUE(Has(expect.err, "status word 6A82 (file or application not found), expected 9000 (normal processing)"))
        << expect.err;
    auto j = LastJson(On({"-j", "select", "9999"}).out);
    EXPECT_EQ(j["sw"], "6A82");
    EXPECT_EQ(j["sw-meaning"], "file or application not found");
}

TEST_F(Cpu, CardTypePowerAndDeviceCommands) {
    ToolRun r = Shell(Prelude() + "status\nversion\ndevice-no 7\npower-off\neject\nstatus\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "atr: 3B680000514435303053494D")) << r.out;
    EXPECT_TRUE(Has(r.out, "state1: 01\nstate2: 01\nstate3: 88\ncard: present\npowered: yes\ncard-type: CPU")) << r.out;
    EXPECT_TRUE(Has(r.out, "version: QD500-SIM V1.0")) << r.out;
    EXPECT_TRUE(Has(r.out, "state1: 00")) << r.out;  // ejected
    unsigned device = 0;
    server.WithReader([&](qd500sim::Reader& reader) { device = reader.device_number(); });
    EXPECT_EQ(device, 7u);
}

TEST_F(Cpu, MalformedApdusAndArgumentsAreRefusedBeforeTheLine) {
    EXPECT_EQ(On({"apdu", "00A400"}).rc, kUsage);              // no P2
    EXPECT_EQ(On({"apdu", "00A4000002", "3F"}).rc, kUsage);    // P3 says 2, one follows
    EXPECT_EQ(On({"apdu", "00A4000002", "3F0"}).rc, kUsage);   // odd digits
    EXPECT_EQ(On({"apdu", "00A4000000", "3F00"}).rc, kUsage);  // an extended length
    EXPECT_EQ(On({"apdu", "00A40000FF" + std::string(514, 'A')}).rc, kUsage);
    EXPECT_EQ(On({"select", "3F"}).rc, kUsage);
    EXPECT_EQ(On({"select", "3F00", "--expect", "90"}).rc, kUsage);
    EXPECT_TRUE(
        Has(On({"card-type", "cpux"}).err, "unknown card type 'cpux'; the card types are CPU, S4418 (SLE4418)"));
    EXPECT_EQ(On({"device-no", "100"}).rc, kUsage);
    EXPECT_EQ(On({"get-response", "257"}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
}

// ---- 3: codes that lock cards ----

TEST_F(Cpu, WrongPinShowsTheTriesLeftAndTheAskingSpendsNone) {
    ToolRun r = Shell(Prelude() + "select 3F00\nverify-pin 111111 --ref 01\nverify-pin 222222 --ref 01\n");
    EXPECT_TRUE(Has(r.err, "verify-pin: result 31")) << r.err;
    EXPECT_TRUE(Has(r.out, "sw: 63C2 verification failed, 2 tries left\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "sw: 63C1 verification failed, 1 try left\n")) << r.out;
    EXPECT_EQ(Shell(Prelude() + "select 3F00\nverify-pin 123456 --ref 01\n").rc, kOk);
    // The default reference names no PIN on this card: said so, with the way out.
    EXPECT_TRUE(Has(Shell(Prelude() + "verify-pin 123456\n").err,
                    "no PIN under key reference 00, the default: give "
                    "--ref RR"));
}

class Codes : public SimTest {
protected:
    Codes() : SimTest(qd500sim::Scenario::WithCard("S4442")) {}
};

TEST_F(Codes, WrongLengthIsRefusedBeforeTheCodeIsSent) {
    ASSERT_EQ(Shell("card-type S4442\npower-on\n").rc, kOk);
    // A new run learns the type from the reader's status.
    ToolRun two = On({"sle-verify", "FFFF"});
    EXPECT_EQ(two.rc, kUsage);
    EXPECT_TRUE(Has(two.err, "the PSC of an S4442 is 3 bytes, not 2: nothing was sent")) << two.err;
    size_t sent = Sent();
    EXPECT_EQ(On({"sle-verify", "--card", "S4428", "FFFFFF"}).rc, kUsage);
    EXPECT_EQ(On({"sle-change-pin", "--card", "S4442", "FF FF"}).rc, kUsage);
    EXPECT_EQ(Sent(), sent);
    EXPECT_EQ(SentWithCode("56"), 0u);
    EXPECT_EQ(SentWithCode("53"), 0u);
}

TEST_F(Codes, WrongCodeSaysHowManyTheCardAllows) {
    ToolRun r = Shell("card-type S4442\npower-on\nsle-verify 010203\n");
    EXPECT_TRUE(
        Has(r.err, "an S4442 allows 3 wrong codes in a row, then locks for good; a right code resets the count"))
        << r.err;
    server.Insert("S4428");
    ToolRun sle4428 = Shell("card-type s4428\npower-on\nsle-verify 0102\n");
    EXPECT_TRUE(Has(sle4428.err, "an S4428 allows 8 wrong codes")) << sle4428.err;
    server.Insert("AT88SC102A");
    ToolRun at88 = Shell("card-type AT88SC102A\npower-on\nat88-verify 000A 0102\nat88-verify 000A 010203\n");
    EXPECT_TRUE(Has(at88.err, "an AT88SC102A allows 4 wrong codes")) << at88.err;
    EXPECT_TRUE(Has(at88.err, "the security code of an AT88SC102A is 2 bytes, not 3")) << at88.err;
}

// ---- 4: dumps and restores ----

class Dump : public SimTest {
protected:
    Dump() : SimTest(qd500sim::Scenario::WithCard("AT24C64")) {}
    static std::string Pattern(size_t n, int seed) {
        std::string hex;
        for (size_t i = 0; i < n; ++i) hex += ToHex({static_cast<uint8_t>(i * 7 + static_cast<size_t>(seed))});
        return hex;
    }
};

TEST_F(Dump, WholeCardByItsTypeIntoAFileAndBack) {
    ASSERT_EQ(Shell("card-type AT24C64\npower-on\nwrite 1F00 " + Pattern(256, 1) + "\n").rc, kOk);
    TempFile file("whole.bin");
    size_t reads = SentWithCode("52");
    ToolRun r = On({"dump", "--card", "at24c64", file.path});
    EXPECT_EQ(r.rc, kOk) << r.err;
    std::string bytes = ReadFile(file.path);
    ASSERT_EQ(bytes.size(), 8192u);  // the card's size from its type
    EXPECT_EQ(ToHex(std::vector<uint8_t>(bytes.begin() + 0x1F00, bytes.end())), Pattern(256, 1));
    EXPECT_EQ(SentWithCode("52") - reads, 64u);
    EXPECT_GE(SentWithCode("5407"), 2u);  // selected as what it is, not as an AT24C16
    // Restore a changed copy; the reading back finds it all.
    bytes[0x10] = 0x42;
    std::ofstream(file.path, std::ios::binary) << bytes;
    ToolRun back = On({"restore", "--card", "AT24C64", file.path});
    EXPECT_EQ(back.rc, kOk) << back.err;
    EXPECT_EQ(Field(back.out, "verified"), "yes");
    EXPECT_EQ(Field(Shell("power-on\nread 10 1\n").out, "data"), "42");
}

TEST_F(Dump, HexFormatRestoresAtItsOffsets) {
    server.Insert("S4442");
    TempFile file("range.txt");
    ASSERT_EQ(On({"dump", "--card", "S4442", "--format", "hex", file.path, "20", "20"}).rc, kOk);
    std::string text = ReadFile(file.path);
    EXPECT_EQ(text,
              "00000020  FF FF FF FF FF FF FF FF  FF FF FF FF FF FF FF FF  |................|\n"
              "00000030  FF FF FF FF                                       |....|\n");
    text.replace(text.find("FF"), 2, "51");
    std::ofstream(file.path) << text;
    // A piece of the card: refused as an image of it, written with --partial.
    ToolRun whole = On({"restore", "--card", "S4442", "--psc", "FFFFFF", file.path});
    EXPECT_EQ(whole.rc, kUsage);
    EXPECT_TRUE(Has(whole.err, "is a hex dump of 20 bytes from 0x0020, not of an S4442's 256")) << whole.err;
    ToolRun r = On({"restore", "--card", "S4442", "--psc", "FFFFFF", "--partial", file.path});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(Shell("power-on\nread 20 2\n").out, "data"), "51FF");
    EXPECT_EQ(On({"restore", "--card", "S4442", "--partial", file.path, "10"}).rc, kUsage);  // a hex dump says where
}

class DumpFaults : public SimTest {
protected:
    // The third read waits 3 s; the second write is answered but not done.
    DumpFaults()
        : SimTest(ScenarioOf(R"({"card": {"type": "AT24C64"}, "faults": [
              {"kind": "delay", "command": "52", "skip": 2, "times": 1, "delay_ms": 3000},
              {"kind": "status", "command": "57", "status": "00", "skip": 1, "times": 1}]})")) {}
};

TEST_F(DumpFaults, CtrlCKeepsWhatWasReadAndAnOlderFileSurvivesAFailure) {
    TempFile file("partial.bin", "older");
    server.Remove();
    EXPECT_EQ(On({"dump", "--card", "AT24C64", file.path}).rc, kFailed);
    EXPECT_EQ(ReadFile(file.path), "older");
    server.Insert("AT24C64");
    InProcess p;
    p.ctx.SetPort(server.SlavePath());
    std::thread ctrlC([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        p.ctx.Interrupt();
    });
    auto start = Clock::now();
    int rc = p.ctx.Execute({"dump", "--card", "AT24C64", file.path});
    ctrlC.join();
    EXPECT_EQ(rc, kFailed);
    EXPECT_WITHIN(SecondsSince(start), 2.0);  // the wait ended, it was not sat out
    EXPECT_EQ(ReadFile(file.path).size(), 256u);
    EXPECT_TRUE(Has(p.err.str(), "interrupted: 256 of 8192 bytes read, kept in " + file.path)) << p.err.str();
}

class DumpProgress : public SimTest {
protected:
    // The second read of an SLE4442's two takes 300 ms.
    DumpProgress()
        : SimTest(ScenarioOf(R"({"card": {"type": "S4442"}, "faults": [
              {"kind": "delay", "command": "52", "skip": 1, "times": 1, "delay_ms": 300}]})")) {}
};

TEST_F(DumpProgress, OnATerminalWithRateAndTimeLeft) {
    TempFile file("progress.bin");
    InProcess p;
    p.ctx.terminal = true;
    p.ctx.SetPort(server.SlavePath());
    EXPECT_EQ(p.ctx.Execute({"dump", "--card", "S4442", file.path}), kOk) << p.err.str();
    std::string progress = p.err.str();
    EXPECT_TRUE(Has(progress, "\r128/256 bytes  50%")) << progress;
    EXPECT_TRUE(Has(progress, "\r256/256 bytes 100%  ") && Has(progress, " B/s  0.0 s left")) << progress;
    EXPECT_TRUE(Has(progress, "\r\033[K")) << progress;  // and gone at the end
}

TEST_F(DumpFaults, RestoreReportsTheFirstDifferingOffset) {
    TempFile file("restore.bin", std::string(200, 'Z'));  // two writes, two reads
    ToolRun r = On({"restore", "--card", "AT24C64", "--partial", file.path, "100"});
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "verify: first difference at 0x0179: the card holds FF, the file 5A")) << r.err;
}

// ---- the AT24 sequence with the card's own type ----

class At24 : public SimTest {
protected:
    At24() : SimTest(qd500sim::Scenario::WithCard("AT24C64")) {}
};

TEST_F(At24, SequenceCarriesAnyBytesUnderTheCardsType) {
    std::string data = std::string(600, '0') + "A1A2";  // zero bytes are data
    ASSERT_EQ(On({"at24-write", "--card", "AT24C64", "1000", data}).rc, kOk);
    EXPECT_EQ(SentWithCode("57"), 3u);             // 121 + 121 + 60
    ToolRun r = On({"at24-read", "1000", "302"});  // the type from the reader's status
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), data);
    EXPECT_EQ(SentWithCode("5405"), 0u);  // never taken as an AT24C16
    EXPECT_EQ(SentWithCode("55"), 2u);
    EXPECT_EQ(SentWithCode("44"), 2u);
}

TEST_F(At24, RangesAndDeviceNumbersAreRefusedBeforeTheLine) {
    EXPECT_TRUE(
        Has(On({"at24-read", "--card", "AT24C64", "1FFF", "2"}).err, "run past the end of an AT24C64 (8192 bytes)"));
    EXPECT_EQ(On({"at24-read", "FFFF", "2"}).rc, kUsage);
    EXPECT_EQ(On({"at24-read", "0", "0"}).rc, kUsage);
    EXPECT_EQ(On({"at24-read", "0", "4", "--device", "256"}).rc, kUsage);
    EXPECT_EQ(On({"at24-read", "0", "4", "--card", "S4442"}).rc, kUsage);
    EXPECT_EQ(Sent(), 0u);
    server.Remove();
    EXPECT_TRUE(Has(On({"at24-read", "0", "4"}).err, "无卡!"));
}

// ---- 5: ports ----

class Ports : public SimTest {};

TEST_F(Ports, RelativePathDefaultPortAndTheSystemsReason) {
    std::string relative = std::filesystem::relative(server.SlavePath()).string();
    EXPECT_EQ(Qd500({"-p", relative, "status"}).rc, kOk);
    ::setenv("QD500_PORT", server.SlavePath().c_str(), 1);
    ToolRun byDefault = Qd500({"status"});
    ::unsetenv("QD500_PORT");
    EXPECT_EQ(byDefault.rc, kOk) << byDefault.err;
    qd500_reader* holder = nullptr;
    ASSERT_EQ(qd500_open(server.SlavePath().c_str(), &holder), 0);
    ToolRun busy = On({"status"});
    qd500_close(holder);
    EXPECT_EQ(busy.rc, kFailed);
    EXPECT_TRUE(Has(busy.err, "cannot open " + server.SlavePath() + ": busy")) << busy.err;
}

TEST_F(Ports, ProbeTellsTheReaderASilentLineAndAMissingDevice) {
    int master = -1, slave = -1;
    char silent[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, silent, nullptr, nullptr), 0);
    ::close(slave);
    auto start = Clock::now();
    ToolRun r = Qd500({"ports", "--probe", server.SlavePath(), silent, "/dev/no-such-tty"});
    double seconds = SecondsSince(start);
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(Field(r.out, server.SlavePath()), "the reader answers")) << r.out;
    EXPECT_EQ(Field(r.out, silent), "no answer");
    EXPECT_TRUE(Has(Field(r.out, "/dev/no-such-tty"), "cannot open: no such device")) << r.out;
    EXPECT_WITHIN(seconds, 1.5);  // at most a second for the silent one
    ToolRun quiet = Qd500({"-p", silent, "-t", "0.3", "status"});
    // A probe where nothing answers fails; a missing path is called so.
    EXPECT_EQ(Qd500({"ports", "--probe", silent}).rc, kFailed);
    ::close(master);
    EXPECT_EQ(Field(Qd500({"ports", "/dev/no-such-tty"}).out, "/dev/no-such-tty"), "missing: no such device");
    // The COM ports the environment maps are candidates too.
    ::setenv("QD500_COM42", server.SlavePath().c_str(), 1);
    ToolRun mapped = Qd500({"ports", "--probe"});
    ::unsetenv("QD500_COM42");
    EXPECT_EQ(mapped.rc, kOk) << mapped.err;
    EXPECT_TRUE(Has(Field(mapped.out, "COM42"), "the reader answers")) << mapped.out;
    EXPECT_TRUE(Has(quiet.err, std::string("no answer from the reader on ") + silent + ": check cable and power"))
        << quiet.err;
    EXPECT_EQ(Qd500({"ports"}).rc, kOk);
}

// ---- 6: conventions ----

class Conventions : public SimTest {
protected:
    Conventions() : SimTest(qd500sim::Scenario::WithCard("AT24C64")) {}
};

TEST_F(Conventions, VerboseFramesCaseAndBlanks) {
    ToolRun v = Qd500({"status", "-v", "-p", server.SlavePath()});
    EXPECT_EQ(v.rc, kOk) << v.err;
    EXPECT_TRUE(Has(v.err, "  send 47 device status; bcc 47 ok\n  recv status 00 成功！ (success); data 010000"))
        << v.err;
    ToolRun r = Shell("card-type at24c64\npower-on\nwrite 40 51 44 35\nread 40 3\nmag-setting k\nwrite 0x50 0x7E\n");
    EXPECT_TRUE(Has(r.out, "written: 1 byte\n")) << r.out;  // "0x" in front of hex, as addresses take it
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), "514435");
}

// ---- memory cards on the session ----

class Sle4442 : public SimTest {
protected:
    Sle4442() : SimTest(qd500sim::Scenario::WithCard("S4442")) {}
    // Card type and power through raw frames: the commands learn the type
    // from the reader.
    std::string Prelude() { return "frame 5442\nframe 55\n"; }
};

TEST_F(Sle4442, PscProtectionBitsAndComparison) {
    ToolRun r = Shell(Prelude() +
                      "sle4442-protection\n"
                      "sle-verify 123456\n"
                      "sle-verify FF FF FF\n"
                      "sle-compare-write 04 FF\n"
                      "sle4442-protection\n"
                      "sle-change-pin 010203\n"
                      "sle-verify 010203\n");
    // Bytes 0-3 protected at the factory (bit clear), then byte 4 by the comparison.
    EXPECT_TRUE(Has(r.out, "protection: F0FFFFFF\nprotected: 0x0000-0x0003\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "protection: E0FFFFFF\nprotected: 0x0000-0x0004\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "sle-verify: result 31")) << r.err;
    EXPECT_EQ(Shell("sle-compare-write 00 A2131092\n").rc, kFailed);  // a protected byte differs
    EXPECT_EQ(Shell("sle4428-write-protected 00 AA\n").rc, kUsage);   // not this card's command
}

// A write that would run past the card's end writes nothing, whether the
// type comes from the session or, between separate runs, from the reader.
TEST_F(Sle4442, AWritePastTheEndWritesNothing) {
    ASSERT_EQ(On({"card-type", "S4442"}).rc, kOk);
    ASSERT_EQ(On({"power-on"}).rc, kOk);
    ASSERT_EQ(On({"sle-verify", "FFFFFF"}).rc, kOk);
    const std::string data(600, 'A');  // 300 bytes from 0x20: past 256
    size_t writes = SentWithCode("57");
    ToolRun apart = On({"write", "20", data});
    EXPECT_EQ(apart.rc, kUsage);
    EXPECT_TRUE(Has(apart.err, "bytes 0x0020-0x014B run past the end of an S4442 (256 bytes)")) << apart.err;
    ToolRun session = Shell("card-type SLE4442\npower-on\nsle-verify FFFFFF\nwrite 20 " + data + "\n");
    EXPECT_TRUE(Has(session.err, "run past the end of an S4442 (256 bytes)")) << session.err;
    EXPECT_EQ(SentWithCode("57"), writes);
    // One that fits is written in its pieces.
    ToolRun fits = Shell("card-type S4442\npower-on\nsle-verify FFFFFF\nwrite 20 " + std::string(400, 'B') + "\n");
    EXPECT_TRUE(Has(fits.out, "written: 200 bytes")) << fits.out << fits.err;
}

// Within one run the try that would lock the card is refused without
// --force, and every wrong code says how many are left as the run counts.
TEST_F(Sle4442, TheLockingTryNeedsForce) {
    ToolRun r = Shell(
        "card-type S4442\npower-on\nsle-verify 000000\nsle-verify 000000\nsle-verify 000000\n"
        "sle-verify --force 000000\nsle-verify FFFFFF\nsle-verify --force FFFFFF\n");
    EXPECT_TRUE(Has(r.err,
                    "allows 3 wrong codes in a row, then locks for good; a right code resets the count. 2 left "
                    "as this run counts them: the count starts with this run"))
        << r.err;
    EXPECT_TRUE(Has(r.err, "1 left as this run counts them")) << r.err;
    EXPECT_TRUE(Has(r.err,
                    "this run has seen 2 wrong codes in a row and an S4442 allows 3: a wrong code now locks the "
                    "card for good; nothing was sent (--force presents it)"))
        << r.err;
    EXPECT_TRUE(Has(r.err, "an S4442 allows 3: the card is locked already as this run counts")) << r.err;
    EXPECT_EQ(SentWithCode("56"), 4u);  // the refused tries sent nothing; the last met a locked card
    EXPECT_TRUE(Has(r.err, "result 33")) << r.err;
}

// --card NAME is this card selected and powered on, in read as in dump.
TEST_F(Sle4442, CardOptionPowersTheCardOn) {
    ToolRun r = On({"read", "--card", "sle4442", "0", "4"});
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(Field(r.out, "data"), "A2131091");
}

// A file that is no image of the card changes nothing; a real image restores.
TEST_F(Sle4442, RestoreTakesOnlyAnImageOfTheCard) {
    TempFile text("text.txt", "01 02 03\n");
    size_t writes = SentWithCode("57");
    ToolRun r = On({"restore", "--card", "S4442", "--psc", "FFFFFF", text.path});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "is a binary image of 9 bytes, not of an S4442's 256: restore takes the whole card"))
        << r.err;
    EXPECT_EQ(SentWithCode("57"), writes);
    TempFile image("card.bin");
    ASSERT_EQ(On({"dump", "--card", "S4442", image.path}).rc, kOk);
    std::string bytes = ReadFile(image.path);
    bytes[0x40] = 'Q';
    std::ofstream(image.path, std::ios::binary) << bytes;
    ToolRun restored = On({"restore", "--card", "S4442", "--psc", "FFFFFF", image.path});
    EXPECT_EQ(restored.rc, kOk) << restored.err;
    EXPECT_EQ(Field(Shell("power-on\nread 40 1\n").out, "data"), "51");
}

class Sle4428 : public SimTest {
protected:
    Sle4428() : SimTest(qd500sim::Scenario::WithCard("S4428")) {}
};

TEST_F(Sle4428, WriteProtectedThenReadWithProtectionBits) {
    ToolRun r = Shell(
        "frame 5428\nframe 55\nsle-verify FFFF\n"
        "sle4428-write-protected 0010 AABBCC\n"
        "sle4428-read-protected 0010 10\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "data: AABBCC")) << r.out;
    // First three bytes protected (bit 0 = byte 0x10), the rest writable.
    EXPECT_TRUE(Has(r.out, "protection: F803\nprotected: 0x0010-0x0012\n")) << r.out;
}

class At88 : public SimTest {
protected:
    At88() : SimTest(qd500sim::Scenario::WithCard("AT88SC102A")) {}
};

TEST_F(At88, CodeEraseAndPersonalise) {
    std::string prelude = "frame 5452\nframe 55\n";
    EXPECT_TRUE(Has(Shell(prelude + "at88-erase 0020 4\n").err, "result 31"));
    EXPECT_EQ(Shell(prelude + "at88-verify 000A FFFF\nat88-erase 0020 4\nat88-personalise 0010\n").rc, kOk);
    EXPECT_EQ(On({"at88-erase", "0", "256"}).rc, kUsage);
}

class Personalisation : public SimTest {};

TEST_F(Personalisation, ProfileRebuildsTheCardAndReadsBack) {
    TempFile profile("rebuild.profile",
                     "deletemf\ncreatemf\nendmf\nselect 3F00\n"
                     "createfile 0007 01 0008 00 00\nwritebin 0102030405060708\n");
    std::string prelude = "card-type CPU\npower-on\n";
    ToolRun r = Shell(prelude + "personalise " + profile.path + "\nselect 0007 --expect 9000\napdu 00B0000008\n");
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_TRUE(Has(r.out, "steps: 6")) << r.out;
    EXPECT_TRUE(Has(r.out, "response: 0102030405060708")) << r.out;
    EXPECT_EQ(Shell(prelude + "select 0015 --expect 9000\n").rc, kFailed);  // the old file system is gone
}

TEST_F(Personalisation, BadProfilesSendNothingAndARefusedStepEndsTheRun) {
    TempFile profile("bad.profile", "select 3F00\nwritebin 0102030\n");
    ToolRun r = On({"personalise", profile.path});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, profile.path + ":2: bad hex")) << r.err;
    std::ofstream(profile.path) << "createfile 0007\n";
    EXPECT_TRUE(Has(On({"personalise", profile.path}).err, "exactly 7 bytes"));
    EXPECT_EQ(Sent(), 0u);
    std::ofstream(profile.path) << "select 3F00\ncreatemf\nselect 0015\n";  // the MF exists already
    ToolRun refused = Shell("card-type CPU\npower-on\npersonalise " + profile.path + "\n");
    EXPECT_EQ(refused.rc, kFailed);
    EXPECT_TRUE(Has(refused.err, "line 2 createmf answered sw 6A89 (file already exists)")) << refused.err;
    EXPECT_TRUE(Has(refused.out, "line 1 select: sw 9000 normal processing")) << refused.out;
    EXPECT_FALSE(Has(refused.out, "line 3")) << refused.out;
}

// ---- magnetic stripe ----

class Magnetic : public SimTest {};

TEST_F(Magnetic, WrittenTracksReadBack) {
    ASSERT_EQ(On({"mag-write", "2", "1234567890123=4567"}).rc, kOk);
    ToolRun two = On({"mag-read", "2"});
    EXPECT_EQ(two.rc, kOk) << two.err;
    EXPECT_EQ(Field(two.out, "track2"), "1234567890123=4567");
    EXPECT_FALSE(Has(two.out, "track3"));
    ASSERT_EQ(On({"mag-write", "3", "99887766=55"}).rc, kOk);
    EXPECT_EQ(Field(On({"mag-read", "3"}).out, "track3"), "99887766=55");
    EXPECT_EQ(On({"mag-write", "--prefix", "23", "111=22", "333=44"}).rc, kOk);
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

class UnreadableTrack : public SimTest {
protected:
    static qd500sim::Scenario Scenario() {
        auto s = qd500sim::Scenario::Default();
        s.track2.reset();
        return s;
    }
    UnreadableTrack() : SimTest(Scenario()) {}
};

TEST_F(UnreadableTrack, FailureExitsNonZeroAndSaysWhichTrack) {
    ToolRun r = On({"mag-read", "2"});
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "track 2 was not readable")) << r.err;
    ToolRun both = On({"--json", "mag-read", "23"});
    EXPECT_EQ(both.rc, kFailed);
    EXPECT_EQ(LastJson(both.out)["ok"], false);
    EXPECT_NE(LastJson(both.out)["track3"], "");
}

class NoSwipe : public SimTest {
protected:
    static qd500sim::Scenario Scenario() {
        auto s = qd500sim::Scenario::Default();
        s.swipe = qd500sim::SwipeMode::Never;
        return s;
    }
    NoSwipe() : SimTest(Scenario()) {}
};

// The head stays silent until a card passes: that is said, not a dead line.
TEST_F(NoSwipe, SilenceIsNoSwipeNotTheCable) {
    ToolRun r = On({"--timeout", "0.3", "mag-read", "2"});
    EXPECT_EQ(r.rc, kFailed);
    EXPECT_TRUE(Has(r.err, "no card was swiped within the time-out (0.3 s)")) << r.err;
    EXPECT_FALSE(Has(r.err, "cable")) << r.err;
}

// ---- 9: watching the slot, the card's ATR ----

class Watch : public SimTest {};

TEST_F(Watch, InsertionAndRemovalAsTheyHappenUntilCtrlC) {
    // Waits until the watch has asked the reader's status n times more.
    auto polled = [this](size_t n) {
        size_t target = SentWithCode("47") + n;
        for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end && SentWithCode("47") < target;)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    server.Remove();
    InProcess p;
    p.ctx.SetPort(server.SlavePath());
    int rc = -1;
    std::thread once([&] { rc = p.ctx.Execute({"watch", "--once"}); });
    polled(1);
    server.Insert("CPU");
    once.join();
    EXPECT_EQ(rc, kOk) << p.err.str();
    std::string seen = p.out.str();
    EXPECT_TRUE(Has(seen, " no card\n") && Has(seen, " card inserted\n")) << seen;
    EXPECT_LT(seen.find("no card"), seen.find("card inserted"));
    std::thread untilCtrlC([&] { rc = p.ctx.Execute({"watch"}); });
    polled(1);
    server.Remove();
    polled(2);
    auto start = Clock::now();
    p.ctx.Interrupt();
    untilCtrlC.join();
    EXPECT_WITHIN(SecondsSince(start), 1.0);  // not a time-out sat out
    EXPECT_EQ(rc, kOk);
    EXPECT_TRUE(Has(p.out.str(), " card removed\n")) << p.out.str();
    p.ctx.CloseSession();
    server.Insert("CPU");
    ToolRun atr = Shell("card-type CPU\natr\n");
    EXPECT_TRUE(Has(atr.out, "  as text: QD500SIM\n")) << atr.out << atr.err;
}

// ---- the trace log ----

class Trace : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        setenv("QD500_TRACE_FILE", log.path.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QD500_TRACE_FILE");
        SimTest::TearDown();
    }
    TempFile log{"trace.log"};
};

TEST_F(Trace, DecodeSplitsFramesAndReplies) {
    server.Insert("S4442");
    ASSERT_EQ(On({"frame", "5442"}).rc, kOk);
    ASSERT_EQ(On({"frame", "55"}).rc, kOk);
    ASSERT_EQ(On({"mag-read", "2"}).rc, kOk);
    server.Remove();
    On({"frame", "55"});

    ToolRun r = Qd500({"trace", "decode", log.path});
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
    EXPECT_EQ(Qd500({"trace", "decode", log.path + ".none"}).rc, kUsage);
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

// ---- 7: scripts; 8: the piped shell ----

class Script : public SimTest {};

TEST_F(Script, OneSessionForManyCommands) {
    InProcess p;
    p.ctx.SetPort(server.SlavePath());
    std::istringstream lines("# a script\n status\nversion\n\nmag-setting A\nxor 0000000000000001 0000000000000010\n");
    EXPECT_EQ(p.ctx.RunLines(lines, "test", false).status, kOk) << p.err.str();
    EXPECT_EQ(p.ctx.sessionOpens(), 1);
    EXPECT_TRUE(Has(p.out.str(), "> mag-setting A"));
    EXPECT_TRUE(Has(p.out.str(), "xor: 0000000000000011"));
}

TEST_F(Script, FailedLinesNameTheirLineAndKeepGoingSums) {
    TempFile file("script.txt", "frame 47\nframe 4G\nframe 41\n");
    ToolRun r = On({"run", file.path});
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, file.path + ":2: frame: bad hex in frame body")) << r.err;
    EXPECT_FALSE(Has(r.err, "usage:")) << r.err;
    EXPECT_EQ(Sent(), 1u);  // line 3 never ran, line 2 sent nothing
    ToolRun going = On({"run", "--keep-going", file.path});
    EXPECT_NE(going.rc, kOk);
    EXPECT_TRUE(Has(going.out, "3 lines, 1 failed\n")) << going.out;
    EXPECT_EQ(Sent(), 3u);
    ToolRun clean = On({"run", "--keep-going", "-"}, "frame 47\n# nothing\nframe 41\n");
    EXPECT_EQ(clean.rc, kOk) << clean.err;
    EXPECT_TRUE(Has(clean.out, "2 lines, 0 failed\n")) << clean.out;
    EXPECT_EQ(On({"run", file.path + ".none"}).rc, kUsage);
}

TEST_F(Script, ScriptorFormatLineForLine) {
    TempFile file("select.atr",
                  "# the master file, then its FCI\n"
                  "reset\n"
                  "00 A4 00 00 02 3F 00\n"
                  "00c0000019\n"
                  "00 A4 00 00 \\\n"
                  "02 99 99\n");
    ToolRun r = On({"run", file.path});  // known by its content
    EXPECT_EQ(r.rc, kOk) << r.err;
    EXPECT_EQ(r.out,
              "# the master file, then its FCI\n"
              "reset\n"
              "> RESET\n"
              "< OK: 3B 68 00 00 51 44 35 30 30 53 49 4D \n"
              "00 A4 00 00 02 3F 00\n"
              "> 00 A4 00 00 02 3F 00\n"
              "< 61 19 : 25 bytes of response data still available (GET RESPONSE).\n"
              "00c0000019\n"
              "> 00 C0 00 00 19 \n"  // as scriptor splits a line without blanks
              "< 6F 17 83 02 3F 00 82 01 38 84 0E 31 50 41 59 2E \n"
              "53 59 53 2E 44 44 46 30 31 90 00 : Normal processing.\n"
              "00 A4 00 00 \\\n"
              "02 99 99\n"
              "> 00 A4 00 00 02 99 99\n"
              "< 6A 82 : File or application not found.\n");
    // From standard input the lines are not echoed, as scriptor does.
    ToolRun piped = On({"run", "--scriptor", "-"}, "00 84 00 00 04\n");
    EXPECT_EQ(piped.out.substr(0, 17), "> 00 84 00 00 04\n") << piped.out;
    EXPECT_TRUE(Has(piped.out, "90 00 : Normal processing.\n")) << piped.out;
}

TEST_F(Script, PipedShellFailsOnAnUnknownCommandAndShowsPortAndTimeout) {
    ToolRun r = Shell("bogus\nport\ntimeout\nxor 00000000000000FF 0000000000000001\nquit\nxor 0 0\n");
    EXPECT_EQ(r.rc, kUsage);
    EXPECT_TRUE(Has(r.err, "unknown command 'bogus'"));
    EXPECT_EQ(Field(r.out, "port"), server.SlavePath());
    EXPECT_EQ(Field(r.out, "timeout"), "2 s");
    EXPECT_TRUE(Has(r.out, "xor: 00000000000000FE"));
    EXPECT_FALSE(Has(r.err, "8 bytes")) << "a line after quit ran";
}

// ---- the tour ----

TEST(Demo, EveryStepAsExpectedWithCommandsToPaste) {
    ToolRun r = Qd500({"demo"});
    EXPECT_EQ(r.rc, kOk) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "steps as expected")) << r.out;
    EXPECT_FALSE(Has(r.out, "NOT AS EXPECTED")) << r.out;
    EXPECT_TRUE(Has(r.out, "\n$ qd500 --port /dev/pts/")) << r.out;
}

}  // namespace
}  // namespace qd500::cli::test
