// The session exports, the flat state, and the guard that closes a session
// still open when the module is unloaded.
#include <cstdio>

#include "exports/Flat.h"
#include "qd500dll.h"

namespace qd500 {

namespace {

// The idle hook of the flat interface (SetIdleCallback), for every reader it
// opens.
std::mutex g_idleLock;
void (*g_idleCallback)(void*) = nullptr;
void* g_idleContext = nullptr;

void FlatIdle(void*) {
    void (*callback)(void*);
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_idleLock);
        callback = g_idleCallback;
        context = g_idleContext;
    }
    if (callback) callback(context);
}

CardReader g_session;

// Closes a session still open when the module is unloaded. Defined after
// the session, so it is destroyed before it.
class CSessionGuard {
public:
    CSessionGuard() { PrepareFlatReader(g_session); }
    ~CSessionGuard() {
        char message[32];
        gCloseComIC(message);
    }
};

CSessionGuard g_sessionGuard;

}  // namespace

short g_nPortClosed = 0;
uint8_t g_byTimeOut = 10;

CardReader& SessionReader() { return g_session; }

std::recursive_mutex& FlatMutex() { return g_session.Mutex(); }

void PrepareFlatReader(CardReader& reader) {
    reader.TraceDropIn();
    reader.SetIdleHook(FlatIdle, nullptr);
}

void WriteMessage(char* msg, const char* text) {
    if (!msg) return;
    std::snprintf(msg, 32, "%s", text);
}

void WriteMessagePort(char* msg, const char* format, int port) {
    if (!msg) return;
    std::snprintf(msg, 32, format, port);
}

short RefuseParameters(char* bpMsg) {
    WriteMessage(bpMsg, text::kParamError);
    return -1;
}

bool SessionCheck(char* bpMsg) {
    if (g_session.IsOpen() && g_nPortClosed != 1) return true;
    WriteMessage(bpMsg, text::kPortNotOpen);
    return false;
}

short Report(const Outcome& out, const CommandTexts& texts, char* bpMsg) {
    switch (out.stage) {
        case Stage::Answered: {
            const char* message = StatusText(out.reply.statusEmpty ? "" : out.reply.status);
            WriteMessage(bpMsg, message ? message : text::kSerialCommError);
            return out.Result();
        }
        case Stage::Refused:
            return RefuseParameters(bpMsg);
        case Stage::NotOpen:
        case Stage::SendFailed:
            WriteMessage(bpMsg, texts.sendFailed);
            return -1;
        case Stage::NoHeader:
            WriteMessage(bpMsg, text::kTimeoutExit);
            return -1;
        case Stage::NoReply:
        case Stage::LineFailed:
        case Stage::Cancelled:
            break;
    }
    WriteMessage(bpMsg, texts.timedOut);
    return -1;
}

Outcome RunSessionCommand(const FrameBody& body, const CommandTexts& texts, char* bpMsg, short* result) {
    Outcome out;
    if (!SessionCheck(bpMsg)) {
        *result = -1;
        return out;
    }
    out = g_session.Transact(body);
    *result = Report(out, texts, bpMsg);
    return out;
}

short SessionCommand(const FrameBody& body, const CommandTexts& texts, char* bpMsg) {
    short result;
    RunSessionCommand(body, texts, bpMsg, &result);
    return result;
}

QD500_API void SetIdleCallback(void (*callback)(void*), void* context) {
    std::lock_guard<std::mutex> lock(g_idleLock);
    g_idleCallback = callback;
    g_idleContext = context;
}

}  // namespace qd500

using namespace qd500;

extern "C" {

QD500_API short QD500_CALL gOpenComIC(short nPort, char* bpMsg) {
    FlatLock lock(FlatMutex());
    // A session still open is closed first, so reopening never leaks a port.
    if (g_session.IsOpen()) {
        char ignored[32];
        gCloseComIC(ignored);
    }
    bool opened = g_session.OpenPort(nPort);
    g_nPortClosed = 0;
    if (!opened) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        return -1;
    }
    WriteMessagePort(bpMsg, text::kPortOpened, nPort);
    return 0;
}

QD500_API short QD500_CALL gCloseComIC(char* bpMsg) {
    FlatLock lock(FlatMutex());
    WriteMessage(bpMsg, "");
    if (!g_session.IsOpen()) {
        WriteMessage(bpMsg, text::kPortNotOpen);
        return -1;
    }
    g_session.Close();
    WriteMessage(bpMsg, text::kClosed);
    g_nPortClosed = 1;
    return 0;
}

QD500_API char QD500_CALL gSetTimeOutIC(char cTimeOut) {
    FlatLock lock(FlatMutex());
    g_byTimeOut = static_cast<uint8_t>(cTimeOut);
    g_session.SetTimeoutMs(g_byTimeOut * 1000u);
    return cTimeOut;
}

}  // extern "C"
