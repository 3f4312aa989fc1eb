// A reader: one serial line to the reader's contact unit and magnetic head,
// with its response time-out, its trace, its lock, and the one transaction
// every command follows (frame out, reply in up to ETX, the header taken
// apart). Any number of readers live side by side, each on its own thread
// or shared between threads under its lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "reader/Protocol.h"
#include "serial/ComPort.h"

namespace qd500 {

struct CardType;  // cards/CardTypes.h

// Where a command ended.
enum class Stage {
    Answered,    // a reply header was found; its status code decides
    Refused,     // the input does not fit the command: nothing was sent
    NotOpen,     // the reader has no open port
    SendFailed,  // the frame could not be handed to the port
    NoReply,     // no complete reply within the time-out
    NoHeader,    // a reply without ESC '='
    LineFailed,  // the line hung up or failed
    Cancelled,   // the wait was cancelled from another thread
};

struct Outcome {
    Stage stage = Stage::NotOpen;
    Reply reply;  // when answered

    bool answered() const { return stage == Stage::Answered; }
    // The drop-in library's result: the status number, or -1.
    short Result() const { return answered() ? reply.Result() : static_cast<short>(-1); }
};

// The stage a channel status stands for when a wait came back empty.
Stage StageOf(LineStatus status);

class CardReader final : private LineListener {
public:
    // Observer of the bytes on the line.
    enum Direction { kSent = 0, kReceived = 1 };
    using Observer = void (*)(void* context, int direction, const unsigned char* bytes, size_t count);
    using IdleHook = void (*)(void* context);

    CardReader();
    ~CardReader() override;
    CardReader(const CardReader&) = delete;
    CardReader& operator=(const CardReader&) = delete;

    // Opens "COM<n>", or a device the platform knows, with the reader's line
    // settings (9600 8N1). An open port is closed first. False when it cannot
    // be opened (OpenError() says why).
    bool OpenPort(int comNumber);
    bool OpenDevice(const std::string& device);
    // Opens again what was opened last.
    bool Reopen();
    void Close();
    bool IsOpen() const { return m_port != nullptr; }
    // The line hung up or failed since it was opened.
    bool LineFailed() const { return m_port && m_port->LineFailed(); }
    // How the port was named when it was opened ("COM3", "/dev/ttyUSB0").
    const std::string& Name() const { return m_name; }
    const std::string& OpenError() const { return m_openError; }
    // The channel itself, for the raw pass-through exports alone: every
    // command goes through Transact or Exchange.
    CComPort* Port() { return m_port.get(); }

    void SetTimeoutMs(uint32_t ms) { m_timeoutMs = ms; }
    uint32_t TimeoutMs() const { return m_timeoutMs; }

    // The drop-in library's log (beside the host executable, or
    // QD500_TRACE_FILE), in its own format.
    void TraceDropIn() { m_traceDropIn = true; }
    // Lines tagged with the port's name into the file at path; empty: none.
    void TraceTo(std::string path);
    void SetObserver(Observer observer, void* context);
    void SetIdleHook(IdleHook hook, void* context);

    // Bytes that wait on the line when a command is about to go out answer
    // an earlier command (one whose wait gave up): with this set they are
    // dropped (and observed) then, instead of being taken for the answer to
    // the new one. The drop-in library keeps them, as it always has.
    void SetDropLateBytes(bool drop) { m_dropLateBytes = drop; }
    // Called before each command is sent.
    void DropLateBytes();

    // Ends the call that waits on this reader (from any thread); the call
    // reports Cancelled. A call that starts afterwards clears it.
    void Cancel();
    void ClearCancel();

    // Held by every call on the reader, so that two threads' exchanges never
    // interleave on the line. Recursive: a window procedure run inside a wait
    // may call in again without deadlock.
    std::recursive_mutex& Mutex() { return m_mutex; }

    // The transaction: the frame of body out, the reply up to ETX within the
    // time-out, the reply header and status taken apart.
    Outcome Transact(const FrameBody& body);
    Outcome Transact(const FrameBody& body, uint32_t timeoutMs);

    // The magnetic head's byte protocol, which has no frames: the pieces go
    // out back to back, then the answer is collected up to endByte, or
    // (endByte < 0) until count bytes have come, within the time-out. A
    // head that does not answer is sent `stop` (when given) so that it
    // stops waiting. Answered means the wait was met; the bytes are then
    // Answer()/AnswerLength() until the next command.
    struct Bytes {
        const char* data;
        int length;
    };
    Stage Exchange(const Bytes* pieces, int count, int endByte, short length, const Bytes* stop);
    // Sends bytes and waits for nothing (false when they were not handed over).
    bool SendOnly(const Bytes& bytes);
    const char* Answer() const { return m_port ? m_port->Received() : ""; }
    int AnswerLength() const { return m_port ? m_port->ReceivedLength() : 0; }

    // The card type selected last on this reader; null before any.
    const CardType* SelectedType() const { return m_selected; }
    void SetSelectedType(const CardType* type) { m_selected = type; }

private:
    bool OpenWith(int comNumber, const std::string& device);
    void Sent(const char* bytes, int count) override;
    void Replied(const char* bytes, int count) override;
    void Received(const char* bytes, int count) override;
    void Idle() override;
    void Observe(int direction, const char* bytes, int count);

    std::recursive_mutex m_mutex;
    std::unique_ptr<CComPort> m_port;
    // Made by the platform the port was opened on; Cancel reaches it from
    // other threads under its own lock.
    std::mutex m_wakeupLock;
    std::unique_ptr<Wakeup> m_wakeup;
    std::string m_name;
    std::string m_device;  // empty: m_comNumber
    int m_comNumber = 0;
    std::string m_openError;
    uint32_t m_timeoutMs = 10000;
    bool m_traceDropIn = false;
    bool m_dropLateBytes = false;
    std::string m_tracePath;
    Observer m_observer = nullptr;
    void* m_observerContext = nullptr;
    IdleHook m_idle = nullptr;
    void* m_idleContext = nullptr;
    const CardType* m_selected = nullptr;
};

// The texts a reader's trace carries for a frame sent and a reply
// collected (the drop-in log's labels). The reply text ends with a line break.
void SentTraceText(const char* bytes, int count, char* out, size_t capacity);
void ReplyTraceText(const char* bytes, int count, char* out, size_t capacity);

}  // namespace qd500
