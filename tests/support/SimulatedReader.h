// A reader simulator on a pty of its own, reachable by the library as COM<n>
// for the life of the object.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Simulator.h"

namespace qd500::test {

class SimulatedReader {
public:
    // link: a symlink that follows the simulator's pty across its hang-ups.
    explicit SimulatedReader(int com, qd500sim::Scenario scenario = qd500sim::Scenario::Default(), unsigned baud = 0,
                             std::string link = "")
        : m_com(com) {
        qd500sim::ServerOptions options;
        options.baud = baud;
        options.link_path = std::move(link);
        m_server = std::make_unique<qd500sim::PtyServer>(std::move(scenario), options);
        std::string error;
        m_started = m_server->Start(&error);
        EXPECT_TRUE(m_started) << error;
        std::snprintf(m_env, sizeof m_env, "QD500_COM%d", com);
        MapTo(m_server->SlavePath());
    }
    ~SimulatedReader() {
        unsetenv(m_env);
        m_server->Stop();
    }
    SimulatedReader(const SimulatedReader&) = delete;
    SimulatedReader& operator=(const SimulatedReader&) = delete;

    bool started() const { return m_started; }
    short com() const { return static_cast<short>(m_com); }
    qd500sim::PtyServer& server() { return *m_server; }
    // Points COM<n> at another device (the new pty after a hang-up).
    void MapTo(const std::string& path) { setenv(m_env, path.c_str(), 1); }

    // Everything the host sent, in order.
    std::string FromHost() const {
        std::string all;
        for (const auto& entry : m_server->FrameLog())
            if (entry.from_host) all += entry.bytes;
        return all;
    }

    static qd500sim::Scenario WithCard(const char* type) { return qd500sim::Scenario::WithCard(type); }
    // A scenario from JSON; a broken text fails the test.
    static qd500sim::Scenario FromJson(const std::string& json) {
        std::string error;
        auto scenario = qd500sim::Scenario::FromJson(json, &error);
        EXPECT_TRUE(scenario.has_value()) << error;
        return scenario ? *scenario : qd500sim::Scenario::Default();
    }

private:
    int m_com;
    std::unique_ptr<qd500sim::PtyServer> m_server;
    char m_env[32] = {};
    bool m_started = false;
};

}  // namespace qd500::test
