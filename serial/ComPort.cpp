#include "serial/ComPort.h"

#include <algorithm>
#include <cstring>

namespace qd500 {

namespace {

constexpr int kClearedPrefix = 512;
// Once a block read has begun, bytes that follow within this gap belong to
// the same answer (a UART's FIFO time-out is about four character times).
constexpr uint32_t kByteGapMs = 5;

uint32_t Elapsed(Platform& platform, uint32_t start) { return platform.TickMs() - start; }

// Time left until "more than limit has elapsed" becomes true, at least 1 ms.
uint32_t UntilPast(uint32_t limit, uint32_t elapsed) { return elapsed > limit ? 1 : limit - elapsed + 1; }

}  // namespace

CComPort::CComPort() { ResetReceive(); }

CComPort::~CComPort() { Close(); }

void CComPort::SetParams(int port, int baud, char parity, char dataBits, char stopBits) {
    m_nPort = port;
    m_nBaud = baud;
    m_cParity = parity;
    m_cDataBits = dataBits;
    m_cStopBits = stopBits;
}

int CComPort::Open() {
    if (m_bOpen) return 1;
    static constexpr int kBauds[] = {300, 600, 1200, 2400, 4800, 19200, 38400, 56000, 57600, 115200};
    LineSettings settings;
    settings.baud = std::find(std::begin(kBauds), std::end(kBauds), m_nBaud) != std::end(kBauds)
                        ? static_cast<uint32_t>(m_nBaud)
                        : 9600u;
    settings.parity = m_cParity == 'O' ? 1 : m_cParity == 'E' ? 2 : 0;
    settings.dataBits = m_cDataBits == '7' ? 7 : 8;
    settings.stopBits = m_cStopBits == '2' ? 2 : 0;
    Platform& platform = CurrentPlatform();
    m_openError.clear();
    m_hCom = platform.Open(m_device.empty() ? platform.PortDevice(m_nPort) : m_device, settings, &m_openError);
    if (!m_hCom) return 0;
    m_bOpen = 1;
    m_bLineFailed = false;
    m_status = LineStatus::Ok;
    m_stagedPos = m_stagedLen = 0;
    return 1;
}

int CComPort::Close() {
    if (!m_bOpen || !m_hCom) return 1;
    m_hCom.reset();
    m_bOpen = 0;
    m_stagedPos = m_stagedLen = 0;
    m_status = LineStatus::NotOpen;
    return 1;
}

LineStatus CComPort::SendData(const char* bytes, int count) {
    // The bytes go out first: the trace line is then written while they are
    // on the line instead of holding them back (a file open and close a
    // line costs about 0.1 ms under Wine). A send on a closed port is still
    // reported, so the trace shows what the caller tried.
    const bool send = IsOpen() && bytes && count > 0;
    if (send)
        for (int i = 0; i < count; ++i) WriteByte(static_cast<uint8_t>(bytes[i]));
    if (m_listener) m_listener->Sent(bytes ? bytes : "", bytes ? count : 0);
    m_status = send ? LineStatus::Ok : LineStatus::NotOpen;
    return m_status;
}

int CComPort::WriteByte(uint8_t byte) {
    // A byte the driver does not take in time is dropped; the count goes on.
    if (IsOpen()) m_hCom->WriteByte(byte, kWriteByteWaitMs);
    return 1;
}

void CComPort::ResetReceive() {
    std::memset(m_szRecv, 0, kClearedPrefix);
    m_szRecv[kRecvCapacity] = '\0';
    m_nRecvLen = 0;
}

short CComPort::Finish(LineStatus status, short value) {
    m_status = status;
    return value;
}

LineStatus CComPort::WaitEnd() const {
    if (Cancelled()) return LineStatus::Cancelled;
    return m_bLineFailed ? LineStatus::Failed : LineStatus::TimedOut;
}

void CComPort::Pump() {
    CurrentPlatform().PumpMessages();
    if (m_listener) m_listener->Idle();
}

int CComPort::QueueCount() {
    int staged = m_stagedLen - m_stagedPos;
    int queued = m_hCom->InQueue();
    if (queued < 0) {
        MarkFailed();
        return staged > 0 ? staged : -1;
    }
    return staged + queued;
}

int CComPort::TakeBytes(uint8_t* dst, int max) {
    if (max <= 0) return 0;
    int staged = m_stagedLen - m_stagedPos;
    if (staged > 0) {
        int n = std::min(staged, max);
        std::memcpy(dst, m_staged + m_stagedPos, static_cast<size_t>(n));
        m_stagedPos += n;
        return n;
    }
    int n = m_hCom->Read(dst, max);
    if (n < 0) MarkFailed();
    return n;
}

bool CComPort::WaitForInput(uint32_t ms) {
    if (m_stagedLen > m_stagedPos) return true;
    if (m_bLineFailed || Cancelled()) return false;
    switch (m_hCom->WaitInput(ms, m_wakeup)) {
        case WaitResult::Failed:
            MarkFailed();
            return false;
        case WaitResult::Woken:
            return false;
        default:
            return true;
    }
}

short CComPort::ReadToEndChar(char endChar) {
    ResetReceive();
    if (!IsOpen()) return Finish(LineStatus::NotOpen, kQueueEmpty);
    if (QueueCount() <= 0) return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued, kQueueEmpty);

    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    m_bFrameDone = 0;
    auto giveUp = [&] {
        Purge();
        return Finish(WaitEnd(), kTimedOut);
    };
    // One window for the whole reply, not renewed as bytes arrive.
    for (;;) {
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > kEndCharWindowMs) return giveUp();
        if (m_stagedPos == m_stagedLen) {
            int queued = QueueCount();
            if (queued < 0) return giveUp();
            if (queued == 0) {
                if (!WaitForInput(UntilPast(kEndCharWindowMs, elapsed))) return giveUp();
                continue;
            }
            // Read a block into the staging buffer; whatever follows the end
            // character stays there for the next read.
            int n = m_hCom->Read(m_staged, std::min(queued, kRecvCapacity));
            if (n < 0) {
                MarkFailed();
                return giveUp();
            }
            m_stagedPos = 0;
            m_stagedLen = n;
        }
        while (m_stagedPos < m_stagedLen) {
            char byte = static_cast<char>(m_staged[m_stagedPos++]);
            // A reply longer than the buffer is cut; the rest up to the end
            // character is consumed so that it cannot pose as the next reply.
            if (m_nRecvLen < kRecvCapacity) m_szRecv[m_nRecvLen++] = byte;
            if (byte == endChar) {
                m_bFrameDone = 1;
                break;
            }
        }
        if (m_bFrameDone) break;
    }
    m_szRecv[m_nRecvLen] = '\0';
    Purge();
    return Finish(LineStatus::Ok, static_cast<short>(m_nRecvLen));
}

short CComPort::WaitReply(char endChar, uint8_t timeoutSec) {
    return WaitReplyMs(endChar, static_cast<uint32_t>(timeoutSec) * 1000u);
}

short CComPort::WaitReplyMs(char endChar, uint32_t limit) {
    // Whatever the last operation read is gone, even when no read attempt
    // follows (a line already failed).
    ResetReceive();
    if (!IsOpen()) return Finish(LineStatus::NotOpen, -1);
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    short length;
    for (;;) {
        Pump();
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > limit || m_bLineFailed || Cancelled()) {
            Purge();
            return Finish(WaitEnd(), kTimedOut);
        }
        length = ReadToEndChar(endChar);
        if (length > 0) break;
        if (m_bLineFailed || Cancelled()) continue;
        // The rest of a reply whose window ran out may be waiting already.
        if (QueueCount() > 0) continue;
        WaitForInput(std::min(kReplyCycleMs, UntilPast(limit, Elapsed(platform, start))));
    }
    if (m_listener) m_listener->Replied(m_szRecv, m_nRecvLen);
    return Finish(LineStatus::Ok, length);
}

short CComPort::ReadByLen(short count, uint16_t timeoutSec) {
    return ReadByLenMs(count, static_cast<uint32_t>(timeoutSec) * 1000u);
}

short CComPort::ReadByLenMs(short count, uint32_t limit) {
    ResetReceive();
    if (!IsOpen()) return Finish(LineStatus::NotOpen, 0);
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    const int want = std::clamp<int>(count, 0, kRecvCapacity);
    m_bFrameDone = 0;
    // Asking for nothing gets nothing at once, instead of spinning on bytes
    // that are waiting but may not be taken.
    if (want == 0) return Finish(LineStatus::Ok, 0);
    int got = 0;
    for (;;) {
        Pump();
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > limit) break;
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv), want);
        if (n < 0) {
            m_nRecvLen = 0;
            return Finish(LineStatus::Failed, 0);
        }
        if (n > 0) {
            got = n;
            break;
        }
        if (!WaitForInput(std::min(kReplyCycleMs, UntilPast(limit, elapsed)))) {
            m_nRecvLen = 0;
            return Finish(WaitEnd(), 0);
        }
    }
    // Bytes of the same answer that follow on the heels of the first. A wake
    // for something else (a window message) waits out the rest of the gap.
    uint32_t gapStart = platform.TickMs();
    while (got > 0 && got < want) {
        uint32_t waited = Elapsed(platform, gapStart);
        if (waited >= kByteGapMs || !WaitForInput(kByteGapMs - waited)) break;
        if (QueueCount() <= 0) continue;
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv) + got, want - got);
        if (n <= 0) break;
        got += n;
        gapStart = platform.TickMs();
    }
    m_nRecvLen = got;
    m_szRecv[got] = '\0';
    if (got > 0 && m_listener) m_listener->Received(m_szRecv, got);
    return got >= 1 ? Finish(LineStatus::Ok, 1) : Finish(LineStatus::TimedOut, 0);
}

int CComPort::StartBlockRead() {
    ResetReceive();
    m_bFrameDone = 0;
    if (!IsOpen()) return Finish(LineStatus::NotOpen, 0);
    Purge();
    int queued = QueueCount();
    if (queued > 0) return queued;
    return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued, kQueueEmpty);
}

short CComPort::ReadAll() {
    int queued = StartBlockRead();
    if (queued <= 0) return static_cast<short>(queued);
    int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv), std::min(queued, kRecvCapacity));
    if (n < 0) return Finish(LineStatus::Failed, kQueueEmpty);
    m_nRecvLen = n;

    // Everything that follows until the line has been quiet for 100 ms. The
    // first block is taken at once rather than after the settling pause, but
    // the quiet period counts from no earlier than the pause's end, so the
    // read listens as long as it would have.
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    uint32_t last = kSettlingPauseMs;  // milliseconds after start
    while (m_nRecvLen < kRecvCapacity) {
        uint32_t now = Elapsed(platform, start);
        if (now > last + kQuietPeriodMs) break;
        if (!WaitForInput(UntilPast(last + kQuietPeriodMs, now))) break;
        queued = QueueCount();
        if (queued <= 0) continue;
        n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv) + m_nRecvLen, std::min(queued, kRecvCapacity - m_nRecvLen));
        if (n > 0) {
            m_nRecvLen += n;
            last = std::max(last, Elapsed(platform, start));
        }
    }
    m_szRecv[m_nRecvLen] = '\0';
    m_bFrameDone = 1;
    if (m_listener) m_listener->Received(m_szRecv, m_nRecvLen);
    return Finish(LineStatus::Ok, static_cast<short>(m_nRecvLen));
}

short CComPort::ReadExact(short count) {
    int queued = StartBlockRead();
    if (queued <= 0) return static_cast<short>(queued);
    if (count > queued) return Finish(LineStatus::TooFewQueued, kTooFewQueued);
    int want = std::clamp<int>(count, 0, kRecvCapacity);
    int got = 0;
    while (got < want) {
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv) + got, want - got);
        if (n <= 0) break;
        got += n;
    }
    m_nRecvLen = got;
    m_szRecv[got] = '\0';
    if (got < want) return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued, kQueueEmpty);
    m_bFrameDone = 1;
    return Finish(LineStatus::Ok, static_cast<short>(got));
}

int CComPort::GetInQueue() {
    if (!IsOpen()) return 0;
    int queued = QueueCount();
    return queued > 0 ? queued : 0;
}

int CComPort::ReadAvailable(char* dst, int max) {
    if (!IsOpen() || !dst || max <= 0) return 0;
    int queued = QueueCount();
    if (queued <= 0) return 0;
    int n = TakeBytes(reinterpret_cast<uint8_t*>(dst), std::min(queued, max));
    return n > 0 ? n : 0;
}

int CComPort::DiscardInput() {
    int dropped = 0;
    char bytes[kRecvCapacity];
    for (int n; (n = ReadAvailable(bytes, sizeof bytes)) > 0; dropped += n)
        if (m_listener) m_listener->Received(bytes, n);
    return dropped;
}

int CComPort::Purge() { return IsOpen() && m_hCom->PurgeOutput() ? 1 : 0; }

}  // namespace qd500
