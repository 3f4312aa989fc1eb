// Many readers at once under Wine: the work of tests/support/ScaleWork.h
// through qd500.dll (loaded by name from beside the program), on COM ports
// mapped to qd500-sim --pty --baud 9600 of the Linux build. Each simulator
// takes its control commands from a FIFO, which a Windows program writes as
// a file (Z:\...).
//
//   qd500_wine_scale_bench --ports COM31,COM32,... --controls Z:\a.in,Z:\b.in,...
//                          [--readers 1,8] [--cycles N] [--server-stat FILE]
//
// --server-stat: the /proc/PID/schedstat (as Z:/proc/...) of the Wine
// server, whose CPU over the wait is reported beside ours.
// scripts/scale-wine.sh starts the simulators and maps the ports.
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/ScaleWork.h"

using namespace qd500::bench;

namespace {

std::vector<std::string> Items(const char* text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) items.push_back(item);
    return items;
}

// One control line to a simulator, through its FIFO.
void Control(const std::string& fifo, const std::string& line) {
    HANDLE h = CreateFileA(fifo.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: %lu\n", fifo.c_str(), GetLastError());
        std::exit(2);
    }
    DWORD written = 0;
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(h);
}

// CPU seconds from the first field of a schedstat file (nanoseconds), -1
// when it cannot be read.
double ScheduledSeconds(const std::string& path) {
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    char text[64] = {};
    DWORD n = 0;
    BOOL ok = ReadFile(h, text, sizeof text - 1, &n, nullptr);
    CloseHandle(h);
    return ok && n > 0 ? std::strtoull(text, nullptr, 10) / 1e9 : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> ports, controls;
    std::string serverStat;
    std::vector<int> counts = {1, 8};
    int cycles = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--ports"))
            ports = Items(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--controls"))
            controls = Items(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--cycles"))
            cycles = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--server-stat"))
            serverStat = argv[i + 1];
        else if (!std::strcmp(argv[i], "--readers")) {
            counts.clear();
            for (const std::string& n : Items(argv[i + 1])) counts.push_back(std::atoi(n.c_str()));
        }
    }
    for (int n : counts)
        if (n <= 0 || static_cast<size_t>(n) > ports.size() || ports.size() != controls.size()) {
            std::fprintf(stderr, "every run needs as many ports and controls as readers\n");
            return 2;
        }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    std::printf("%lu processors; %d cycles of %ld calls a reader; qd500.dll on %s...\n", system.dwNumberOfProcessors,
                cycles, kCallsPerCycle, ports.front().c_str());

    std::vector<Run> runs;
    bool failed = false;
    for (int n : counts) {
        std::vector<Line> lines;
        for (int i = 0; i < n; ++i) {
            const std::string fifo = controls[i];
            lines.push_back({ports[i], [fifo](const std::string& type) { Control(fifo, "insert " + type + "\n"); }});
        }
        std::function<double()> server;
        if (!serverStat.empty()) server = [&] { return ScheduledSeconds(serverStat); };
        runs.push_back(RunReaders(lines, cycles, server));
        for (const std::string& w : runs.back().wrong) std::fprintf(stderr, "%d readers: %s\n", n, w.c_str());
        failed = failed || !runs.back().wrong.empty();
    }
    Report(runs, stdout);
    return failed ? 1 : 0;
}
