// The trace log: one time-stamped line per frame sent and per reply
// collected, appended to DOVoruv.Log beside the host executable (the drop-in
// library's log), or to a file a reader was given.
#pragma once

#include <cstddef>

namespace qd500 {

// The log file's path; false when it does not fit its buffer (the line is
// then dropped).
bool TraceLogPath(char* path, size_t capacity);

// Appends one line to the drop-in library's log; failures are silent and
// never reach the caller.
void TraceLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Appends one line to the file at path, with the tag in brackets after the
// time stamp. Lines of different threads never mix.
void TraceLineTo(const char* path, const char* tag, const char* text);

}  // namespace qd500
