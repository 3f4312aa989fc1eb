// A whole AT24C64 (8 KiB) at 9600 baud, beside the line time of the replies
// that carry its bytes: through the drop-in one-shot calls in 128-byte
// pieces and through the drop-in session's reads (the two ways the command
// line tool used to read a card), and through `qd500 dump`.
//
//   qd500_dump_bench [runs]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Simulator.h"
#include "qd500dll.h"
#include "tools/cli/Cli.h"

namespace {

constexpr unsigned kBaud = 9600;
constexpr int kSize = 8192, kPiece = 128;
constexpr short kCom = 74;

double Seconds(const char* name, const std::function<bool()>& run) {
    auto start = std::chrono::steady_clock::now();
    if (!run()) {
        std::fprintf(stderr, "%s: the dump failed\n", name);
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Hex(int value, char* text) { std::snprintf(text, 3, "%02X", value & 0xFF); }

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    setenv("QD500_TRACE_FILE", "/dev/null", 1);
    qd500sim::ServerOptions options;
    options.baud = kBaud;
    qd500sim::PtyServer server(qd500sim::Scenario::WithCard("AT24C64"), options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }
    setenv(("QD500_COM" + std::to_string(kCom)).c_str(), server.SlavePath().c_str(), 1);
    char msg[64], data[kPiece + 1], hi[3], lo[3];

    auto oneShot = [&] {
        for (int at = 0; at < kSize; at += kPiece) {
            Hex(at >> 8, hi);
            Hex(at, lo);
            if (gAppMemAT24_ReadData(kCom, 0, hi, lo, kPiece, data, 10, msg) != 0) {
                std::fprintf(stderr, "%d %s\n", at, msg);
                return false;
            }
        }
        return true;
    };
    auto session = [&] {
        char atr[520];
        gSetTimeOutIC(10);
        bool ok = gOpenComIC(kCom, msg) == 0 && gSetCardType("AT24C64", msg) == 0 && gCardPowerOn(atr, msg) == 0;
        if (!ok) std::fprintf(stderr, "%s\n", msg);
        for (int at = 0; ok && at < kSize; at += kPiece) {
            Hex(at >> 8, hi);
            Hex(at, lo);
            ok = gCard_ReadData(hi, lo, kPiece, data, msg) == 0;
            if (!ok) std::fprintf(stderr, "%d %s\n", at, msg);
        }
        gCloseComIC(msg);
        return ok;
    };
    std::string file = "/tmp/qd500-dump-bench-" + std::to_string(::getpid()) + ".bin";
    auto dump = [&] {
        std::ostringstream out, err;
        std::istringstream in;
        return qd500::cli::Main({"qd500", "-p", server.SlavePath(), "dump", "--card", "AT24C64", file}, out, err, in) ==
               0;
    };

    // Each read's reply: ESC '=' LL status, 128 bytes as 256 hex digits, BCC ETX.
    const double lineSeconds = (kSize / kPiece) * (2 + 2 + 2 + 2 * kPiece + 2 + 1) * 10.0 / kBaud;
    std::printf("AT24C64, %d bytes at %u baud; reply line time %.2f s; best and median of %d runs\n", kSize, kBaud,
                lineSeconds, runs);
    const std::pair<const char*, std::function<bool()>> paths[] = {
        {"drop-in one-shot calls", oneShot}, {"drop-in session", session}, {"qd500 dump", dump}};
    for (const auto& [name, run] : paths) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) times.push_back(Seconds(name, run));
        std::sort(times.begin(), times.end());
        double median = times[times.size() / 2];
        std::printf("%-24s best %6.2f s  median %6.2f s  ratio %.3f\n", name, times.front(), median,
                    median / lineSeconds);
    }
    std::remove(file.c_str());
    server.Stop();
    return 0;
}
