// Many readers at once: 1, 4, 16 and 32 readers, each on an in-process
// simulator of its own at 9600 baud and a thread of its own, doing the same
// mix (tests/support/ScaleWork.h). Calls a second of all of them against N
// times one reader's, the CPU of each reader while all wait, and the memory
// an open reader takes.
//
//   qd500_scale_bench [--readers 1,4,16,32] [--cycles N] [--wait-ms N]
//                     [--min-efficiency X]
//
// --min-efficiency fails the run when N readers make fewer than X times N
// one reader's calls a second (the smallest case in CI). A reader whose
// work goes wrong always fails it.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Simulator.h"
#include "support/ScaleWork.h"

using namespace qd500::bench;

namespace {

std::vector<int> Counts(const char* text) {
    std::vector<int> counts;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (std::atoi(item.c_str()) > 0) counts.push_back(std::atoi(item.c_str()));
    return counts;
}

double LoadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts = {1, 4, 16, 32};
    int cycles = 3;
    unsigned waitMs = 2000;
    double minEfficiency = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--readers"))
            counts = Counts(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--cycles"))
            cycles = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--wait-ms"))
            waitMs = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--min-efficiency"))
            minEfficiency = std::atof(argv[i + 1]);
    }
    if (counts.empty()) return 2;
    // Two descriptors or more a simulator and a reader each, 32 of both.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    unsetenv("QD500_TRACE_FILE");

    std::string error;
    auto scenario = qd500sim::Scenario::FromJson(
        R"({"faults": [{"kind": "delay", "command": "47", "delay_ms": )" + std::to_string(waitMs) + "}]}", &error);
    qd500sim::ServerOptions options;
    options.baud = 9600;

    std::printf(
        "%ld processors, load average %.2f; %d cycles of %ld calls a reader; simulators in-process at %u baud\n",
        sysconf(_SC_NPROCESSORS_ONLN), LoadAverage(), cycles, kCallsPerCycle, options.baud);
    std::vector<Run> runs;
    bool failed = false;
    for (int n : counts) {
        std::vector<std::unique_ptr<qd500sim::PtyServer>> sims;
        std::vector<Line> lines;
        for (int i = 0; i < n; ++i) {
            sims.push_back(std::make_unique<qd500sim::PtyServer>(*scenario, options));
            if (!sims.back()->Start(&error)) {
                std::fprintf(stderr, "simulator %d: %s\n", i, error.c_str());
                return 2;
            }
            qd500sim::PtyServer* sim = sims.back().get();
            lines.push_back({sim->SlavePath(), [sim](const std::string& type) { sim->Insert(type); }});
        }
        runs.push_back(RunReaders(lines, cycles));
        for (const std::string& w : runs.back().wrong) std::fprintf(stderr, "%d readers: %s\n", n, w.c_str());
        failed = failed || !runs.back().wrong.empty();
    }
    std::printf("load average %.2f at the end\n", LoadAverage());
    Report(runs, stdout);
    const double one = runs.front().CallsPerSecond() / runs.front().readers;
    for (const Run& r : runs)
        if (r.CallsPerSecond() < minEfficiency * one * r.readers) {
            std::fprintf(stderr, "%d readers: %.3f of %d times one reader's calls a second, below %.2f\n", r.readers,
                         r.CallsPerSecond() / (one * r.readers), r.readers, minEfficiency);
            failed = true;
        }
    return failed ? 1 : 0;
}
