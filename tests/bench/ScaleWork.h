// The work of the scale benchmark, the same on Linux and under Wine: any
// number of readers, each on its own simulator and its own thread, each
// doing the same mix through the C++ API; then all of them waiting at once
// for an answer the simulator holds back, for the CPU a waiting reader
// costs. The programs around it start the simulators and report.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qd500/reader.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>

#include <fstream>
#endif

namespace qd500::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

#ifdef _WIN32
inline double FileTimeSeconds(const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}
inline double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}
inline double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}
inline long ResidentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.WorkingSetSize / 1024);
}
#else
inline double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
inline double ThreadCpuSeconds() { return CpuSeconds(RUSAGE_THREAD); }
inline double ProcessCpuSeconds() { return CpuSeconds(RUSAGE_SELF); }
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}
#endif

// A reader's line: the port to open, and how to put a card in its slot.
struct Line {
    std::string port;
    std::function<void(const std::string& type)> insert;
};

// Calls of one cycle: the CPU card selected and powered, four SELECTs each
// followed by GET RESPONSE; an AT24C16 selected and powered, 1 KiB written
// and read back.
constexpr long kCallsPerCycle = 10;

// Selects a type, again while the slot still holds the other card: a
// simulator in another process takes its control line a moment later.
inline void Select(Reader& reader, const std::string& type) {
    for (int tries = 0;; ++tries) {
        try {
            reader.SelectCard(type);
            return;
        } catch (const Error& e) {
            if (e.result() != 24 || tries == 200) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// The cycles of one reader; what went wrong, or "".
inline std::string Cycles(Reader& reader, const Line& line, int id, int cycles) {
    const Bytes selects[] = {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15}};
    try {
        for (int cycle = 0; cycle < cycles; ++cycle) {
            line.insert("CPU");
            Select(reader, "CPU");
            if (reader.PowerOn().empty()) return "no answer to reset";
            for (int i = 0; i < 4; ++i) {
                Response r = reader.Transmit(selects[i % 2], true);
                if (r.sw() != 0x9000 || r.data().empty()) return "SELECT answered " + std::to_string(r.sw());
            }
            line.insert("AT24C16");
            Select(reader, "AT24C16");
            reader.PowerOn();
            Bytes mine(1024);
            for (size_t i = 0; i < mine.size(); ++i) mine[i] = static_cast<uint8_t>(i % 3 ? id * 31 + cycle + i : 0);
            reader.WriteMemory(0, mine);
            if (reader.ReadMemory(0, mine.size()) != mine) return "memory read back differs";
        }
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

struct Run {
    int readers = 0;
    double wallSeconds = 0;                         // of the cycles, from the start of the first to the end of the last
    double fastestSeconds = 0, slowestSeconds = 0;  // one reader's cycles
    long calls = 0;
    double residentPerReaderKiB = 0;
    double waitSeconds = 0;     // of the wait, all readers at once
    double waitThreadCpu = 0;   // CPU of the waiting threads, summed
    double waitProcessCpu = 0;  // CPU of the whole process over the wait
    double waitServerCpu = -1;  // of another process that serves ours (Wine's server); -1: not measured
    std::vector<std::string> wrong;

    double CallsPerSecond() const { return wallSeconds > 0 ? calls / wallSeconds : 0; }
};

// Opens a reader on each line, runs the cycles on a thread per reader, then
// has every reader ask for its device status, which the simulators answer
// only after a delay. serverCpu, where given, is the CPU seconds so far of
// a process that serves ours.
inline Run RunReaders(const std::vector<Line>& lines, int cycles, const std::function<double()>& serverCpu = {}) {
    Run run;
    run.readers = static_cast<int>(lines.size());
    const long before = ResidentKiB();
    std::vector<std::unique_ptr<Reader>> readers;
    try {
        for (const Line& line : lines) readers.push_back(std::make_unique<Reader>(line.port));
    } catch (const Error& e) {
        run.wrong.push_back(e.what());
        return run;
    }
    run.residentPerReaderKiB = static_cast<double>(ResidentKiB() - before) / run.readers;
    for (auto& reader : readers) reader->SetTimeoutMs(10000);

    std::vector<std::string> wrong(lines.size());
    std::vector<double> waitCpu(lines.size()), took(lines.size());
    std::vector<std::thread> threads;
    std::atomic<int> ready{0}, waiting{0};
    const auto start = Clock::now();
    for (size_t i = 0; i < lines.size(); ++i)
        threads.emplace_back([&, i] {
            const auto mine = Clock::now();
            wrong[i] = Cycles(*readers[i], lines[i], static_cast<int>(i), cycles);
            took[i] = Seconds(Clock::now() - mine);
            // All at the barrier, then all waiting together.
            ++ready;
            while (ready < run.readers) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const double cpu = ThreadCpuSeconds();
            ++waiting;
            try {
                readers[i]->DeviceStatus();
            } catch (const Error& e) {
                if (wrong[i].empty()) wrong[i] = std::string("device status: ") + e.what();
            }
            waitCpu[i] = std::max(0.0, ThreadCpuSeconds() - cpu);
        });
    // The cycles end when the last reader reaches the barrier.
    while (ready < run.readers) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    run.wallSeconds = Seconds(Clock::now() - start);
    while (waiting < run.readers) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double processCpu = ProcessCpuSeconds();
    const double server = serverCpu ? serverCpu() : -1;
    const auto waitStart = Clock::now();
    for (auto& t : threads) t.join();
    run.waitSeconds = Seconds(Clock::now() - waitStart);
    run.waitProcessCpu = ProcessCpuSeconds() - processCpu;
    if (server >= 0) run.waitServerCpu = serverCpu() - server;
    run.calls = run.readers * cycles * kCallsPerCycle;
    run.fastestSeconds = *std::min_element(took.begin(), took.end());
    run.slowestSeconds = *std::max_element(took.begin(), took.end());
    for (size_t i = 0; i < lines.size(); ++i) {
        run.waitThreadCpu += waitCpu[i];
        if (!wrong[i].empty()) run.wrong.push_back("reader " + std::to_string(i) + ": " + wrong[i]);
    }
    return run;
}

// The table of the runs, and one line of key=value fields per run for the
// scripts. The first run is the single reader the others are set against.
inline void Report(const std::vector<Run>& runs, FILE* out) {
    if (runs.empty()) return;
    const double one = runs.front().CallsPerSecond() / runs.front().readers;
    // CPU while waiting, per reader, in % of a core: the waiting threads'
    // own, the whole process's, and the serving process's ("-": none).
    auto share = [](const Run& r, double cpu) { return cpu < 0 ? -1 : 100.0 * cpu / r.waitSeconds / r.readers; };
    auto cell = [](double pct) {
        char text[16];
        std::snprintf(text, sizeof text, pct < 0 ? "-" : "%.4f", pct);
        return std::string(text);
    };
    std::fprintf(out, "%7s %6s %7s %13s %8s %10s %7s %9s %9s %9s %8s\n", "readers", "calls", "wall s", "one reader s",
                 "calls/s", "vs N x one", "wait s", "thread %", "process %", "server %", "RSS KiB");
    for (const Run& r : runs) {
        std::fprintf(out, "%7d %6ld %7.2f %6.2f-%-6.2f %8.2f %10.3f %7.2f %9s %9s %9s %8.1f\n", r.readers, r.calls,
                     r.wallSeconds, r.fastestSeconds, r.slowestSeconds, r.CallsPerSecond(),
                     r.CallsPerSecond() / (one * r.readers), r.waitSeconds, cell(share(r, r.waitThreadCpu)).c_str(),
                     cell(share(r, r.waitProcessCpu)).c_str(), cell(share(r, r.waitServerCpu)).c_str(),
                     r.residentPerReaderKiB);
    }
    std::fprintf(out, "(CPU while all wait, per reader, in %% of a core; RSS: resident memory per open reader)\n");
    for (const Run& r : runs)
        std::fprintf(out,
                     "run readers=%d calls=%ld wall_s=%.3f fastest_s=%.3f slowest_s=%.3f calls_per_s=%.3f "
                     "efficiency=%.4f wait_s=%.3f thread_cpu_pct_per_reader=%.5f process_cpu_pct_per_reader=%.5f "
                     "server_cpu_pct_per_reader=%.5f rss_kib_per_reader=%.1f\n",
                     r.readers, r.calls, r.wallSeconds, r.fastestSeconds, r.slowestSeconds, r.CallsPerSecond(),
                     r.CallsPerSecond() / (one * r.readers), r.waitSeconds, share(r, r.waitThreadCpu),
                     share(r, r.waitProcessCpu), share(r, r.waitServerCpu), r.residentPerReaderKiB);
}

}  // namespace qd500::bench
