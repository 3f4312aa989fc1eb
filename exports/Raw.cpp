// Raw access to the session port, below the reader protocol: bytes out, and
// whatever comes back up to an end character, by count, or until quiet.
#include <cstring>

#include "exports/Flat.h"
#include "qd500dll.h"

using namespace qd500;

namespace {

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
    if (!port) return Deliver(port, -1, bpData, pnLen);
    return Deliver(port, port->WaitReply(cEndChar, static_cast<uint8_t>(cTimeOut)), bpData, pnLen);
}

QD500_API short QD500_CALL sReadByLen(short nLen, short nTimeOut, char* bpData, short* pnLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    if (!port) return Deliver(port, 0, bpData, pnLen);
    return Deliver(port, port->ReadByLen(nLen, static_cast<uint16_t>(nTimeOut)), bpData, pnLen);
}

QD500_API short QD500_CALL sAsynReadNomal(char* bpData, short* pnLen) {
    FlatLock lock(FlatMutex());
    CComPort* port = SessionReader().Port();
    if (!port) return Deliver(port, -1, bpData, pnLen);
    return Deliver(port, port->ReadAll(), bpData, pnLen);
}

}  // extern "C"
