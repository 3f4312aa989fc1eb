#include "support/Fixtures.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qd500::test {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string HostDirectory() {
    std::string exe = NativePlatform().HostExecutablePath();
    size_t cut = exe.find_last_of("/\\");
    return cut == std::string::npos ? "." : exe.substr(0, cut);
}

ScopedTraceFile::ScopedTraceFile() {
    // The process id in the name: MinGW's mkstemp draws its letters from an
    // unseeded rand(), so two test programs under Wine draw the same name,
    // and the file is removed at once for the library to create.
    std::string pattern = "/tmp/qd500-trace-" + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd >= 0) close(fd);
    m_path = name.data();
    std::remove(m_path.c_str());
    setenv("QD500_TRACE_FILE", m_path.c_str(), 1);
}

ScopedTraceFile::~ScopedTraceFile() {
    unsetenv("QD500_TRACE_FILE");
    std::remove(m_path.c_str());
}

std::vector<std::string> ScopedTraceFile::Lines() const {
    std::vector<std::string> lines;
    std::stringstream ss(Contents());
    std::string line;
    while (std::getline(ss, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // text mode on Windows
        // "--MM/DD hh:mm:ss:mmm " is 21 characters.
        lines.push_back(line.size() >= 21 ? line.substr(21) : line);
    }
    return lines;
}

std::string ReaderReply(const std::string& status, const std::string& dataHex) {
    char ll[3];
    std::snprintf(ll, sizeof ll, "%02X", static_cast<unsigned>(dataHex.size() / 2 + 2));
    std::string text = std::string(ll) + status + dataHex;
    unsigned bcc = 0;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bcc ^= std::stoul(text.substr(i, 2), nullptr, 16);
    char sum[3];
    std::snprintf(sum, sizeof sum, "%02X", bcc & 0xFF);
    return std::string("\x1B=") + text + sum + "\x03";
}

SessionOutcome SessionExchange(const FrameBody& body, const CommandTexts& texts, char* bpMsg) {
    Outcome out = SessionReader().Transact(body);
    SessionOutcome result;
    result.result = Report(out, texts, bpMsg);
    result.parsed = out.answered();
    result.reply = out.reply;
    return result;
}

void FakeSessionTest::SetUp() {
    fake.platform.AddPort(kPort);
    ASSERT_EQ(gOpenComIC(kPort, msg), 0);
    gSetTimeOutIC(10);
}

void FakeSessionTest::TearDown() {
    char ignored[64];
    gCloseComIC(ignored);
    gSetTimeOutIC(10);
}

std::vector<std::string> FakeSessionTest::SentBodies() const {
    std::vector<std::string> bodies;
    const std::string& w = const_cast<FakeSessionTest*>(this)->line().written;
    size_t pos = 0;
    while ((pos = w.find("\x1B=", pos)) != std::string::npos) {
        size_t end = w.find('\x03', pos);
        if (end == std::string::npos) end = w.size();
        bodies.push_back(w.substr(pos + 2, end - pos - 2));
        pos = end;
    }
    return bodies;
}

}  // namespace qd500::test
