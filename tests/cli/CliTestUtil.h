// Runs the tool in-process with captured output, against a simulator on a
// pty of its own.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Simulator.h"
#include "tools/cli/Cli.h"

namespace qd500::cli::test {

struct ToolRun {
    int rc = -1;
    std::string out, err;
};

inline ToolRun Qd500(std::vector<std::string> args, const std::string& input = "") {
    std::ostringstream out, err;
    std::istringstream in(input);
    args.insert(args.begin(), "qd500");
    ToolRun r;
    r.rc = Main(args, out, err, in);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Wall-time goals are asserted in the plain builds; sanitizers slow
// everything down.
#ifdef QD500_ASSERT_TIMING
#define EXPECT_WITHIN(seconds, limit) EXPECT_LT(seconds, limit)
#else
#define EXPECT_WITHIN(seconds, limit) (void)(seconds)
#endif

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The value of "name: value" in the tool's text output.
inline std::string Field(const std::string& out, const std::string& name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
    return "";
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A file under the test's temporary directory, removed at the end.
class TempFile {
public:
    explicit TempFile(const std::string& name, const std::string& text = "")
        : path(::testing::TempDir() + "qd500-cli-" + std::to_string(::getpid()) + "-" + name) {
        if (!text.empty()) std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() {
        std::remove(path.c_str());
        std::remove((path + ".part").c_str());
    }
    const std::string path;
};

inline qd500sim::Scenario ScenarioOf(const std::string& json) {
    std::string error;
    auto s = qd500sim::Scenario::FromJson(json, &error);
    EXPECT_TRUE(s) << error;
    return s ? *s : qd500sim::Scenario::Default();
}

class SimTest : public ::testing::Test {
protected:
    explicit SimTest(qd500sim::Scenario scenario = qd500sim::Scenario::Default()) : server(std::move(scenario)) {}
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }
    void TearDown() override { server.Stop(); }

    // The tool with --port on the simulator and a short time-out.
    ToolRun On(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--port", server.SlavePath(), "--timeout", "2"});
        return Qd500(args, input);
    }
    // Piped lines to a shell on the simulator.
    ToolRun Shell(const std::string& lines) { return On({"shell"}, lines); }
    // Frames and magnetic sequences the host sent so far.
    size_t Sent() {
        size_t n = 0;
        for (const auto& e : server.FrameLog()) n += e.from_host ? 1 : 0;
        return n;
    }
    size_t SentWithCode(const std::string& code) {
        size_t n = 0;
        for (const auto& e : server.FrameLog())
            if (e.from_host && e.bytes.size() > 4 && e.bytes.compare(2, code.size(), code) == 0) ++n;
        return n;
    }

    qd500sim::PtyServer server;
};

// A context of the tool's own, for tests that interrupt a command from
// another thread as Ctrl-C does.
struct InProcess {
    std::ostringstream out, err;
    std::istringstream in;
    Context ctx{out, err, in};
};

}  // namespace qd500::cli::test
