// The operating-system layer under the serial channel and the trace log.
//
// CComPort and the trace log are written once against these interfaces;
// each operating system supplies one backend (PlatformPosix, PlatformWin32),
// and the unit tests supply a scripted one with a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qd500 {

// Line settings as the Win32 DCB knows them: parity 0 none, 1 odd, 2 even;
// stop bits 0 one, 2 two.
struct LineSettings {
    uint32_t baud = 9600;
    int parity = 0;
    int dataBits = 8;
    int stopBits = 0;
};

enum class WaitResult {
    Ready,    // bytes are waiting (or, on Windows, a window message arrived)
    Timeout,  // the time passed with nothing to report
    Failed,   // the line hung up or reported an I/O error
    Woken,    // another thread signalled the wait's wake-up
};

// Ends a wait on a line from another thread: the wait returns Woken, and
// every later wait too until the owner clears it.
class Wakeup {
public:
    virtual ~Wakeup() = default;
    virtual void Signal() = 0;  // any thread
    virtual bool Signalled() const = 0;
    virtual void Clear() = 0;
};

// One open serial line. Reads never block: they return what has arrived.
class SerialLine {
public:
    virtual ~SerialLine() = default;
    // Hands one byte to the driver, waiting at most waitMs for it to be taken.
    // Returns false when the byte was not taken (it is then dropped).
    virtual bool WriteByte(uint8_t byte, uint32_t waitMs) = 0;
    // Bytes waiting in the input queue; -1 when the line has failed.
    virtual int InQueue() = 0;
    // Reads up to max waiting bytes; returns the count (0 when none), -1 on failure.
    virtual int Read(uint8_t* dst, int max) = 0;
    // Waits until input is waiting, the time passes, the line fails, or the
    // wake-up (when given) is signalled.
    virtual WaitResult WaitInput(uint32_t ms, Wakeup* wakeup = nullptr) = 0;
    // Discards what the driver still holds for sending.
    virtual bool PurgeOutput() = 0;
};

struct UtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    // The device "COM<n>" stands for on this system.
    virtual std::string PortDevice(int comNumber) = 0;
    // Opens a serial device with the settings; null when it is missing, busy
    // or cannot be configured, with the system's reason in why (when given).
    virtual std::unique_ptr<SerialLine> Open(const std::string& device, const LineSettings& settings,
                                             std::string* why) = 0;
    std::unique_ptr<SerialLine> OpenPort(int comNumber, const LineSettings& settings) {
        return Open(PortDevice(comNumber), settings, nullptr);
    }
    virtual std::unique_ptr<Wakeup> MakeWakeup() = 0;
    // Monotonic milliseconds; wraps like GetTickCount.
    virtual uint32_t TickMs() = 0;
    virtual void Pause(uint32_t ms) = 0;
    // One round of the calling thread's window-message pump (nothing where
    // there are no window messages).
    virtual void PumpMessages() = 0;
    // Full path of the host executable; empty when unknown.
    virtual std::string HostExecutablePath() = 0;
    virtual char PathSeparator() const = 0;
    virtual UtcTime UtcNow() = 0;
};

// The platform in use: the operating system's backend unless a test installed
// another one. SetPlatform(nullptr) restores the operating system's backend.
Platform& CurrentPlatform();
void SetPlatform(Platform* platform);

// The backend of the operating system this library was built for.
Platform& NativePlatform();

}  // namespace qd500
