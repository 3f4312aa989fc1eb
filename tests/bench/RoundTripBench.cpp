// Round trips of each command family against the simulator running its line
// at 9600 baud both ways, beside the line time of the bytes they exchange,
// and the CPU the calling thread uses while a call waits for an answer that
// never comes.
//
//   qd500_roundtrip_bench [runs] [--lines]
//
// --lines adds one line of key=value fields per family and one for the wait
// (what scripts/bench-wine.sh reads: it takes the bytes of each family from
// here, since the Windows build runs the same exchanges).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Simulator.h"
#include "qd500dll.h"

namespace {

constexpr unsigned kBaud = 9600;
// A round trip may cost this much more than its bytes' line time.
constexpr double kGoal = 1.03;

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
           usage.ru_stime.tv_usec / 1e3;
}

double ThreadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
           usage.ru_stime.tv_usec / 1e3;
}

// A simulated reader on a pty of its own, reachable as COM<n>.
class Reader {
public:
    Reader(int com, qd500sim::Scenario scenario) : m_com(com), m_server(std::move(scenario), Options()) {
        std::string error;
        if (!m_server.Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            std::exit(2);
        }
        char name[32];
        std::snprintf(name, sizeof name, "QD500_COM%d", com);
        setenv(name, m_server.SlavePath().c_str(), 1);
    }
    short com() const { return static_cast<short>(m_com); }
    // Bytes that crossed the line since the last call, both ways.
    size_t BytesSinceLast() {
        auto log = m_server.FrameLog();
        size_t total = 0;
        for (size_t i = m_seen; i < log.size(); ++i) total += log[i].bytes.size();
        m_seen = log.size();
        return total;
    }

private:
    static qd500sim::ServerOptions Options() {
        qd500sim::ServerOptions options;
        options.baud = kBaud;
        return options;
    }
    int m_com;
    qd500sim::PtyServer m_server;
    size_t m_seen = 0;
};

struct Row {
    std::string key;
    std::string family;
    double medianMs;
    size_t bytes;
};

Row Measure(const char* key, const char* family, Reader& reader, int runs, const std::function<bool()>& call) {
    std::vector<double> times;
    size_t bytes = 0;
    reader.BytesSinceLast();
    for (int i = 0; i < runs; ++i) {
        double start = NowMs();
        if (!call()) {
            std::fprintf(stderr, "%s: the call failed\n", family);
            std::exit(1);
        }
        times.push_back(NowMs() - start);
        bytes = reader.BytesSinceLast();
    }
    std::sort(times.begin(), times.end());
    return {key, family, times[times.size() / 2], bytes};
}

struct Apdu {
    char rec[15 + 513] = {};
    Apdu(const char* cla, const char* ins, const char* p1, const char* p2, const char* p3, const char* data) {
        const char* fields[] = {cla, ins, p1, p2, p3};
        for (int i = 0; i < 5; ++i) std::memcpy(rec + 3 * i, fields[i], 3);
        std::snprintf(rec + 15, 513, "%s", data);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 15;
    bool lines = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lines") == 0)
            lines = true;
        else
            runs = std::max(1, std::atoi(argv[i]));
    }
    setenv("QD500_TRACE_FILE", "/dev/null", 1);
    gSetTimeOutIC(5);
    char msg[32], atr[507], sw[5], resp[503];
    unsigned char data[129];

    std::vector<Row> rows;
    {  // the simulators run for the families only
        Reader cpu(71, qd500sim::Scenario::Default());
        Reader sle(72, qd500sim::Scenario::WithCard("S4428"));
        Reader at24(73, qd500sim::Scenario::WithCard("AT24C16"));

        if (gOpenComIC(cpu.com(), msg) != 0) return 2;
        rows.push_back(
            Measure("set_card_type", "set card type", cpu, runs, [&] { return gSetCardType("CPU", msg) == 0; }));
        rows.push_back(Measure("power_on", "power on", cpu, runs, [&] { return gCardPowerOn(atr, msg) == 0; }));
        Apdu select("00", "A4", "00", "00", "02", "3F00");
        rows.push_back(Measure("apdu_61xx", "APDU with 61xx GET RESPONSE", cpu, runs, [&] {
            return gCPUCommand(select.rec, sw, resp, msg) == 0 && std::strcmp(sw, "9000") == 0;
        }));
        // The one-shot call opens and closes the port itself; the session's
        // port is closed first, outside the time of the call.
        gCloseComIC(msg);
        rows.push_back(Measure("mag_track2", "magnetic read (track 2)", cpu, runs, [&] {
            char track[1025];
            return gMagCard_ReadData2(cpu.com(), track, msg) == 0;
        }));

        if (gOpenComIC(sle.com(), msg) != 0) return 2;
        gSetCardType("S4428", msg);
        gCardPowerOn(atr, msg);
        rows.push_back(Measure("mem_read_128", "128-byte memory read", sle, runs, [&] {
            return gCard_ReadData("00", "00", 128, reinterpret_cast<char*>(data), msg) == 0;
        }));
        rows.push_back(Measure("sle4428_whole", "SLE4428 whole card, 8 x 128 bytes", sle, runs, [&] {
            for (int piece = 0; piece < 8; ++piece) {
                char hi[3], lo[3];
                std::snprintf(hi, sizeof hi, "%02X", piece * 128 >> 8);
                std::snprintf(lo, sizeof lo, "%02X", piece * 128 & 0xFF);
                if (gCard_ReadData(hi, lo, 128, reinterpret_cast<char*>(data), msg) != 0) return false;
            }
            return true;
        }));
        gCloseComIC(msg);

        rows.push_back(Measure("at24_oneshot", "AT24 one-shot read (16 bytes)", at24, runs, [&] {
            return gAppMemAT24_ReadData(at24.com(), 1, const_cast<char*>("00"), const_cast<char*>("20"), 16,
                                        reinterpret_cast<char*>(data), 5, msg) == 0;
        }));
    }

    // Line time: 10 bits a byte, the host's bytes and the reader's one after
    // the other, as the simulator paces both.
    std::printf("%-36s %5s %9s %6s %8s %6s\n", "family (9600 baud)", "runs", "median ms", "bytes", "line ms", "ratio");
    double worst = 0;
    for (const Row& row : rows) {
        double lineMs = row.bytes * 10.0 * 1000.0 / kBaud;
        worst = std::max(worst, row.medianMs / lineMs);
        std::printf("%-36s %5d %9.1f %6zu %8.1f %6.2f\n", row.family.c_str(), runs, row.medianMs, row.bytes, lineMs,
                    row.medianMs / lineMs);
    }
    std::printf(worst > kGoal ? "worst ratio to the line time %.2f: goal of %.2f missed\n"
                              : "worst ratio to the line time %.2f: within %.2f\n",
                worst, kGoal);
    if (lines)
        for (const Row& row : rows)
            std::printf("family %s runs=%d median_ms=%.2f bytes=%zu\n", row.key.c_str(), runs, row.medianMs, row.bytes);

    // A call that waits 2 s for an answer that never comes: a pty with
    // nobody behind it.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    setenv("QD500_COM74", ptsname(master), 1);
    gSetTimeOutIC(2);
    if (gOpenComIC(74, msg) == 0) {
        // The simulators have stopped: the process's CPU is the library's.
        double wall = NowMs(), cpuMs = ThreadCpuMs(), processMs = ProcessCpuMs();
        short r = gCardPowerOn(atr, msg);
        double usedCpu = ThreadCpuMs() - cpuMs, usedWall = NowMs() - wall;
        double usedProcess = ProcessCpuMs() - processMs;
        std::printf(
            "\nsilent reader, power on with a 2 s time-out: result %d after %.0f ms, CPU %.1f ms of the "
            "thread, %.1f ms of the process (%.2f%% of a core)\n",
            r, usedWall, usedCpu, usedProcess, 100.0 * usedProcess / usedWall);
        if (lines)
            std::printf("wait result=%d wall_ms=%.0f thread_cpu_ms=%.2f share_pct=%.3f\n", r, usedWall, usedCpu,
                        100.0 * usedCpu / usedWall);
        gCloseComIC(msg);
    }
    close(master);
    return 0;
}
