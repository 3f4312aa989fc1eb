// The one reader session of the process: the session port, its closed flag
// and the response time-out every session command waits with.
#pragma once

#include <cstdint>

#include "serial/ComPort.h"

namespace qd500 {

extern CComPort* g_pSessionPort;
extern short g_nPortClosed;
// Seconds; kept unsigned, so a stored 200 means 200 seconds.
extern uint8_t g_byTimeOut;

// True when a session is open; otherwise writes "serial port not open".
bool SessionCheck(char* bpMsg);

// A port with the reader's line settings (9600 8N1), opened; null when the
// port cannot be opened.
CComPort* OpenReaderPort(int port);

}  // namespace qd500
