// The trace log: one time-stamped line per frame sent and per reply
// collected, appended to DOVoruv.Log beside the host executable.
#pragma once

#include <cstddef>

namespace qd500 {

// The log file's path; false when it does not fit its buffer (the line is
// then dropped).
bool TraceLogPath(char* path, size_t capacity);

// Appends one line; failures are silent and never reach the caller.
void TraceLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace qd500
