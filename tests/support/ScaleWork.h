// The work of the scale benchmark, the same on Linux and under Wine: any
// number of readers, each on its own simulator and its own thread, each
// doing the same mix through the C++ API; then all of them waiting at once
// for an answer the simulator holds back, for the CPU a waiting reader
// costs. The programs around it start the simulators and report.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
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

// Threads and the main thread meeting at the stages of a run.
class Stages {
public:
    // Counts one thread as having reached the stage.
    void Reach(int stage) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_reached[stage];
        m_cv.notify_all();
    }
    // Until count threads have reached the stage.
    void Await(int stage, int count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_reached[stage] >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_reached[4] = {};
};

struct Run {
    int readers = 0;
    long calls = 0;
    double wallSeconds = 0;                         // from the start of the cycles to the end of the last
    double fastestSeconds = 0, slowestSeconds = 0;  // one reader's cycles
    double residentPerReaderKiB = 0;
    // CPU seconds over the cycles and over the wait: the process's, and a
    // serving process's (Wine's server; -1: not measured).
    double cyclesThreadCpu = 0;  // of the readers' threads, summed
    double cyclesProcessCpu = 0, cyclesServerCpu = -1;
    double waitSeconds = 0;
    double waitThreadCpu = 0;  // of the waiting threads, summed
    double waitProcessCpu = 0, waitServerCpu = -1;
    std::vector<std::string> wrong;

    double CallsPerSecond() const { return wallSeconds > 0 ? calls / wallSeconds : 0; }
};

// Opens a reader on each line, runs the cycles on a thread per reader, then
// has every reader ask for its device status, which the simulators answer
// only after a delay. serverCpu, where given, is the CPU seconds so far of
// a process that serves ours. The threads live until every measure is
// taken (Wine counts an ended thread's CPU no more).
inline Run RunReaders(const std::vector<Line>& lines, int cycles, const std::function<double()>& serverCpu = {}) {
    enum { kCycled, kWaiting, kAnswered, kMeasured };
    Run run;
    run.readers = static_cast<int>(lines.size());
    auto server = [&] { return serverCpu ? serverCpu() : -1; };
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
    std::vector<double> cycleCpu(lines.size()), waitCpu(lines.size()), took(lines.size());
    std::vector<std::thread> threads;
    Stages stages;
    const double process0 = ProcessCpuSeconds(), server0 = server();
    const auto start = Clock::now();
    for (size_t i = 0; i < lines.size(); ++i)
        threads.emplace_back([&, i] {
            const auto mine = Clock::now();
            const double cpu0 = ThreadCpuSeconds();
            wrong[i] = Cycles(*readers[i], lines[i], static_cast<int>(i), cycles);
            took[i] = Seconds(Clock::now() - mine);
            cycleCpu[i] = ThreadCpuSeconds() - cpu0;
            stages.Reach(kCycled);
            stages.Await(kCycled, run.readers);  // then all waiting together
            const double cpu = ThreadCpuSeconds();
            stages.Reach(kWaiting);
            try {
                readers[i]->DeviceStatus();
            } catch (const Error& e) {
                if (wrong[i].empty()) wrong[i] = std::string("device status: ") + e.what();
            }
            waitCpu[i] = std::max(0.0, ThreadCpuSeconds() - cpu);
            stages.Reach(kAnswered);
            stages.Await(kMeasured, 1);
        });
    stages.Await(kCycled, run.readers);
    run.wallSeconds = Seconds(Clock::now() - start);
    const double process1 = ProcessCpuSeconds(), server1 = server();
    stages.Await(kWaiting, run.readers);
    const auto waitStart = Clock::now();
    stages.Await(kAnswered, run.readers);
    run.waitSeconds = Seconds(Clock::now() - waitStart);
    const double process2 = ProcessCpuSeconds(), server2 = server();
    stages.Reach(kMeasured);
    for (auto& t : threads) t.join();

    run.calls = run.readers * cycles * kCallsPerCycle;
    run.cyclesProcessCpu = process1 - process0;
    run.waitProcessCpu = process2 - process1;
    if (server0 >= 0) {
        run.cyclesServerCpu = server1 - server0;
        run.waitServerCpu = server2 - server1;
    }
    run.fastestSeconds = *std::min_element(took.begin(), took.end());
    run.slowestSeconds = *std::max_element(took.begin(), took.end());
    for (size_t i = 0; i < lines.size(); ++i) {
        run.cyclesThreadCpu += cycleCpu[i];
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
    // CPU in % of a core: over the cycles, of all of them; over the wait,
    // per reader ("-": not measured).
    auto pct = [](double cpu, double seconds, int readers) { return cpu < 0 ? -1 : 100.0 * cpu / seconds / readers; };
    auto cell = [](double value) {
        char text[16];
        std::snprintf(text, sizeof text, value < 0 ? "-" : "%.4f", value);
        return std::string(text);
    };
    std::fprintf(out, "%7s %6s %7s %13s %8s %10s %9s %9s %9s %9s %9s %9s %8s\n", "readers", "calls", "wall s",
                 "one reader s", "calls/s", "vs N x one", "cyc thr%", "cyc proc%", "cyc srv%", "wait thr%", "wait proc",
                 "wait srv%", "RSS KiB");
    for (const Run& r : runs)
        std::fprintf(out, "%7d %6ld %7.2f %6.2f-%-6.2f %8.2f %10.3f %9s %9s %9s %9s %9s %9s %8.1f\n", r.readers,
                     r.calls, r.wallSeconds, r.fastestSeconds, r.slowestSeconds, r.CallsPerSecond(),
                     r.CallsPerSecond() / (one * r.readers), cell(pct(r.cyclesThreadCpu, r.wallSeconds, 1)).c_str(),
                     cell(pct(r.cyclesProcessCpu, r.wallSeconds, 1)).c_str(),
                     cell(pct(r.cyclesServerCpu, r.wallSeconds, 1)).c_str(),
                     cell(pct(r.waitThreadCpu, r.waitSeconds, r.readers)).c_str(),
                     cell(pct(r.waitProcessCpu, r.waitSeconds, r.readers)).c_str(),
                     cell(pct(r.waitServerCpu, r.waitSeconds, r.readers)).c_str(), r.residentPerReaderKiB);
    std::fprintf(out,
                 "(CPU in %% of a core: cyc, over the cycles, of all readers together; wait, per reader while all "
                 "wait %.1f s; thr: the readers' threads, proc: the process, srv: the serving process; RSS: per "
                 "open reader)\n",
                 runs.front().waitSeconds);
    for (const Run& r : runs)
        std::fprintf(out,
                     "run readers=%d calls=%ld wall_s=%.3f fastest_s=%.3f slowest_s=%.3f calls_per_s=%.3f "
                     "efficiency=%.4f cycles_thread_cpu_pct=%.3f cycles_process_cpu_pct=%.3f "
                     "cycles_server_cpu_pct=%.3f wait_s=%.3f "
                     "wait_thread_cpu_pct_per_reader=%.5f wait_process_cpu_pct_per_reader=%.5f "
                     "wait_server_cpu_pct_per_reader=%.5f rss_kib_per_reader=%.1f\n",
                     r.readers, r.calls, r.wallSeconds, r.fastestSeconds, r.slowestSeconds, r.CallsPerSecond(),
                     r.CallsPerSecond() / (one * r.readers), pct(r.cyclesThreadCpu, r.wallSeconds, 1),
                     pct(r.cyclesProcessCpu, r.wallSeconds, 1), pct(r.cyclesServerCpu, r.wallSeconds, 1), r.waitSeconds,
                     pct(r.waitThreadCpu, r.waitSeconds, r.readers), pct(r.waitProcessCpu, r.waitSeconds, r.readers),
                     pct(r.waitServerCpu, r.waitSeconds, r.readers), r.residentPerReaderKiB);
}

}  // namespace qd500::bench
