// `qd500 demo`: a tour of the library on the reader simulator, served
// in-process on a pseudo-terminal. Each step is an ordinary command of the
// tool, printed as typed, with what it must show to count as expected.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <ostream>

#include "Cli.h"

#if QD500_CLI_HAVE_SIM
#include "Simulator.h"
#endif

namespace qd500::cli {

#if QD500_CLI_HAVE_SIM
namespace {

std::string FieldOf(const CommandResult& o, const std::string& name) {
    for (const auto& [key, value] : o.fields)
        if (key == name) return value;
    return "";
}

struct Step {
    std::string title;
    std::string line;
    // Empty when the outcome is as expected, else what differs.
    std::function<std::string(const CommandResult&)> check;
};

std::function<std::string(const CommandResult&)> Succeeds() {
    return [](const CommandResult& o) { return o.exit == kOk ? "" : "the command failed"; };
}

std::function<std::string(const CommandResult&)> FieldIs(const std::string& name, const std::string& value) {
    return [=](const CommandResult& o) -> std::string {
        if (o.exit != kOk) return "the command failed";
        std::string got = FieldOf(o, name);
        return got == value ? "" : name + " is " + got + ", expected " + value;
    };
}

std::function<std::string(const CommandResult&)> FieldLength(const std::string& name, size_t chars,
                                                             const std::string& sw = "") {
    return [=](const CommandResult& o) -> std::string {
        if (o.exit != kOk) return "the command failed";
        if (!sw.empty() && FieldOf(o, "sw") != sw) return "sw is " + FieldOf(o, "sw") + ", expected " + sw;
        size_t got = FieldOf(o, name).size();
        return got == chars ? ""
                            : name + " has " + std::to_string(got) + " characters, expected " + std::to_string(chars);
    };
}

const char kTrack2[] = "6217000012345678=25121010000012345";
const char kTrack3[] = "996217000012345678=1560000000000000000000000000000000003012=0000000000000000";

}  // namespace

int RunDemo(Context& ctx) {
    auto started = std::chrono::steady_clock::now();
    // Paced like the real line, 9600 baud.
    qd500sim::ServerOptions options;
    options.baud = 9600;
    qd500sim::PtyServer server(qd500sim::Scenario::Default(), options);
    std::string error;
    if (!server.Start(&error)) {
        ctx.err << "qd500: demo: cannot start the simulator: " << error << "\n";
        return kFailed;
    }
    ctx.SetPort(server.SlavePath());
    ctx.out << "qd500 demo: the reader simulator serves " << ctx.PortName() << "\n";

    // The personalisation profile of the CPU-card part, written where the
    // tool can read it like any user's profile.
    std::string profile = "/tmp/qd500-demo-" + std::to_string(::getpid()) + ".profile";
    {
        std::ofstream p(profile);
        p << "# an application DF with one binary file and one key\n"
             "select 3F00\n"
             "createdf 1002 51443530302E44454D4F   # FID 1002, name QD500.DEMO\n"
             "createfile 0005 01 0010 00 00       # binary EF 0005, 16 bytes, free update\n"
             "writekey 03 03 31323334              # key 03, 3 tries, 1234\n"
             "writebin 48656C6C6F2C2063617264210A0B0C0D\n"
             "enddf 1002\n";
    }

    std::vector<std::pair<std::string, std::function<void()>>> sections;
    std::vector<std::vector<Step>> steps;
    auto section = [&](const std::string& title, std::function<void()> setup, std::vector<Step> s) {
        sections.emplace_back(title, std::move(setup));
        steps.push_back(std::move(s));
    };

    section("CPU card", [] {},
            {
                {"select the card type", "card-type CPU", Succeeds()},
                {"power on: the answer to reset", "power-on", FieldIs("atr", "3B680000514435303053494D")},
                {"SELECT the master file (61xx is fetched by GET RESPONSE)", "select 3F00 --expect 9000", Succeeds()},
                {"GET CHALLENGE: four random bytes", "challenge --expect 9000", FieldLength("response", 8, "9000")},
                {"a small personalisation from a profile", "personalise " + profile, FieldIs("steps", "6")},
                {"the new DF", "select 1002 --expect 9000", Succeeds()},
                {"its binary file", "select 0005 --expect 9000", Succeeds()},
                {"READ BINARY of what the profile wrote", "apdu 00 B0 00 00 10 --expect 9000",
                 FieldIs("response", "48656C6C6F2C2063617264210A0B0C0D")},
                {"power off", "power-off", Succeeds()},
            });
    section("SLE4442 memory card", [&] { server.Insert("S4442"); },
            {
                {"select the card type", "card-type S4442", Succeeds()},
                {"power on", "power-on", FieldIs("atr", "A2131091")},
                {"present the PSC", "sle-verify FFFFFF", Succeeds()},
                {"write 8 bytes at 0x40", "write 40 5144353030204F4B", Succeeds()},
                {"read them back", "read 40 8", FieldIs("data", "5144353030204F4B")},
                {"the protection bits", "sle4442-protection", FieldLength("protection", 8)},
                {"power off", "power-off", Succeeds()},
            });
    section("AT24C16 one-shot calls", [&] { server.Insert("AT24C16"); },
            {
                {"write 16 bytes at 0x0100", "at24-write 0100 0102030405060708090A0B0C0D0E0F10", Succeeds()},
                {"read them back", "at24-read 0100 16", FieldIs("data", "0102030405060708090A0B0C0D0E0F10")},
            });
    section("magnetic stripe", [] {},
            {
                {"write tracks 2 and 3", std::string("mag-write 23 ") + kTrack2 + " " + kTrack3, Succeeds()},
                {"read them back", "mag-read 23",
                 [](const CommandResult& o) -> std::string {
                     if (o.exit != kOk) return "the command failed";
                     if (FieldOf(o, "track2") != kTrack2) return "track 2 reads " + FieldOf(o, "track2");
                     if (FieldOf(o, "track3") != kTrack3) return "track 3 reads " + FieldOf(o, "track3");
                     return "";
                 }},
            });
    // Published single-DES vector: with both key halves equal, triple-DES
    // is single DES.
    section("3DES and key diversity (no reader)", [] {},
            {
                {"3DES with K1 = K2 is single DES", "3des 4E6F772069732074 0123456789ABCDEF0123456789ABCDEF",
                 FieldIs("encrypted", "3FA40E8A984D4815")},
                {"diversify: 3DES of the data, then of its complement",
                 "diversify 4E6F772069732074 0123456789ABCDEF0123456789ABCDEF",
                 [](const CommandResult& o) -> std::string {
                     std::string key = FieldOf(o, "key");
                     if (o.exit != kOk || key.size() != 32) return "no 16-byte key";
                     return key.compare(0, 16, "3FA40E8A984D4815") == 0 ? ""
                                                                        : "left half differs from 3DES of the data";
                 }},
            });

    int total = 0, good = 0;
    for (size_t s = 0; s < sections.size(); ++s) {
        ctx.out << "\n== " << sections[s].first << "\n";
        sections[s].second();
        for (const Step& step : steps[s]) {
            ++total;
            // Printed as it can be pasted while the simulator runs.
            ctx.out << "\n[" << total << "] " << step.title << "\n$ qd500 --port " << ctx.port() << " " << step.line
                    << "\n";
            CommandResult o;
            ctx.Execute(SplitWords(step.line), &o);
            std::string why = step.check(o);
            if (why.empty()) {
                ++good;
                ctx.out << "   as expected\n";
            } else {
                ctx.out << "   NOT AS EXPECTED: " << why << "\n";
            }
        }
    }
    ctx.CloseSession();
    server.Stop();
    std::remove(profile.c_str());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char summary[128];
    std::snprintf(summary, sizeof summary, "\n%d of %d steps as expected in %.1f s\n", good, total, seconds);
    ctx.out << summary;
    if (AskedTraceFile().empty())
        ctx.out << "To trace the tour: QD500_TRACE_FILE=tour.log qd500 demo; then qd500 trace decode tour.log\n";
    else
        ctx.out << "The trace of the tour: qd500 trace decode " << AskedTraceFile() << "\n";
    return good == total ? kOk : kFailed;
}

#else

int RunDemo(Context& ctx) {
    ctx.err << "qd500: demo: this build has no simulator\n";
    return kFailed;
}

#endif

}  // namespace qd500::cli
