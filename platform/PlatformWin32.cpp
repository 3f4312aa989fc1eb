// Win32 backend: a COM port opened for overlapped I/O, GetTickCount, alertable
// pauses, the thread's message pump, GetModuleFileNameA and GetSystemTime.
//
// Waiting for input is event-driven: an overlapped read and
// MsgWaitForMultipleObjects wake us on the first byte or on a window
// message, so no wait sleeps blindly while the reader is answering.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <set>
#include <string>

#include "platform/Platform.h"
#include "qd500dll.h"

namespace qd500 {

namespace {

void (*g_idleCallback)(void*) = nullptr;
void* g_idleContext = nullptr;

// COM numbers this process holds open. Windows refuses a second open of a
// port by itself; Wine's serial devices do not, so we refuse it here too.
std::set<int> g_held;

// The rates the driver is given as they are; any other one runs at 9600.
DWORD BaudOf(uint32_t baud) {
    switch (baud) {
        case 300: case 600: case 1200: case 2400: case 4800: case 19200:
        case 38400: case 56000: case 57600: case 115200:
            return baud;
        default:
            return CBR_9600;
    }
}

// Waits for an overlapped operation that has been started. When it has not
// completed within waitMs it is cancelled, since its buffer belongs to the
// caller; the bytes it moved before the cancel are still reported.
bool Finish(HANDLE com, OVERLAPPED& ov, DWORD waitMs, DWORD& transferred) {
    transferred = 0;
    if (WaitForSingleObject(ov.hEvent, waitMs) == WAIT_OBJECT_0)
        return GetOverlappedResult(com, &ov, &transferred, FALSE) != FALSE;
    CancelIoEx(com, &ov);
    GetOverlappedResult(com, &ov, &transferred, TRUE);
    return false;
}

// Time-outs of the port: a read returns at once with what has been received;
// a write gives up after five seconds.
COMMTIMEOUTS ImmediateReads() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 5000;
    return t;
}

// While we wait: a read returns with the first byte, or after ms.
COMMTIMEOUTS FirstByteWithin(DWORD ms) {
    COMMTIMEOUTS t = ImmediateReads();
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = ms == 0 || ms == MAXDWORD ? 1 : ms;
    return t;
}

// The wait for input is a one-byte overlapped read under the first-byte
// time-outs, waited for together with the thread's message queue. The byte
// it takes is kept here and handed out first by the next Read.
// (WaitCommEvent is no use under Wine: on a pseudo-terminal its wait is
// aborted as soon as it is made, so it would spin.)
class Win32Line final : public SerialLine {
public:
    Win32Line(int comNumber, HANDLE com, HANDLE readEvent, HANDLE writeEvent) : m_comNumber(comNumber), m_com(com) {
        m_ovRead.hEvent = readEvent;
        m_ovWrite.hEvent = writeEvent;
        g_held.insert(comNumber);
    }
    ~Win32Line() override {
        CloseHandle(m_ovRead.hEvent);
        CloseHandle(m_ovWrite.hEvent);
        CloseHandle(m_com);
        g_held.erase(m_comNumber);
    }

    bool WriteByte(uint8_t byte, uint32_t waitMs) override {
        m_outByte = byte;
        ResetOffsets(m_ovWrite);
        DWORD written = 0;
        if (WriteFile(m_com, &m_outByte, 1, &written, &m_ovWrite)) return written == 1;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        return Finish(m_com, m_ovWrite, waitMs, written) && written == 1;
    }

    int InQueue() override {
        int queued = DriverQueue();
        return queued < 0 ? -1 : queued + (m_hasPeek ? 1 : 0);
    }

    int Read(uint8_t* dst, int max) override {
        if (max <= 0) return 0;
        int got = 0;
        if (m_hasPeek) {
            dst[got++] = m_peek;
            m_hasPeek = false;
        }
        // Ask only for what is queued: such a read completes at once under
        // any time-outs (Wine leaves an overlapped read of an empty queue
        // pending, whatever the time-outs say).
        int queued = DriverQueue();
        if (queued < 0) return got > 0 ? got : -1;
        int want = queued < max - got ? queued : max - got;
        if (want == 0) return got;
        ResetOffsets(m_ovRead);
        DWORD n = 0;
        if (!ReadFile(m_com, dst + got, static_cast<DWORD>(want), &n, &m_ovRead)) {
            if (GetLastError() != ERROR_IO_PENDING) return got > 0 ? got : -1;
            Finish(m_com, m_ovRead, 2000, n);
        }
        return got + static_cast<int>(n);
    }

    WaitResult WaitInput(uint32_t ms) override {
        int queued = InQueue();
        if (queued != 0) return queued < 0 ? WaitResult::Failed : WaitResult::Ready;
        if (ms == 0) return WaitResult::Timeout;

        COMMTIMEOUTS waiting = FirstByteWithin(ms);
        if (!SetCommTimeouts(m_com, &waiting)) return WaitResult::Failed;
        ResetOffsets(m_ovRead);
        DWORD n = 0;
        WaitResult result = WaitResult::Timeout;
        bool failed = false;
        if (ReadFile(m_com, &m_peek, 1, &n, &m_ovRead)) {
            m_hasPeek = n == 1;
        } else if (GetLastError() != ERROR_IO_PENDING) {
            failed = true;
        } else {
            HANDLE event = m_ovRead.hEvent;
            DWORD r = MsgWaitForMultipleObjectsEx(1, &event, ms, QS_ALLINPUT, MWMO_ALERTABLE);
            if (r != WAIT_OBJECT_0) CancelIoEx(m_com, &m_ovRead);
            if (GetOverlappedResult(m_com, &m_ovRead, &n, TRUE)) {
                m_hasPeek = n == 1;
            } else if (GetLastError() != ERROR_OPERATION_ABORTED) {
                failed = true;
            }
            // A window message (or an APC run in the wait) sends the caller
            // round its loop, which pumps the messages. Marking the queue as
            // seen keeps the next wait from waking for the same message again
            // (Wine's MsgWaitForMultipleObjects would, until it is removed).
            if (r == WAIT_OBJECT_0 + 1) GetQueueStatus(QS_ALLINPUT);
            if (r == WAIT_OBJECT_0 + 1 || r == WAIT_IO_COMPLETION) result = WaitResult::Ready;
            if (r == WAIT_FAILED) failed = true;
        }
        COMMTIMEOUTS normal = ImmediateReads();
        SetCommTimeouts(m_com, &normal);
        if (m_hasPeek) return WaitResult::Ready;
        if (failed) return WaitResult::Failed;
        return result;
    }

    bool PurgeOutput() override { return PurgeComm(m_com, PURGE_TXCLEAR) != FALSE; }

private:
    static void ResetOffsets(OVERLAPPED& ov) {
        ov.Internal = ov.InternalHigh = 0;
        ov.Offset = ov.OffsetHigh = 0;
    }
    int DriverQueue() {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(m_com, &errors, &stat)) return -1;
        return static_cast<int>(stat.cbInQue);
    }

    int m_comNumber;
    HANDLE m_com;
    OVERLAPPED m_ovRead{};
    OVERLAPPED m_ovWrite{};
    uint8_t m_outByte = 0;  // outlives a write the driver takes later
    uint8_t m_peek = 0;     // the byte that ended the last wait
    bool m_hasPeek = false;
};

class Win32Platform final : public Platform {
public:
    std::unique_ptr<SerialLine> OpenPort(int comNumber, const LineSettings& settings) override {
        // Above COM9 only the device namespace knows the port.
        if (g_held.count(comNumber)) return nullptr;
        char name[32];
        wsprintfA(name, comNumber > 9 ? "\\\\.\\COM%d" : "COM%d", comNumber);
        HANDLE com = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (com == INVALID_HANDLE_VALUE) return nullptr;

        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(com, &dcb);
        dcb.BaudRate = BaudOf(settings.baud);
        dcb.Parity = static_cast<BYTE>(settings.parity == 1 || settings.parity == 2 ? settings.parity : NOPARITY);
        dcb.ByteSize = static_cast<BYTE>(settings.dataBits == 7 ? 7 : 8);
        dcb.StopBits = static_cast<BYTE>(settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT);

        COMMTIMEOUTS timeouts = ImmediateReads();
        SetCommTimeouts(com, &timeouts);

        HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (SetCommState(com, &dcb) && SetupComm(com, 10000, 10000) && readEvent && writeEvent)
            return std::make_unique<Win32Line>(comNumber, com, readEvent, writeEvent);

        if (readEvent) CloseHandle(readEvent);
        if (writeEvent) CloseHandle(writeEvent);
        CloseHandle(com);
        return nullptr;
    }

    uint32_t TickMs() override { return GetTickCount(); }

    // Alertable, as every pause of the channel; an APC that ends the sleep
    // early does not shorten the pause.
    void Pause(uint32_t ms) override {
        DWORD start = GetTickCount();
        DWORD left = ms;
        while (SleepEx(left, TRUE) == WAIT_IO_COMPLETION) {
            DWORD spent = GetTickCount() - start;
            if (spent >= ms) break;
            left = ms - spent;
        }
    }

    // Dispatches the messages that are waiting, at most 256 a round so that a
    // window that keeps posting cannot hold the caller here. WM_QUIT is put
    // back for the caller's own loop, and marked as seen: otherwise the next
    // wait would wake for it at once, and the wait would spin.
    void PumpMessages() override {
        MSG msg;
        for (int i = 0; i < 256 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                GetQueueStatus(QS_ALLINPUT);
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (g_idleCallback) g_idleCallback(g_idleContext);
    }

    std::string HostExecutablePath() override {
        char path[500];
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        if (n == 0) return {};
        // A longer path comes back cut to the buffer: keep what fits, as the
        // log's directory is looked for in it (and a directory too long for
        // the log path drops the line).
        if (n >= sizeof path) n = sizeof path - 1;
        return std::string(path, n);
    }

    char PathSeparator() const override { return '\\'; }

    UtcTime UtcNow() override {
        SYSTEMTIME st;
        GetSystemTime(&st);
        UtcTime u;
        u.year = st.wYear;
        u.month = st.wMonth;
        u.day = st.wDay;
        u.hour = st.wHour;
        u.minute = st.wMinute;
        u.second = st.wSecond;
        u.millisecond = st.wMilliseconds;
        return u;
    }
};

}  // namespace

Platform& NativePlatform() {
    static Win32Platform platform;
    return platform;
}

QD500_API void SetIdleCallback(void (*callback)(void*), void* context) {
    g_idleCallback = callback;
    g_idleContext = context;
}

}  // namespace qd500
