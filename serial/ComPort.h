// The serial channel: one object per open COM port. It sends frames byte by
// byte and collects replies into its receive buffer, up to an end character
// or as whatever arrives, waiting on the line instead of sleeping blind. It
// knows bytes and time, not the reader's protocol: what it sends and
// receives goes to a listener, which the reader layer labels and traces.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace qd500 {

// How an operation of the channel ended.
enum class LineStatus {
    Ok,
    NotOpen,
    NothingQueued,  // nothing had arrived when a block read started
    TooFewQueued,   // fewer bytes queued than asked for
    TimedOut,
    Failed,     // the line hung up or reported an I/O error
    Cancelled,  // the wake-up was signalled from another thread
};

// When a read stops. A read with an overall time waits for bytes to come,
// pumping once per reply cycle; one without it is a block read: it starts
// only on bytes already queued and ends with NothingQueued otherwise.
struct ReadUntil {
    // Stop after this byte, which is kept. Each attempt gets one window from
    // its start to see it; a read with an overall time makes attempts until
    // one sees the end byte or the time has passed.
    std::optional<char> endChar;
    uint32_t endCharWindowMs = 0;
    // Stop once this many bytes are in. A block read that does not listen
    // for quiet needs them all queued (TooFewQueued otherwise).
    std::optional<int> count;
    // Once bytes came, stop when the line has been quiet for more than this;
    // the quiet counts from no earlier than settleMs after the first block.
    std::optional<uint32_t> quietMs;
    uint32_t settleMs = 0;
    // The time to wait for the first bytes, or for a reply up to endChar.
    std::optional<uint32_t> totalMs;
};

// What a read collected: how it ended and the count of bytes in the receive
// buffer (kept there even when the read ended without what it waited for).
struct ReadResult {
    LineStatus status = LineStatus::NotOpen;
    int count = 0;
    bool Ok() const { return status == LineStatus::Ok; }
};

// What the channel tells the layer above: the bytes it sends and receives,
// and one call per cycle of a wait (where Windows pumps window messages).
class LineListener {
public:
    virtual ~LineListener() = default;
    // Every SendData, before the port is looked at.
    virtual void Sent(const char* bytes, int count) = 0;
    // Every reply the reply wait collected.
    virtual void Replied(const char* bytes, int count) = 0;
    // What the other reads collected.
    virtual void Received(const char* bytes, int count) = 0;
    virtual void Idle() = 0;
};

class CComPort {
public:
    static constexpr int kRecvCapacity = 1024;

    // Time rules of the channel, in milliseconds.
    static constexpr uint32_t kWriteByteWaitMs = 1000;
    static constexpr uint32_t kReplyCycleMs = 200;
    static constexpr uint32_t kEndCharWindowMs = 1000;
    static constexpr uint32_t kSettlingPauseMs = 100;  // before the block read of ReadAll
    static constexpr uint32_t kQuietPeriodMs = 100;
    // Once a read by length has its first bytes, a gap of more than this
    // ends it (a UART's FIFO time-out is about four character times).
    static constexpr uint32_t kByteGapMs = 4;

    CComPort();
    ~CComPort();
    CComPort(const CComPort&) = delete;
    CComPort& operator=(const CComPort&) = delete;

    void SetParams(int port, int baud, char parity, char dataBits, char stopBits);
    // The device to open instead of "COM<n>" (a path, or a name the platform
    // knows); empty for the port number of SetParams.
    void SetDevice(std::string device) { m_device = std::move(device); }
    void SetListener(LineListener* listener) { m_listener = listener; }
    // A wait ends at once while the wake-up is signalled (Cancelled).
    void SetWakeup(Wakeup* wakeup) { m_wakeup = wakeup; }

    int Open();
    // The system's reason when the last Open failed.
    const std::string& OpenError() const { return m_openError; }
    int Close();
    // Writes every byte; Ok once they were handed to the driver (a byte it
    // does not take in time is dropped), NotOpen when nothing could be sent.
    LineStatus SendData(const char* bytes, int count);
    int WriteByte(uint8_t byte);

    // The one read: collects into the receive buffer as the description says.
    ReadResult Read(const ReadUntil& until);
    // The channel's named reads, each a description for Read.
    // A reply up to endChar within the time, in end-character windows.
    ReadResult WaitReply(char endChar, uint8_t timeoutSec);
    ReadResult WaitReplyMs(char endChar, uint32_t timeoutMs);
    // One end-character window over bytes already queued.
    ReadResult ReadToEndChar(char endChar);
    // What comes first within the time, with the bytes on its heels.
    ReadResult ReadByLen(short count, uint16_t timeoutSec);
    ReadResult ReadByLenMs(short count, uint32_t timeoutMs);
    // What is queued, then everything until the line has been quiet.
    ReadResult ReadAll();
    // Exactly count bytes, all of them already queued.
    ReadResult ReadExact(short count);
    int GetInQueue();
    int ReadAvailable(char* dst, int max);
    // Drops every byte that waits (staged or queued), handing them to the
    // listener as received; returns how many.
    int DiscardInput();
    int Purge();

    bool IsOpen() const { return m_bOpen && m_hCom; }
    // Set once the line reported a hang-up or an I/O error; every wait on it
    // then ends at once.
    bool LineFailed() const { return m_bLineFailed; }

    // What the last read operation collected; always NUL-terminated.
    const char* Received() const { return m_szRecv; }
    int ReceivedLength() const { return m_nRecvLen; }
    bool FrameDone() const { return m_bFrameDone != 0; }

private:
    void ResetReceive();
    ReadResult Finish(LineStatus status) { return {status, m_nRecvLen}; }
    // The status of a wait that ended without what it waited for.
    LineStatus WaitEnd() const;
    bool Cancelled() const { return m_wakeup && m_wakeup->Signalled(); }
    void Pump();
    // The steps of Read: one end-character window, the attempts at it
    // within an overall time, the wait for the first bytes, the start of a
    // block read, and the listening until the line is quiet.
    ReadResult ReadEndCharWindow(char endChar, uint32_t windowMs);
    ReadResult ReadReply(char endChar, uint32_t windowMs, uint32_t limit);
    ReadResult ReadFirstBytes(int want, uint32_t limit);
    ReadResult ReadQueued(const ReadUntil& until, int want);
    void ReadUntilQuiet(int want, uint32_t quietMs, uint32_t settleMs);
    int QueueCount();                      // staged and driver-queued bytes; -1 when the line failed
    int TakeBytes(uint8_t* dst, int max);  // from the staging buffer first, then the line
    bool WaitForInput(uint32_t ms);        // false when the line failed or the wait was cancelled
    void MarkFailed() { m_bLineFailed = true; }

    int m_nPort = 0;
    char m_szRecv[kRecvCapacity + 1];
    int m_nRecvLen = 0;
    uint8_t m_bFrameDone = 0;
    std::unique_ptr<SerialLine> m_hCom;
    uint8_t m_bOpen = 0;
    char m_cStopBits = '1';
    char m_cDataBits = '8';
    char m_cParity = 'N';
    int m_nBaud = 9600;

    std::string m_device;
    std::string m_openError;
    LineListener* m_listener = nullptr;
    Wakeup* m_wakeup = nullptr;
    bool m_bLineFailed = false;

    // Bytes read from the driver but not yet consumed: a reply read in blocks
    // leaves what follows its end character here, as it would stay queued.
    uint8_t m_staged[kRecvCapacity];
    int m_stagedPos = 0;
    int m_stagedLen = 0;
};

}  // namespace qd500
