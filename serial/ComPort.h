// The serial channel: one object per open COM port. It sends frames byte by
// byte and collects replies into its receive buffer, up to an end character
// or as whatever arrives, waiting on the line instead of sleeping blind.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Platform.h"

namespace qd500 {

class CComPort {
public:
    static constexpr int kRecvCapacity = 1024;
    // Read results besides a byte count.
    static constexpr short kQueueEmpty = -1;
    static constexpr short kTooFewQueued = -10;
    static constexpr short kTimedOut = -11;

    // Time rules of the channel, in milliseconds.
    static constexpr uint32_t kWriteByteWaitMs = 1000;
    static constexpr uint32_t kReplyCycleMs = 200;
    static constexpr uint32_t kEndCharWindowMs = 1000;
    static constexpr uint32_t kSettlingPauseMs = 100;  // before the block read of ReadAll
    static constexpr uint32_t kQuietPeriodMs = 100;

    CComPort();
    ~CComPort();
    CComPort(const CComPort&) = delete;
    CComPort& operator=(const CComPort&) = delete;

    void SetParams(int port, int baud, char parity, char dataBits, char stopBits);
    int Open();
    int Close();
    int SendData(const char* bytes, int count);
    int WriteByte(uint8_t byte);
    short WaitReply(char endChar, uint8_t timeoutSec);
    short ReadToEndChar(char endChar);
    short ReadByLen(short count, uint16_t timeoutSec);
    short ReadAll();
    short ReadExact(short count);
    int GetInQueue();
    int ReadAvailable(char* dst, int max);
    int Purge();

    bool IsOpen() const { return m_bOpen && m_hCom; }
    // Set once the line reported a hang-up or an I/O error; every wait on it
    // then ends at once.
    bool LineFailed() const { return m_bLineFailed; }

    // What the last read operation collected; always NUL-terminated.
    char m_szRecv[kRecvCapacity + 1];
    int m_nRecvLen = 0;
    uint8_t m_bFrameDone = 0;

private:
    void ResetReceive();
    // The common start of ReadAll and ReadExact: the queued count, 0 when the
    // port is not open, kQueueEmpty when nothing waits.
    int StartBlockRead();
    int QueueCount();                      // staged and driver-queued bytes; -1 when the line failed
    int TakeBytes(uint8_t* dst, int max);  // from the staging buffer first, then the line
    bool WaitForInput(uint32_t ms);        // false when the line failed
    void MarkFailed() { m_bLineFailed = true; }
    void TraceReply();

    int m_nPort = 0;
    std::unique_ptr<SerialLine> m_hCom;
    uint8_t m_bOpen = 0;
    char m_cStopBits = '1';
    char m_cDataBits = '8';
    char m_cParity = 'N';
    int m_nBaud = 9600;
    bool m_bLineFailed = false;

    // Bytes read from the driver but not yet consumed: a reply read in blocks
    // leaves what follows its end character here, as it would stay queued.
    uint8_t m_staged[kRecvCapacity];
    int m_stagedPos = 0;
    int m_stagedLen = 0;
};

}  // namespace qd500
