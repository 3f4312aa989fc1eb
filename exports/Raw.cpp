// Raw access to the session port, below the reader protocol: bytes out, and
// whatever comes back up to an end character, by count, or until quiet.
#include <cstring>

#include "exports/Flat.h"
#include "qd500dll.h"

using namespace qd500;

namespace {

// The numbers these calls have always handed their callers.
constexpr short kQueueEmpty = -1;
constexpr short kTooFewQueued = -10;
constexpr short kTimedOut = -11;

// A reply up to the end character: its length, -1 when the port is not
// open, and -11 for every other way the wait ended.
short ReplyNumber(const ReadResult& result) {
    switch (result.status) {
        case LineStatus::Ok:
            return static_cast<short>(result.count);
        case LineStatus::NotOpen:
            return kQueueEmpty;
        default:
            return kTimedOut;
    }
}

// A read by length: 1 when bytes came, 0 otherwise.
short ByLenNumber(const ReadResult& result) { return result.Ok() && result.count > 0 ? 1 : 0; }

// A block read: its count, 0 when the port is not open, -10 when too few
// bytes were queued and -1 for nothing queued or a failed line.
short BlockNumber(const ReadResult& result) {
    switch (result.status) {
        case LineStatus::Ok:
            return static_cast<short>(result.count);
        case LineStatus::NotOpen:
            return 0;
        case LineStatus::TooFewQueued:
            return kTooFewQueued;
        default:
            return kQueueEmpty;
    }
}

// Hands the port's received bytes to the caller: the text up to the first
// zero byte, and the full count.
short Deliver(const CComPort* port, short result, char* bpData, short* pnLen) {
    if (bpData) {
        size_t n = port ? strnlen(port->Received(), CComPort::kRecvCapacity) : 0;
        if (n) std::memcpy(bpData, port->Received(), n);
        bpData[n] = '\0';
    }
    if (pnLen) *pnLen = port ? static_cast<short>(port->ReceivedLength()) : 0;
    return result;
}

}  // namespace

extern "C" {

QD500_API int QD500_CALL AsynSendData(const char* bpData, short nLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    // Without a session port nothing can be sent; 0 says so.
    if (!port) return 0;
    return port->SendData(bpData, nLen) == LineStatus::Ok ? nLen : 0;
}

QD500_API short QD500_CALL sReadByEndChar(char cEndChar, char cTimeOut, char* bpData, short* pnLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    if (!port) return Deliver(port, kQueueEmpty, bpData, pnLen);
    return Deliver(port, ReplyNumber(port->WaitReply(cEndChar, static_cast<uint8_t>(cTimeOut))), bpData, pnLen);
}

QD500_API short QD500_CALL sReadByLen(short nLen, short nTimeOut, char* bpData, short* pnLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    if (!port) return Deliver(port, 0, bpData, pnLen);
    return Deliver(port, ByLenNumber(port->ReadByLen(nLen, static_cast<uint16_t>(nTimeOut))), bpData, pnLen);
}

QD500_API short QD500_CALL sAsynReadNomal(char* bpData, short* pnLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    if (!port) return Deliver(port, kQueueEmpty, bpData, pnLen);
    return Deliver(port, BlockNumber(port->ReadAll()), bpData, pnLen);
}

}  // extern "C"
