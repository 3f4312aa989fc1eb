// The drop-in library's edge: its one process-wide reader (the session),
// the closed flag, the response time-out in seconds, and the way every
// export writes its results into the caller's buffers. What the flat
// interface promises its callers (texts, buffer rules, the closed flag) lives
// here and in the exports beside it, nowhere deeper.
#pragma once

#include <cstdint>
#include <mutex>

#include "exports/Texts.h"
#include "reader/CardReader.h"

namespace qd500 {

// The session: the process-wide reader behind gOpenComIC.
CardReader& SessionReader();
// 1 after gCloseComIC or a failed AT24 call: every session command is then
// refused until gOpenComIC succeeds again.
extern short g_nPortClosed;
// Seconds; kept unsigned, so a stored 200 means 200 seconds.
extern uint8_t g_byTimeOut;

// Held by every export that touches the session or the flat state: calls
// from two threads never interleave on the line.
using FlatLock = std::lock_guard<std::recursive_mutex>;
std::recursive_mutex& FlatMutex();

// A reader of the flat interface's own (a one-shot call's private port):
// traced to the drop-in log, idle hook of SetIdleCallback.
void PrepareFlatReader(CardReader& reader);

// A command's texts for a frame not sent and for no reply in time.
struct CommandTexts {
    const char* sendFailed = text::kSendComErr;
    const char* timedOut = text::kCommTimeout;
};
inline constexpr CommandTexts kUsualTexts{};

// Copies a text into a caller's message buffer (a null buffer is skipped).
// Every text of the library fits the 32 bytes callers provide.
void WriteMessage(char* msg, const char* text);
void WriteMessagePort(char* msg, const char* format, int port);

// Writes "parameter error" and gives -1: for input that would overflow a
// field or a frame, refused before anything is sent.
short RefuseParameters(char* bpMsg);

// True when a session is open; otherwise writes "serial port not open".
bool SessionCheck(char* bpMsg);

// The message and result of an exchange: the status code's text and number,
// or the command's text for where it failed.
short Report(const Outcome& out, const CommandTexts& texts, char* bpMsg);

// One session command: the session check, the transaction, the report.
Outcome RunSessionCommand(const FrameBody& body, const CommandTexts& texts, char* bpMsg, short* result);
short SessionCommand(const FrameBody& body, const CommandTexts& texts, char* bpMsg);

}  // namespace qd500
