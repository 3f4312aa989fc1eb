#include "reader/Session.h"

#include "qd500dll.h"
#include "reader/Protocol.h"
#include "reader/Texts.h"

namespace qd500 {

CComPort* g_pSessionPort = nullptr;
short g_nPortClosed = 0;
uint8_t g_byTimeOut = 10;

bool SessionCheck(char* bpMsg) {
    if (g_pSessionPort && g_nPortClosed != 1) return true;
    WriteMessage(bpMsg, text::kPortNotOpen);
    return false;
}

CComPort* OpenReaderPort(int port) {
    auto* com = new CComPort();
    com->SetParams(port, 9600, 'N', '8', '1');
    if (!com->Open()) {
        delete com;
        return nullptr;
    }
    return com;
}

namespace {

// Closes a session still open when the module is unloaded.
class CSessionGuard {
public:
    CSessionGuard() = default;
    ~CSessionGuard() {
        char message[32];
        gCloseComIC(message);
    }
};

CSessionGuard g_sessionGuard;

}  // namespace

}  // namespace qd500

using namespace qd500;

extern "C" {

QD500_API short QD500_CALL gOpenComIC(short nPort, char* bpMsg) {
    // A session still open is closed first, so reopening never leaks a port.
    if (g_pSessionPort) {
        char ignored[32];
        gCloseComIC(ignored);
    }
    g_pSessionPort = OpenReaderPort(nPort);
    g_nPortClosed = 0;
    if (!g_pSessionPort) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        return -1;
    }
    WriteMessagePort(bpMsg, text::kPortOpened, nPort);
    return 0;
}

QD500_API short QD500_CALL gCloseComIC(char* bpMsg) {
    WriteMessage(bpMsg, "");
    if (!g_pSessionPort) {
        WriteMessage(bpMsg, text::kPortNotOpen);
        return -1;
    }
    g_pSessionPort->Close();
    WriteMessage(bpMsg, text::kClosed);
    g_nPortClosed = 1;
    delete g_pSessionPort;
    g_pSessionPort = nullptr;
    return 0;
}

QD500_API char QD500_CALL gSetTimeOutIC(char cTimeOut) {
    g_byTimeOut = static_cast<uint8_t>(cTimeOut);
    return cTimeOut;
}

}  // extern "C"
