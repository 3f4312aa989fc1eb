// Raw access to the session port, below the reader protocol: bytes out, and
// whatever comes back up to an end character, by count, or until quiet.
#include <cstring>

#include "qd500dll.h"
#include "reader/Session.h"

using namespace qd500;

namespace {

// Hands the port's received bytes to the caller: the text up to the first
// zero byte, and the full count.
short Deliver(short result, char* bpData, short* pnLen) {
    const CComPort* port = g_pSessionPort;
    if (bpData) {
        size_t n = port ? strnlen(port->m_szRecv, CComPort::kRecvCapacity) : 0;
        if (n) std::memcpy(bpData, port->m_szRecv, n);
        bpData[n] = '\0';
    }
    if (pnLen) *pnLen = port ? static_cast<short>(port->m_nRecvLen) : 0;
    return result;
}

}  // namespace

extern "C" {

QD500_API int QD500_CALL AsynSendData(const char* bpData, short nLen) {
    // Without a session port nothing can be sent; 0 says so.
    if (!g_pSessionPort) return 0;
    return g_pSessionPort->SendData(bpData, nLen);
}

QD500_API short QD500_CALL sReadByEndChar(char cEndChar, char cTimeOut, char* bpData, short* pnLen) {
    if (!g_pSessionPort) return Deliver(-1, bpData, pnLen);
    short result = g_pSessionPort->WaitReply(cEndChar, static_cast<uint8_t>(cTimeOut));
    return Deliver(result, bpData, pnLen);
}

QD500_API short QD500_CALL sReadByLen(short nLen, short nTimeOut, char* bpData, short* pnLen) {
    if (!g_pSessionPort) return Deliver(0, bpData, pnLen);
    short result = g_pSessionPort->ReadByLen(nLen, static_cast<uint16_t>(nTimeOut));
    return Deliver(result, bpData, pnLen);
}

QD500_API short QD500_CALL sAsynReadNomal(char* bpData, short* pnLen) {
    if (!g_pSessionPort) return Deliver(-1, bpData, pnLen);
    short result = g_pSessionPort->ReadAll();
    return Deliver(result, bpData, pnLen);
}

}  // extern "C"
