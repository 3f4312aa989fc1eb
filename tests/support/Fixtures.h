// Shared fixtures: a session opened on a fake COM port, and a private trace
// file per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qd500dll.h"
#include "support/PlatformFake.h"

#ifdef _WIN32
// The Windows C runtime names these differently; an empty value removes.
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

namespace qd500::test {

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);

// A trace file of the test's own, named through QD500_TRACE_FILE.
class ScopedTraceFile {
public:
    ScopedTraceFile();
    ~ScopedTraceFile();
    const std::string& path() const { return m_path; }
    std::string Contents() const { return ReadFile(m_path); }
    std::vector<std::string> Lines() const;  // the trace texts, time stamps removed

private:
    std::string m_path;
};

// A reply frame as the reader sends it: ESC '=' LL status data, a checksum
// and ETX. LL counts the data bytes plus 2.
std::string ReaderReply(const std::string& status, const std::string& dataHex = "");

// A session open on fake COM3.
class FakeSessionTest : public ::testing::Test {
protected:
    static constexpr int kPort = 3;
    void SetUp() override;
    void TearDown() override;
    FakePort& line() { return fake.platform.Port(kPort); }
    // Frames the host sent, with ESC '=' and ETX stripped.
    std::vector<std::string> SentBodies() const;

    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    char msg[64] = {};
};

}  // namespace qd500::test
