// Shared fixtures: a session opened on a fake COM port, and a private trace
// file per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "exports/Flat.h"
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
// The directory of the running test executable.
std::string HostDirectory();

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

// One exchange on the session as the drop-in library makes it (no session
// check): its result, whether a reply header was found, and the reply.
struct SessionOutcome {
    short result = -1;
    bool parsed = false;
    Reply reply;
};
SessionOutcome SessionExchange(const FrameBody& body, const CommandTexts& texts, char* bpMsg);

// The session's port.
inline CComPort* SessionPort() { return SessionReader().Port(); }

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
