// What the memory-card commands share: the limits of their data and code
// fields, and the run of one session command.
#pragma once

#include <cstring>

#include "reader/Protocol.h"
#include "reader/Session.h"
#include "reader/Transaction.h"

namespace qd500 {

// A write frame with two-character address fields carries at most 121 data
// bytes (13 characters of overhead plus two per byte).
constexpr int kMaxWriteBytes = 121;

// Bytes of a zero-terminated write buffer before its first zero byte; -1 for
// a missing buffer or more than the frame can carry. Never looks past the
// byte after the limit.
inline int WriteDataCount(const char* data) {
    if (!data) return -1;
    size_t n = strnlen(data, kMaxWriteBytes + 1);
    return n > static_cast<size_t>(kMaxWriteBytes) ? -1 : static_cast<int>(n);
}

// The byte count sent in front of a PIN or security code: half its text,
// rounded down. A text too long for any frame gives a count the body then
// refuses with the text itself; a missing text counts 0 and is refused too.
inline int CodeByteCount(const char* code) {
    return code ? static_cast<int>(strnlen(code, kMaxBodyChars + 1) / 2) : 0;
}

// One session command: the session check, then the transaction.
inline Outcome RunSessionCommand(const FrameBody& body, const CommandTexts& texts, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return Outcome{};
    return SessionExchange(body, texts, bpMsg);
}

}  // namespace qd500
