#include "serial/ComPort.h"

#include <algorithm>
#include <cstring>

namespace qd500 {

namespace {

constexpr int kClearedPrefix = 512;

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
    m_stagedPos = m_stagedLen = 0;
    return 1;
}

int CComPort::Close() {
    if (!m_bOpen || !m_hCom) return 1;
    m_hCom.reset();
    m_bOpen = 0;
    m_stagedPos = m_stagedLen = 0;
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
    return send ? LineStatus::Ok : LineStatus::NotOpen;
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

ReadResult CComPort::Read(const ReadUntil& until) {
    ResetReceive();
    m_bFrameDone = 0;
    if (!IsOpen()) return Finish(LineStatus::NotOpen);
    ReadResult result;
    if (until.endChar) {
        result = until.totalMs ? ReadReply(*until.endChar, until.endCharWindowMs, *until.totalMs)
                               : ReadEndCharWindow(*until.endChar, until.endCharWindowMs);
    } else {
        const int want = std::clamp<int>(until.count.value_or(kRecvCapacity), 0, kRecvCapacity);
        // Asking for nothing gets nothing at once, instead of spinning on
        // bytes that are waiting but may not be taken.
        if (until.totalMs && want == 0) return Finish(LineStatus::Ok);
        result = until.totalMs ? ReadFirstBytes(want, *until.totalMs) : ReadQueued(until, want);
        if (result.Ok() && until.quietMs) {
            ReadUntilQuiet(want, *until.quietMs, until.settleMs);
            result = Finish(LineStatus::Ok);
        }
    }
    if (!result.Ok()) return result;
    // A block read that ended as described holds a whole frame; a read that
    // waited or listened tells the listener what it collected.
    if (!until.totalMs) m_bFrameDone = 1;
    if (m_listener && (until.totalMs || until.quietMs)) {
        if (until.endChar)
            m_listener->Replied(m_szRecv, m_nRecvLen);
        else
            m_listener->Received(m_szRecv, m_nRecvLen);
    }
    return result;
}

ReadResult CComPort::ReadEndCharWindow(char endChar, uint32_t windowMs) {
    ResetReceive();
    if (QueueCount() <= 0) return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued);
    m_bFrameDone = 0;

    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    // What was collected stays in the buffer when the window runs out.
    auto giveUp = [&] {
        Purge();
        return Finish(WaitEnd());
    };
    // One window for the whole reply, not renewed as bytes arrive.
    for (;;) {
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > windowMs) return giveUp();
        if (m_stagedPos == m_stagedLen) {
            int queued = QueueCount();
            if (queued < 0) return giveUp();
            if (queued == 0) {
                if (!WaitForInput(UntilPast(windowMs, elapsed))) return giveUp();
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
    return Finish(LineStatus::Ok);
}

ReadResult CComPort::ReadReply(char endChar, uint32_t windowMs, uint32_t limit) {
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    for (;;) {
        Pump();
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > limit || m_bLineFailed || Cancelled()) {
            Purge();
            return Finish(WaitEnd());
        }
        if (ReadEndCharWindow(endChar, windowMs).Ok()) return Finish(LineStatus::Ok);
        if (m_bLineFailed || Cancelled()) continue;
        // The rest of a reply whose window ran out may be waiting already.
        if (QueueCount() > 0) continue;
        WaitForInput(std::min(kReplyCycleMs, UntilPast(limit, Elapsed(platform, start))));
    }
}

ReadResult CComPort::ReadFirstBytes(int want, uint32_t limit) {
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    for (;;) {
        Pump();
        uint32_t elapsed = Elapsed(platform, start);
        if (elapsed > limit) return Finish(LineStatus::TimedOut);
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv), want);
        if (n < 0) return Finish(LineStatus::Failed);
        if (n > 0) {
            m_nRecvLen = n;
            m_szRecv[n] = '\0';
            return Finish(LineStatus::Ok);
        }
        if (!WaitForInput(std::min(kReplyCycleMs, UntilPast(limit, elapsed)))) return Finish(WaitEnd());
    }
}

ReadResult CComPort::ReadQueued(const ReadUntil& until, int want) {
    Purge();
    int queued = QueueCount();
    if (queued <= 0) return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued);
    // Without a quiet period to listen through, the count must be there.
    const bool exact = until.count && !until.quietMs;
    if (exact && *until.count > queued) return Finish(LineStatus::TooFewQueued);
    const int target = exact ? want : std::min(queued, want);
    while (m_nRecvLen < target) {
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv) + m_nRecvLen, target - m_nRecvLen);
        if (n <= 0) break;
        m_nRecvLen += n;
    }
    m_szRecv[m_nRecvLen] = '\0';
    if (exact ? m_nRecvLen < target : m_nRecvLen == 0 && m_bLineFailed)
        return Finish(m_bLineFailed ? LineStatus::Failed : LineStatus::NothingQueued);
    return Finish(LineStatus::Ok);
}

void CComPort::ReadUntilQuiet(int want, uint32_t quietMs, uint32_t settleMs) {
    // The quiet period counts from the last bytes taken, and from no earlier
    // than the settling pause's end, so a read whose first block was taken
    // at once still listens as long as it would have after the pause.
    Platform& platform = CurrentPlatform();
    const uint32_t start = platform.TickMs();
    uint32_t last = settleMs;  // milliseconds after start
    while (m_nRecvLen < want) {
        uint32_t now = Elapsed(platform, start);
        if (now > last + quietMs) break;
        // A wake for something else (a window message) waits out the rest.
        if (!WaitForInput(UntilPast(last + quietMs, now))) break;
        int queued = QueueCount();
        if (queued <= 0) continue;
        int n = TakeBytes(reinterpret_cast<uint8_t*>(m_szRecv) + m_nRecvLen, std::min(queued, want - m_nRecvLen));
        if (n > 0) {
            m_nRecvLen += n;
            last = std::max(last, Elapsed(platform, start));
        }
    }
    m_szRecv[m_nRecvLen] = '\0';
}

ReadResult CComPort::WaitReply(char endChar, uint8_t timeoutSec) {
    return WaitReplyMs(endChar, static_cast<uint32_t>(timeoutSec) * 1000u);
}

ReadResult CComPort::WaitReplyMs(char endChar, uint32_t timeoutMs) {
    ReadUntil until;
    until.endChar = endChar;
    until.endCharWindowMs = kEndCharWindowMs;
    until.totalMs = timeoutMs;
    return Read(until);
}

ReadResult CComPort::ReadToEndChar(char endChar) {
    ReadUntil until;
    until.endChar = endChar;
    until.endCharWindowMs = kEndCharWindowMs;
    return Read(until);
}

ReadResult CComPort::ReadByLen(short count, uint16_t timeoutSec) {
    return ReadByLenMs(count, static_cast<uint32_t>(timeoutSec) * 1000u);
}

ReadResult CComPort::ReadByLenMs(short count, uint32_t timeoutMs) {
    ReadUntil until;
    until.count = count;
    until.quietMs = kByteGapMs;
    until.totalMs = timeoutMs;
    return Read(until);
}

ReadResult CComPort::ReadAll() {
    ReadUntil until;
    until.quietMs = kQuietPeriodMs;
    until.settleMs = kSettlingPauseMs;
    return Read(until);
}

ReadResult CComPort::ReadExact(short count) {
    ReadUntil until;
    until.count = count;
    return Read(until);
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
