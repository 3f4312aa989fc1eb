// Round trips of each command family through qd500dll.dll, as a Windows
// application makes them, against readers on COM ports; and the CPU the
// calling thread uses while a call waits for an answer that never comes.
// The families and their calls are those of tests/bench/RoundTripBench.cpp.
//
//   qd500_wine_roundtrip_bench --cpu N --sle N --at24 N --silent N
//                              [--runs R] [--server-stat FILE]
//
// --cpu: a reader with a CPU card (the simulator's default), --sle: one with
// an SLE4428, --at24: one with an AT24C16, --silent: a line nobody answers.
// --server-stat: a /proc/PID/schedstat file (as Z:/proc/...) of the Wine
// server, whose CPU time over the wait is reported beside ours.
//
// One line of key=value fields per family, one for the wait and one for a
// plain Sleep as long as the wait; the bytes
// and the line times are left to scripts/bench-wine.sh.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../Exported.h"

namespace {

using OpenFn = short(__stdcall*)(short, char*);
using CloseFn = short(__stdcall*)(char*);
using TimeOutFn = char(__stdcall*)(char);
using SetTypeFn = short(__stdcall*)(const char*, char*);
using PowerOnFn = short(__stdcall*)(char*, char*);
using CpuCommandFn = short(__stdcall*)(const char*, char*, char*, char*);
using MagReadFn = short(__stdcall*)(short, char*, char*);
using ReadDataFn = short(__stdcall*)(char*, char*, short, char*, char*);
using At24ReadFn = short(__stdcall*)(short, short, char*, char*, short, char*, short, char*);

HMODULE g_dll = nullptr;

template <typename T>
T Fn(const char* name) {
    FARPROC p = GetProcAddress(g_dll, name);
    if (!p) {
        std::fprintf(stderr, "qd500dll.dll has no %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<T>(reinterpret_cast<void*>(p));
}

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double FileTimeMs(const FILETIME& t) {
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 1e4;  // 100 ns units
}

double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
    return FileTimeMs(kernel) + FileTimeMs(user);
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    return FileTimeMs(kernel) + FileTimeMs(user);
}

// CPU time from the first field of a schedstat file (nanoseconds on the
// CPU). The file stays open: each reading reads it again from the start, so
// that no reading pays for finding the file.
class Schedstat {
public:
    explicit Schedstat(const std::string& path) {
        if (!path.empty())
            m_file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    }
    ~Schedstat() {
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    }
    // Milliseconds; -1 when it cannot be read.
    double Ms() {
        if (m_file == INVALID_HANDLE_VALUE) return -1;
        char text[128];
        DWORD n = 0;
        if (SetFilePointer(m_file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
            !ReadFile(m_file, text, sizeof text - 1, &n, nullptr) || n == 0)
            return -1;
        text[n] = '\0';
        return std::strtoull(text, nullptr, 10) / 1e6;
    }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

struct Row {
    const char* key;
    double medianMs;
};

Row Measure(const char* key, int runs, const std::function<bool()>& call) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double start = NowMs();
        if (!call()) {
            std::fprintf(stderr, "%s: the call failed\n", key);
            std::exit(1);
        }
        times.push_back(NowMs() - start);
    }
    std::sort(times.begin(), times.end());
    return {key, times[times.size() / 2]};
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
    short cpu = 0, sle = 0, at24 = 0, silent = 0;
    std::string serverStatPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        const char* value = argv[i + 1];
        if (opt == "--runs")
            runs = std::max(1, std::atoi(value));
        else if (opt == "--cpu")
            cpu = static_cast<short>(std::atoi(value));
        else if (opt == "--sle")
            sle = static_cast<short>(std::atoi(value));
        else if (opt == "--at24")
            at24 = static_cast<short>(std::atoi(value));
        else if (opt == "--silent")
            silent = static_cast<short>(std::atoi(value));
        else if (opt == "--server-stat")
            serverStatPath = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (!cpu || !sle || !at24 || !silent) {
        std::fprintf(stderr, "usage: %s --cpu N --sle N --at24 N --silent N [--runs R] [--server-stat FILE]\n",
                     argv[0]);
        return 2;
    }

    // The trace log costs a file open a line; the Linux run writes it to
    // /dev/null, this one to NUL.
    _putenv("QD500_TRACE_FILE=NUL");
    g_dll = LoadLibraryA("qd500dll.dll");
    if (!g_dll) {
        std::fprintf(stderr, "LoadLibraryA(qd500dll.dll) failed: %lu\n", GetLastError());
        return 2;
    }
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto setTimeOut = Fn<TimeOutFn>(QD500_EXPORT_NAME(gSetTimeOutIC, 4));
    auto setType = Fn<SetTypeFn>(QD500_EXPORT_NAME(gSetCardType, 8));
    auto powerOn = Fn<PowerOnFn>(QD500_EXPORT_NAME(gCardPowerOn, 8));
    auto cpuCommand = Fn<CpuCommandFn>(QD500_EXPORT_NAME(gCPUCommand, 16));
    auto magRead2 = Fn<MagReadFn>(QD500_EXPORT_NAME(gMagCard_ReadData2, 12));
    auto readData = Fn<ReadDataFn>(QD500_EXPORT_NAME(gCard_ReadData, 20));
    auto at24Read = Fn<At24ReadFn>(QD500_EXPORT_NAME(gAppMemAT24_ReadData, 32));

    setTimeOut(5);
    char msg[64], atr[507], sw[5], resp[503];
    char data[129];
    std::vector<Row> rows;

    if (open(cpu, msg) != 0) {
        std::fprintf(stderr, "COM%d: %s\n", cpu, msg);
        return 2;
    }
    rows.push_back(Measure("set_card_type", runs, [&] { return setType("CPU", msg) == 0; }));
    rows.push_back(Measure("power_on", runs, [&] { return powerOn(atr, msg) == 0; }));
    Apdu select("00", "A4", "00", "00", "02", "3F00");
    rows.push_back(Measure("apdu_61xx", runs,
                           [&] { return cpuCommand(select.rec, sw, resp, msg) == 0 && std::strcmp(sw, "9000") == 0; }));
    // The one-shot call opens and closes the port itself; the session's port
    // is closed first, outside the time of the call.
    close(msg);
    rows.push_back(Measure("mag_track2", runs, [&] {
        char track[1025];
        return magRead2(cpu, track, msg) == 0;
    }));

    if (open(sle, msg) != 0) {
        std::fprintf(stderr, "COM%d: %s\n", sle, msg);
        return 2;
    }
    setType("S4428", msg);
    powerOn(atr, msg);
    char zero[] = "00";
    rows.push_back(Measure("mem_read_128", runs, [&] { return readData(zero, zero, 128, data, msg) == 0; }));
    rows.push_back(Measure("sle4428_whole", runs, [&] {
        for (int piece = 0; piece < 8; ++piece) {
            char hi[3], lo[3];
            std::snprintf(hi, sizeof hi, "%02X", piece * 128 >> 8);
            std::snprintf(lo, sizeof lo, "%02X", piece * 128 & 0xFF);
            if (readData(hi, lo, 128, data, msg) != 0) return false;
        }
        return true;
    }));
    close(msg);

    char addrH[] = "00", addrL[] = "20";
    rows.push_back(
        Measure("at24_oneshot", runs, [&] { return at24Read(at24, 1, addrH, addrL, 16, data, 5, msg) == 0; }));

    for (const Row& row : rows) std::printf("family %s runs=%d median_ms=%.2f\n", row.key, runs, row.medianMs);
    std::fflush(stdout);

    // A call that waits 2 s for an answer that never comes.
    setTimeOut(2);
    if (open(silent, msg) != 0) {
        std::fprintf(stderr, "COM%d: %s\n", silent, msg);
        return 2;
    }
    // (GetThreadTimes counts in the 10 ms ticks of the kernel under Wine.
    // A finer count of our own thread is not to be had from here: Wine
    // opens files in the server, so /proc/thread-self would be its thread.)
    Schedstat serverStat(serverStatPath);
    double server0 = serverStat.Ms();
    double process0 = ProcessCpuMs(), wall0 = NowMs(), thread0 = ThreadCpuMs();
    short r = powerOn(atr, msg);
    double thread1 = ThreadCpuMs(), wall1 = NowMs(), process1 = ProcessCpuMs();
    double server1 = serverStat.Ms();
    close(msg);
    double wall = wall1 - wall0, used = thread1 - thread0;
    std::printf("wait result=%d wall_ms=%.0f thread_cpu_ms=%.2f share_pct=%.3f process_cpu_ms=%.2f", r, wall, used,
                100.0 * used / wall, process1 - process0);
    if (server0 >= 0 && server1 >= 0) std::printf(" server_cpu_ms=%.2f", server1 - server0);
    std::printf("\n");

    // The server's time over a plain Sleep as long: what it spends while
    // nobody calls anything.
    server0 = serverStat.Ms();
    wall0 = NowMs();
    Sleep(static_cast<DWORD>(wall));
    wall1 = NowMs();
    server1 = serverStat.Ms();
    std::printf("idle wall_ms=%.0f", wall1 - wall0);
    if (server0 >= 0 && server1 >= 0) std::printf(" server_cpu_ms=%.2f", server1 - server0);
    std::printf("\n");
    FreeLibrary(g_dll);
    return 0;
}
