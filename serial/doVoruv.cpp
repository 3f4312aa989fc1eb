#include "serial/doVoruv.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Platform.h"

namespace qd500 {

namespace {

constexpr size_t kExePathCapacity = 500;  // the host executable's full name
constexpr size_t kLogPathCapacity = 255;  // the log file's path
constexpr size_t kTraceTextCapacity = 1024;
constexpr size_t kStampCapacity = 60;
constexpr size_t kOverridePathCapacity = 4096;
constexpr char kLogName[] = "DOVoruv.Log";

// One writer at a time, so that the lines of readers on several threads
// never run into each other.
std::mutex g_traceLock;

// The log file's path into path; false when it does not fit.
bool LogPath(Platform& platform, char* path, size_t capacity) {
    if (const char* file = std::getenv("QD500_TRACE_FILE"); file && *file) {
        size_t len = strnlen(file, kOverridePathCapacity);
        if (len >= capacity) return false;
        std::memcpy(path, file, len + 1);
        return true;
    }
    std::string exe = platform.HostExecutablePath();
    if (exe.size() >= kExePathCapacity) exe.resize(kExePathCapacity - 1);
    size_t cut = exe.find_last_of(platform.PathSeparator());
    std::string dir = cut == std::string::npos ? std::string() : exe.substr(0, cut);
    size_t room = capacity < kLogPathCapacity ? capacity : kLogPathCapacity;
    int n = std::snprintf(path, room, "%s%c%s", dir.c_str(), platform.PathSeparator(), kLogName);
    return n > 0 && static_cast<size_t>(n) < room;
}

void Append(Platform& platform, const char* path, const char* tag, const char* text) {
    // Beijing time by shifting the UTC hour; the date stays the UTC date.
    UtcTime t = platform.UtcNow();
    int hour = t.hour + 8;
    if (hour >= 24) hour -= 24;
    char stamp[kStampCapacity];
    std::snprintf(stamp, sizeof stamp, "--%02d/%02d %02d:%02d:%02d:%03d", t.month, t.day, hour, t.minute, t.second,
                  t.millisecond);
    std::lock_guard<std::mutex> lock(g_traceLock);
    std::FILE* file = std::fopen(path, "at");
    if (!file) return;
    if (tag)
        std::fprintf(file, "%s [%s] %s\n", stamp, tag, text);
    else
        std::fprintf(file, "%s %s\n", stamp, text);
    std::fclose(file);
}

}  // namespace

bool TraceLogPath(char* path, size_t capacity) { return LogPath(CurrentPlatform(), path, capacity); }

void TraceLine(const char* format, ...) {
    char text[kTraceTextCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    Platform& platform = CurrentPlatform();
    char path[kOverridePathCapacity];
    // A path too long for its buffer drops the line rather than cut it into
    // some other file's name.
    if (!LogPath(platform, path, sizeof path)) return;
    Append(platform, path, nullptr, text);
}

void TraceLineTo(const char* path, const char* tag, const char* text) {
    if (!path || !*path) return;
    Append(CurrentPlatform(), path, tag ? tag : "", text ? text : "");
}

}  // namespace qd500
