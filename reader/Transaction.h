// The transaction every session command follows: frame out, reply in up to
// ETX, header search, status code into the message and the result. A command
// is its body, its two texts and what it does with the reply's data field.
#pragma once

#include <cstdint>

#include "reader/Protocol.h"
#include "reader/Texts.h"
#include "serial/ComPort.h"

namespace qd500 {

struct CommandTexts {
    const char* sendFailed = text::kSendComErr;
    const char* timedOut = text::kCommTimeout;
};
inline constexpr CommandTexts kUsualTexts{};

struct Outcome {
    short result = -1;
    bool parsed = false;  // a reply header was found; reply is valid until the port's next read
    Reply reply;
};

// Writes "parameter error" and gives -1: for input that would overflow a
// field or a frame, refused before anything is sent.
short RefuseParameters(char* bpMsg);

// One exchange on an open port.
Outcome Exchange(CComPort& port, uint8_t timeoutSec, const FrameBody& body, const CommandTexts& texts,
                 char* bpMsg);

// One exchange on the session port with the response time-out. The caller
// has made the session check.
Outcome SessionExchange(const FrameBody& body, const CommandTexts& texts, char* bpMsg);

// The data field as text, at most maxChars characters, then a NUL. Returns
// the count of characters copied.
int CopyDataText(const Reply& reply, char* out, int maxChars);

// The data field from hex text to bytes through the 256-character work area
// of the memory reads: at most 128 bytes, then a zero byte.
void CopyDataBytes(const Reply& reply, unsigned char* out);

}  // namespace qd500
