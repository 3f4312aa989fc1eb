// Win32 backend: a COM port opened for overlapped I/O, GetTickCount, alertable
// pauses, the thread's message pump, GetModuleFileNameA and GetSystemTime.
//
// Waiting for input is event-driven: an overlapped read and
// MsgWaitForMultipleObjects wake us on the first byte or on a window
// message, so no wait sleeps blindly while the reader is answering.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Winsock's header comes before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/NetworkLine.h"
#include "platform/NetworkPort.h"
#include "platform/Platform.h"
#include "platform/SystemReason.h"

namespace qd500 {

namespace {

// Devices this process holds open. Windows refuses a second open of a port
// by itself; Wine's serial devices do not, so we refuse it here too. Readers
// open and close on any thread.
std::mutex g_heldLock;
std::set<std::string> g_held;

// "COM3", "com3" and "\\.\COM3" are one device.
std::string HeldKey(const std::string& device) {
    std::string key = device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// Takes the device for this process; false when it is held already.
bool Hold(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_heldLock);
    return g_held.insert(key).second;
}

void Release(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_heldLock);
    g_held.erase(key);
}

// A manual-reset event the wait on the line watches beside the read.
class EventWakeup final : public Wakeup {
public:
    EventWakeup() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventWakeup() override {
        if (m_event) CloseHandle(m_event);
    }
    void Signal() override {
        m_signalled.store(true);
        if (m_event) SetEvent(m_event);
    }
    bool Signalled() const override { return m_signalled.load(); }
    void Clear() override {
        m_signalled.store(false);
        if (m_event) ResetEvent(m_event);
    }
    HANDLE event() const { return m_event; }

private:
    HANDLE m_event;
    std::atomic<bool> m_signalled{false};
};

// The rates the driver is given as they are; any other one runs at 9600.
DWORD BaudOf(uint32_t baud) {
    switch (baud) {
        case 300:
        case 600:
        case 1200:
        case 2400:
        case 4800:
        case 19200:
        case 38400:
        case 56000:
        case 57600:
        case 115200:
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
    // The device is held for this process already (Hold).
    Win32Line(std::string key, HANDLE com, HANDLE readEvent, HANDLE writeEvent) : m_key(std::move(key)), m_com(com) {
        m_ovRead.hEvent = readEvent;
        m_ovWrite.hEvent = writeEvent;
    }
    ~Win32Line() override {
        CloseHandle(m_ovRead.hEvent);
        CloseHandle(m_ovWrite.hEvent);
        CloseHandle(m_com);
        Release(m_key);
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

    WaitResult WaitInput(uint32_t ms, Wakeup* wakeup) override {
        auto* wake = static_cast<EventWakeup*>(wakeup);
        if (wake && wake->Signalled()) return WaitResult::Woken;
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
            HANDLE events[2] = {m_ovRead.hEvent, wake ? wake->event() : nullptr};
            const DWORD count = wake && wake->event() ? 2 : 1;
            const DWORD messages = WAIT_OBJECT_0 + count;
            DWORD r = MsgWaitForMultipleObjectsEx(count, events, ms, QS_ALLINPUT, MWMO_ALERTABLE);
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
            if (r == messages) GetQueueStatus(QS_ALLINPUT);
            if (r == messages || r == WAIT_IO_COMPLETION) result = WaitResult::Ready;
            if (count == 2 && r == WAIT_OBJECT_0 + 1) result = WaitResult::Woken;
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

    std::string m_key;
    HANDLE m_com;
    OVERLAPPED m_ovRead{};
    OVERLAPPED m_ovWrite{};
    uint8_t m_outByte = 0;  // outlives a write the driver takes later
    uint8_t m_peek = 0;     // the byte that ended the last wait
    bool m_hasPeek = false;
};

// The Winsock socket of a network line. Its wait watches the socket's
// event beside the wake-up and the window messages, as the serial line's
// wait does.
class Win32NetworkLine final : public NetworkLine {
public:
    Win32NetworkLine(SOCKET s, WSAEVENT event, bool rfc2217) : NetworkLine(rfc2217), m_socket(s), m_event(event) {}
    ~Win32NetworkLine() override {
        EndTls();
        closesocket(m_socket);
        WSACloseEvent(m_event);
    }

    WaitResult WaitInput(uint32_t ms, Wakeup* wakeup) override {
        auto* wake = static_cast<EventWakeup*>(wakeup);
        const DWORD start = GetTickCount();
        for (;;) {
            if (wake && wake->Signalled()) return WaitResult::Woken;
            if (!Exchange()) return HasInput() ? WaitResult::Ready : WaitResult::Failed;
            if (HasInput()) return WaitResult::Ready;
            DWORD waited = GetTickCount() - start;
            if (waited >= ms) return WaitResult::Timeout;
            HANDLE events[2] = {m_event, wake ? wake->event() : nullptr};
            const DWORD count = wake && wake->event() ? 2 : 1;
            DWORD r = MsgWaitForMultipleObjectsEx(count, events, ms - waited, QS_ALLINPUT, MWMO_ALERTABLE);
            if (r == WAIT_OBJECT_0) {
                WSANETWORKEVENTS seen;
                WSAEnumNetworkEvents(m_socket, m_event, &seen);  // resets the event
                continue;
            }
            if (count == 2 && r == WAIT_OBJECT_0 + 1) return WaitResult::Woken;
            if (r == WAIT_OBJECT_0 + count) {
                // A window message: the caller's loop pumps it, as with the COM port.
                GetQueueStatus(QS_ALLINPUT);
                return WaitResult::Ready;
            }
            if (r == WAIT_IO_COMPLETION) return WaitResult::Ready;
            if (r == WAIT_FAILED) return WaitResult::Failed;
        }
    }

protected:
    int SendSome(const char* bytes, int count) override {
        int n = send(m_socket, bytes, count, 0);
        if (n >= 0) return n;
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    int ReceiveSome(char* bytes, int capacity) override {
        int n = recv(m_socket, bytes, capacity, 0);
        if (n > 0) return n;
        if (n == 0) return -1;  // the server closed it
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    bool WaitWritable(uint32_t ms) override {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(m_socket, &writable);
        timeval bound{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        return select(0, nullptr, &writable, nullptr, &bound) > 0;
    }
    void WaitReadable(uint32_t ms) override {
        WaitForSingleObject(m_event, ms);
        WSANETWORKEVENTS seen;
        WSAEnumNetworkEvents(m_socket, m_event, &seen);
    }
    uint32_t NowMs() override { return GetTickCount(); }
    uintptr_t Socket() const override { return static_cast<uintptr_t>(m_socket); }

private:
    SOCKET m_socket;
    WSAEVENT m_event;
};

// Connects within the bound: a line, or null with the reason.
std::unique_ptr<NetworkLine> ConnectLine(const NetworkPort& port, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(port.host.c_str(), port.port.c_str(), &hints, &found); rc != 0) {
        if (why) *why = "cannot resolve " + port.host + ": " + SystemReason(static_cast<DWORD>(rc));
        return nullptr;
    }
    std::string reason = "no address";
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            reason = SystemReason(static_cast<DWORD>(WSAGetLastError()));
            continue;
        }
        u_long nonblocking = 1;
        ioctlsocket(s, FIONBIO, &nonblocking);
        int error = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
            error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                fd_set writable, failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                timeval bound{static_cast<long>(port.timeoutMs / 1000),
                              static_cast<long>(port.timeoutMs % 1000) * 1000};
                int r = select(0, nullptr, &writable, &failed, &bound);
                int len = sizeof error;
                if (r == 0)
                    error = WSAETIMEDOUT;
                else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
                    error = WSAGetLastError();
            }
        }
        if (error != 0) {
            reason = SystemReason(static_cast<DWORD>(error));
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        if (why) *why = "cannot connect to " + port.Where() + ": " + reason;
        return nullptr;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    WSAEVENT event = WSACreateEvent();
    WSAEventSelect(s, event, FD_READ | FD_CLOSE);
    return std::make_unique<Win32NetworkLine>(s, event, port.rfc2217);
}

std::unique_ptr<SerialLine> OpenNetwork(const std::string& name, const LineSettings& settings, std::string* why) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    NetworkPort port;
    if (!ParseNetworkPort(name, port, why)) return nullptr;
    if (!started) {
        if (why) *why = "Winsock did not start";
        return nullptr;
    }
    const std::string key = "net " + port.Where();
    if (!Hold(key)) {
        if (why) *why = "the port is in use";
        return nullptr;
    }
    auto line = OpenNetworkLine(
        port, settings, why, [&port](std::string* reason) { return ConnectLine(port, reason); },
        [] { return static_cast<uint32_t>(GetTickCount()); }, [](uint32_t ms) { Sleep(ms); });
    if (!line) {
        Release(key);
        return nullptr;
    }
    line->OnClose([key] { Release(key); });
    return line;
}

class Win32Platform final : public Platform {
public:
    // Above COM9 only the device namespace knows the port.
    std::string PortDevice(int comNumber) override {
        // QD500_COM<n> may name a network port for COMn: an application's
        // COM3 can be a reader on a serial device server.
        char variable[32], value[512];
        wsprintfA(variable, "QD500_COM%d", comNumber);
        DWORD n = GetEnvironmentVariableA(variable, value, sizeof value);
        if (n > 0 && n < sizeof value && IsNetworkPort(value)) return value;
        char name[32];
        wsprintfA(name, comNumber > 9 ? "\\\\.\\COM%d" : "COM%d", comNumber);
        return name;
    }

    std::unique_ptr<SerialLine> Open(const std::string& device, const LineSettings& settings,
                                     std::string* why) override {
        if (IsNetworkPort(device)) return OpenNetwork(device, settings, why);
        std::string key = HeldKey(device);
        if (!Hold(key)) {
            if (why) *why = "the port is in use";
            return nullptr;
        }
        HANDLE com = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (com == INVALID_HANDLE_VALUE) {
            if (why) *why = SystemReason(GetLastError());
            Release(key);
            return nullptr;
        }

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
            return std::make_unique<Win32Line>(key, com, readEvent, writeEvent);

        if (why) *why = SystemReason(GetLastError());
        if (readEvent) CloseHandle(readEvent);
        if (writeEvent) CloseHandle(writeEvent);
        CloseHandle(com);
        Release(key);
        return nullptr;
    }

    std::unique_ptr<Wakeup> MakeWakeup() override { return std::make_unique<EventWakeup>(); }

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

std::string SystemReason(unsigned long error) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = '\0';
    if (n == 0) return "system error " + std::to_string(error);
    return std::string(text, n);
}

Platform& NativePlatform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace qd500
