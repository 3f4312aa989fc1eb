// The Win32 backend on a real Wine COM port: COM5 is mapped through the
// registry to the line peer, which echoes single bytes at once.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "../MessageWindow.h"
#include "platform/Platform.h"
#include "serial/ComPort.h"
#include "serial/doVoruv.h"

namespace qd500 {
namespace {

int EchoPort() {
    const char* text = std::getenv("QD500_WINE_COM");
    return text && *text ? std::atoi(text) : 5;
}

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class EchoLine : public ::testing::Test {
protected:
    void SetUp() override {
        line = NativePlatform().OpenPort(EchoPort(), LineSettings{});
        ASSERT_NE(line, nullptr) << "COM" << EchoPort() << " is not mapped to the line peer";
        Drain();
    }
    void Drain() {
        uint8_t scrap[256];
        while (line->WaitInput(30) == WaitResult::Ready && line->Read(scrap, sizeof scrap) > 0) {
        }
    }
    std::unique_ptr<SerialLine> line;
};

TEST_F(EchoLine, ByteComesBackThroughWriteWaitAndRead) {
    ASSERT_TRUE(line->WriteByte('Q', 1000));
    ASSERT_EQ(line->WaitInput(2000), WaitResult::Ready);
    EXPECT_GE(line->InQueue(), 1);
    uint8_t got[8] = {};
    ASSERT_EQ(line->Read(got, sizeof got), 1);
    EXPECT_EQ(got[0], 'Q');
    EXPECT_EQ(line->InQueue(), 0);
}

TEST_F(EchoLine, ReadReturnsAtOnceWithWhatHasArrived) {
    for (char c : std::string("abcd")) ASSERT_TRUE(line->WriteByte(static_cast<uint8_t>(c), 1000));
    double start = NowMs();
    while (line->InQueue() < 4 && NowMs() - start < 2000) line->WaitInput(100);
    ASSERT_EQ(line->InQueue(), 4);
    uint8_t got[16] = {};
    double before = NowMs();
    EXPECT_EQ(line->Read(got, sizeof got), 4);  // asks for 16, gets the 4 that are there
    EXPECT_LT(NowMs() - before, 50.0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 4), "abcd");
    before = NowMs();
    EXPECT_EQ(line->Read(got, sizeof got), 0);  // nothing waiting: no block
    EXPECT_LT(NowMs() - before, 50.0);
}

// The wait must end on the first byte, not at the end of its time: the
// median echo round trip stays far below the 200 ms a blind pause would take.
TEST_F(EchoLine, WaitEndsOnTheFirstByte) {
    std::vector<double> trips;
    for (int i = 0; i < 20; ++i) {
        double start = NowMs();
        ASSERT_TRUE(line->WriteByte(static_cast<uint8_t>('0' + i % 10), 1000));
        ASSERT_EQ(line->WaitInput(1000), WaitResult::Ready);
        trips.push_back(NowMs() - start);
        uint8_t got[4];
        ASSERT_EQ(line->Read(got, sizeof got), 1);
    }
    std::sort(trips.begin(), trips.end());
    double median = (trips[9] + trips[10]) / 2;
    RecordProperty("echo_median_us", static_cast<int>(median * 1000));
    std::printf("one-byte echo through COM%d: median %.2f ms, min %.2f, max %.2f\n", EchoPort(), median, trips.front(),
                trips.back());
    EXPECT_LT(median, 10.0);
    EXPECT_LT(trips.back(), 200.0);
}

// The peer answers a power-off frame 600 ms late: the wait must sleep on the
// line and end when the reply starts, neither early nor at its own limit.
TEST_F(EchoLine, WaitSleepsUntilALateReplyComes) {
    for (char c : std::string("\x1b=4444\x03")) ASSERT_TRUE(line->WriteByte(static_cast<uint8_t>(c), 1000));
    double start = NowMs();
    ASSERT_EQ(line->WaitInput(3000), WaitResult::Ready);
    double spent = NowMs() - start;
    std::printf("late reply woke the wait after %.1f ms (peer delay 600 ms)\n", spent);
    EXPECT_GE(spent, 550.0);
    EXPECT_LT(spent, 700.0);
    std::string reply;
    while (reply.find('\x03') == std::string::npos && NowMs() - start < 3000) {
        uint8_t got[32];
        int n = line->Read(got, sizeof got);
        ASSERT_GE(n, 0);
        reply.append(reinterpret_cast<char*>(got), static_cast<size_t>(n));
        if (n == 0) line->WaitInput(100);
    }
    EXPECT_EQ(reply, "\x1b=0200\x03");
}

TEST_F(EchoLine, QuietLineWaitsItsWholeTime) {
    double start = NowMs();
    EXPECT_EQ(line->WaitInput(300), WaitResult::Timeout);
    double spent = NowMs() - start;
    EXPECT_GE(spent, 280.0);
    EXPECT_LT(spent, 600.0);
    // Waits that end must leave the line usable (the comm-event wait was cancelled).
    ASSERT_TRUE(line->WriteByte('z', 1000));
    ASSERT_EQ(line->WaitInput(2000), WaitResult::Ready);
    uint8_t got[4];
    EXPECT_EQ(line->Read(got, sizeof got), 1);
    EXPECT_EQ(got[0], 'z');
}

DWORD WINAPI PostLater(LPVOID thread) {
    Sleep(150);
    PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread)), WM_APP + 1, 7, 0);
    return 0;
}

TEST_F(EchoLine, WaitWakesForAWindowMessage) {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // gives the thread its queue
    // A message posted from another thread while we wait must end the wait.
    DWORD self = GetCurrentThreadId();
    HANDLE poster =
        CreateThread(nullptr, 0, PostLater, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(self)), 0, nullptr);
    double start = NowMs();
    WaitResult r = line->WaitInput(2000);
    double spent = NowMs() - start;
    WaitForSingleObject(poster, INFINITE);
    CloseHandle(poster);
    EXPECT_EQ(r, WaitResult::Ready);
    EXPECT_GE(spent, 100.0);
    EXPECT_LT(spent, 1000.0);
    // The message is still queued, but it is no longer news: the next wait
    // must not return at once for it again (the channel would spin).
    start = NowMs();
    EXPECT_EQ(line->WaitInput(200), WaitResult::Timeout);
    EXPECT_GE(NowMs() - start, 180.0);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP + 1, WM_APP + 1, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST(Win32Ports, MissingPortDoesNotOpen) {
    EXPECT_EQ(NativePlatform().OpenPort(8, LineSettings{}), nullptr);   // "COM8"
    EXPECT_EQ(NativePlatform().OpenPort(77, LineSettings{}), nullptr);  // "\\.\COM77"
}

TEST(Win32Ports, PortIsHeldExclusively) {
    auto first = NativePlatform().OpenPort(EchoPort(), LineSettings{});
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(NativePlatform().OpenPort(EchoPort(), LineSettings{}), nullptr);
    first.reset();
    EXPECT_NE(NativePlatform().OpenPort(EchoPort(), LineSettings{}), nullptr);
}

LRESULT CALLBACK CountingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP + 2) {
        ++*reinterpret_cast<int*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST(Win32Pump, DispatchesThePostedMessagesToTheirWindow) {
    HWND hwnd = qd500::wine::CreateProbeWindow("qd500PumpProbe", CountingProc);
    ASSERT_NE(hwnd, nullptr);
    int count = 0;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count));
    for (int i = 0; i < 3; ++i) PostMessageA(hwnd, WM_APP + 2, 0, 0);
    NativePlatform().PumpMessages();
    EXPECT_EQ(count, 3);
    PostQuitMessage(5);
    NativePlatform().PumpMessages();  // WM_QUIT stays for the application's loop
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 5u);
    DestroyWindow(hwnd);
}

double ProcessCpuMs() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

// An application that has posted WM_QUIT (closing down) and then calls the
// library: the reply wait keeps the quit for the application's loop and
// still sleeps on the line instead of waking for the quit over and over.
TEST_F(EchoLine, QuitPostedBeforeAReplyWaitNeitherSpinsNorIsLost) {
    line.reset();
    CComPort port;
    port.SetParams(EchoPort(), 9600, 'N', '8', '1');
    ASSERT_EQ(port.Open(), 1);
    PostQuitMessage(7);
    double cpu = ProcessCpuMs();
    double start = NowMs();
    EXPECT_EQ(port.WaitReply(0x03, 1).status, LineStatus::TimedOut);
    double spent = NowMs() - start;
    cpu = ProcessCpuMs() - cpu;
    std::printf("reply wait with WM_QUIT posted: %.0f ms, process CPU %.0f ms\n", spent, cpu);
    EXPECT_GE(spent, 950.0);
    EXPECT_LT(cpu, 150.0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST(Win32Clock, PauseKeepsItsLengthAndTicksMove) {
    Platform& p = NativePlatform();
    uint32_t t0 = p.TickMs();
    double start = NowMs();
    p.Pause(120);
    double spent = NowMs() - start;
    EXPECT_GE(spent, 110.0);
    EXPECT_LT(spent, 400.0);
    EXPECT_GE(p.TickMs() - t0, 100u);
}

TEST(Win32Host, ExecutablePathAndUtcClock) {
    Platform& p = NativePlatform();
    std::string path = p.HostExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(p.PathSeparator(), '\\');
    EXPECT_NE(path.find('\\'), std::string::npos);
    EXPECT_EQ(path.substr(path.size() - 4), ".exe");

    UtcTime u = p.UtcNow();
    std::time_t now = std::time(nullptr);
    std::tm* t = std::gmtime(&now);
    EXPECT_EQ(u.year, t->tm_year + 1900);
    EXPECT_EQ(u.month, t->tm_mon + 1);
    EXPECT_EQ(u.day, t->tm_mday);
    EXPECT_LE(std::abs((u.hour * 60 + u.minute) - (t->tm_hour * 60 + t->tm_min)), 1);
    EXPECT_GE(u.millisecond, 0);
    EXPECT_LT(u.millisecond, 1000);
}

// Run once from the build tree and once from a directory whose path is
// longer than the 500 characters fetched (wine.long_host_path): a long path
// is cut, not lost, and a directory too long for the log path drops the
// trace line instead of sending it to the root of the drive.
TEST(Win32Host, LongExecutablePathIsCutAndItsTraceDropped) {
    _putenv_s("QD500_TRACE_FILE", "");
    std::string path = NativePlatform().HostExecutablePath();
    ASSERT_FALSE(path.empty());
    char log[300];
    if (path.size() < 499) {
        ASSERT_TRUE(TraceLogPath(log, sizeof log));
        std::string dir = path.substr(0, path.rfind('\\'));
        EXPECT_EQ(std::string(log), dir + "\\DOVoruv.Log");
        return;
    }
    EXPECT_EQ(path.size(), 499u);
    EXPECT_FALSE(TraceLogPath(log, sizeof log));
    std::printf("host path cut to %zu characters; the trace is dropped\n", path.size());
}

}  // namespace
}  // namespace qd500
