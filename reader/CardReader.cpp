#include "reader/CardReader.h"

#include <cstdio>
#include <cstring>

#include "reader/Texts.h"
#include "serial/doVoruv.h"

namespace qd500 {

namespace {

constexpr int kTraceTextChars = 254;
constexpr size_t kTraceLineCapacity = 1024;

// The bytes of a frame from index 2 (past ESC and '=') up to its first ETX.
int TraceText(const char* bytes, int count, char* text) {
    int n = 0;
    for (int i = 2; i < count && bytes[i] != kEtx && n < kTraceTextChars; ++i) text[n++] = bytes[i];
    text[n] = '\0';
    return n;
}

}  // namespace

void SentTraceText(const char* bytes, int count, char* out, size_t capacity) {
    char text[kTraceTextChars + 1];
    TraceText(bytes, count, text);
    if (std::strncmp(text, "5555", 4) == 0) {
        std::snprintf(out, capacity, "%s", text::kTracePowerOn);
    } else if (std::strncmp(text, "4444", 4) == 0) {
        std::snprintf(out, capacity, "%s", text::kTracePowerOff);
    } else {
        // The APDU command is traced without its command code.
        std::snprintf(out, capacity, text::kTraceCommand, std::strncmp(text, "5A", 2) == 0 ? text + 2 : text);
    }
}

void ReplyTraceText(const char* bytes, int count, char* out, size_t capacity) {
    char text[kTraceTextChars + 1];
    int n = TraceText(bytes, count, text);
    // The first two characters are the reply's length field.
    std::snprintf(out, capacity, text::kTraceReply, n > 2 ? text + 2 : "");
}

Stage StageOf(LineStatus status) {
    switch (status) {
        case LineStatus::Cancelled:
            return Stage::Cancelled;
        case LineStatus::Failed:
            return Stage::LineFailed;
        case LineStatus::NotOpen:
            return Stage::NotOpen;
        default:
            return Stage::NoReply;
    }
}

CardReader::CardReader() = default;

CardReader::~CardReader() { Close(); }

bool CardReader::OpenPort(int comNumber) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", comNumber);
    m_name = name;
    return OpenWith(comNumber, std::string());
}

bool CardReader::OpenDevice(const std::string& device) {
    m_name = device;
    return OpenWith(0, device);
}

bool CardReader::Reopen() { return OpenWith(m_comNumber, m_device); }

bool CardReader::OpenWith(int comNumber, const std::string& device) {
    Close();
    m_comNumber = comNumber;
    m_device = device;
    auto port = std::make_unique<CComPort>();
    port->SetParams(comNumber, 9600, 'N', '8', '1');
    port->SetDevice(device);
    if (!port->Open()) {
        m_openError = port->OpenError();
        return false;
    }
    m_openError.clear();
    {
        std::lock_guard<std::mutex> lock(m_wakeupLock);
        m_wakeup = CurrentPlatform().MakeWakeup();
    }
    port->SetListener(this);
    port->SetWakeup(m_wakeup.get());
    m_port = std::move(port);
    return true;
}

void CardReader::Close() {
    if (m_port) m_port->Close();
    m_port.reset();
    std::lock_guard<std::mutex> lock(m_wakeupLock);
    m_wakeup.reset();
}

void CardReader::TraceTo(std::string path) { m_tracePath = std::move(path); }

void CardReader::SetObserver(Observer observer, void* context) {
    m_observer = observer;
    m_observerContext = context;
}

void CardReader::SetIdleHook(IdleHook hook, void* context) {
    m_idle = hook;
    m_idleContext = context;
}

void CardReader::DropLateBytes() {
    if (m_dropLateBytes && m_port) m_port->DiscardInput();
}

void CardReader::Cancel() {
    std::lock_guard<std::mutex> lock(m_wakeupLock);
    if (m_wakeup) m_wakeup->Signal();
}

void CardReader::ClearCancel() {
    std::lock_guard<std::mutex> lock(m_wakeupLock);
    if (m_wakeup) m_wakeup->Clear();
}

Outcome CardReader::Transact(const FrameBody& body) { return Transact(body, m_timeoutMs); }

Outcome CardReader::Transact(const FrameBody& body, uint32_t timeoutMs) {
    Outcome out;
    if (!body.ok()) {
        out.stage = Stage::Refused;
        return out;
    }
    if (!m_port) return out;
    Frame frame = BuildFrame(body);
    DropLateBytes();
    if (m_port->SendData(frame.text, frame.length) != LineStatus::Ok) {
        out.stage = Stage::SendFailed;
        return out;
    }
    ReadResult reply = m_port->WaitReplyMs(kEtx, timeoutMs);
    if (!reply.Ok()) {
        out.stage = StageOf(reply.status);
        return out;
    }
    out.reply = ParseReply(m_port->Received(), m_port->ReceivedLength(), kEtx);
    out.stage = out.reply.header ? Stage::Answered : Stage::NoHeader;
    return out;
}

Stage CardReader::Exchange(const Bytes* pieces, int count, int endByte, short length, const Bytes* stop) {
    if (!m_port) return Stage::NotOpen;
    DropLateBytes();
    for (int i = 0; i < count; ++i) {
        if (m_port->SendData(pieces[i].data, pieces[i].length) != LineStatus::Ok) return Stage::SendFailed;
    }
    ReadResult answer = endByte >= 0 ? m_port->WaitReplyMs(static_cast<char>(endByte), m_timeoutMs)
                                     : m_port->ReadByLenMs(length, m_timeoutMs);
    if (answer.Ok() && answer.count > 0) return Stage::Answered;
    Stage stage = StageOf(answer.status);
    if (stop) SendOnly(*stop);
    return stage;
}

bool CardReader::SendOnly(const Bytes& bytes) {
    return m_port && m_port->SendData(bytes.data, bytes.length) == LineStatus::Ok;
}

void CardReader::Observe(int direction, const char* bytes, int count) {
    if (m_observer && count > 0)
        m_observer(m_observerContext, direction, reinterpret_cast<const unsigned char*>(bytes),
                   static_cast<size_t>(count));
}

void CardReader::Sent(const char* bytes, int count) {
    if (m_traceDropIn || !m_tracePath.empty()) {
        char line[kTraceLineCapacity];
        SentTraceText(bytes, count, line, sizeof line);
        if (m_traceDropIn) TraceLine("%s", line);
        if (!m_tracePath.empty()) TraceLineTo(m_tracePath.c_str(), m_name.c_str(), line);
    }
    Observe(kSent, bytes, count);
}

void CardReader::Replied(const char* bytes, int count) {
    if (m_traceDropIn || !m_tracePath.empty()) {
        char line[kTraceLineCapacity];
        ReplyTraceText(bytes, count, line, sizeof line);
        if (m_traceDropIn) TraceLine("%s", line);
        if (!m_tracePath.empty()) TraceLineTo(m_tracePath.c_str(), m_name.c_str(), line);
    }
    Observe(kReceived, bytes, count);
}

void CardReader::Received(const char* bytes, int count) { Observe(kReceived, bytes, count); }

void CardReader::Idle() {
    if (m_idle) m_idle(m_idleContext);
}

}  // namespace qd500
