// Runs the tool in-process with captured output, against a simulator on a
// pty of its own.
#pragma once

#include <gtest/gtest.h>

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

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

}  // namespace qd500::cli::test
