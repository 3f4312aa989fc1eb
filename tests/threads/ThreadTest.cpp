// Readers on threads: eight readers side by side at the line's own speed,
// one reader shared by two threads, and the drop-in library's process-wide
// reader called from two threads. What reaches each simulator must be whole
// frames, and every byte read back must be the byte that thread wrote.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qd500/reader.hpp"
#include "qd500dll.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using qd500::Bytes;
using qd500::test::SimulatedReader;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Every frame the host sent is whole: ESC '=' body, its checksum, ETX.
std::string BrokenFrames(SimulatedReader& sim) {
    std::string broken;
    for (const auto& entry : sim.server().FrameLog()) {
        if (!entry.from_host || entry.bytes.compare(0, 2, "\x1B=") != 0) continue;
        const std::string& f = entry.bytes;
        bool whole = f.size() >= 5 && f.back() == '\x03' && f.size() % 2 == 1;
        if (whole) {
            unsigned bcc = 0;
            for (size_t i = 2; i + 3 < f.size(); i += 2) bcc ^= std::stoul(f.substr(i, 2), nullptr, 16);
            whole = std::stoul(f.substr(f.size() - 3, 2), nullptr, 16) == bcc;
        }
        if (!whole) broken += " [" + f + "]";
    }
    return broken;
}

Bytes Pattern(int id, int round, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(id * 37 + round * 11 + i * 3 + (i % 5 == 0 ? 0 : 1));
    b[0] = 0;  // zero bytes are data too
    return b;
}

// One reader's mixed work, about a hundred exchanges: the CPU card powered,
// its binary file written and read back through SELECT with GET RESPONSE,
// then an AT24C16 inserted, written and read back. Returns what went wrong.
std::string MixedWork(SimulatedReader& sim, int id) {
    std::string wrong;
    try {
        qd500::Reader reader(sim.server().SlavePath());
        reader.SelectCard("CPU");
        if (reader.PowerOn().empty()) wrong += " no ATR;";
        for (int round = 0; round < 20; ++round) {
            if (reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15}, true).sw() != 0x9000) wrong += " select;";
            Bytes mine = Pattern(id, round, 16);
            Bytes update = {0x00, 0xD6, 0x00, 0x00, 16};
            update.insert(update.end(), mine.begin(), mine.end());
            if (reader.Transmit(update).sw() != 0x9000) wrong += " update;";
            qd500::Response back = reader.Transmit({0x00, 0xB0, 0x00, 0x00, 16});
            if (back.sw() != 0x9000 || back.data() != mine) wrong += " read back " + std::to_string(round) + ";";
        }
        sim.server().Insert("AT24C16");
        reader.SelectCard("AT24C16");
        reader.PowerOn();
        for (int round = 0; round < 3; ++round) {
            Bytes mine = Pattern(id, round, 200);
            reader.WriteMemory(0x100 * round, mine);
            if (reader.ReadMemory(0x100 * round, mine.size()) != mine)
                wrong += " memory " + std::to_string(round) + ";";
        }
    } catch (const qd500::Error& e) {
        wrong += std::string(" ") + e.what();
    }
    std::string broken = BrokenFrames(sim);
    if (!broken.empty()) wrong += " broken frames:" + broken;
    return wrong;
}

std::vector<std::unique_ptr<SimulatedReader>> Simulators(int count, unsigned baud, qd500sim::Scenario scenario) {
    std::vector<std::unique_ptr<SimulatedReader>> sims;
    for (int i = 0; i < count; ++i) {
        sims.push_back(std::make_unique<SimulatedReader>(70 + i, scenario, baud));
        EXPECT_TRUE(sims.back()->started());
    }
    return sims;
}

TEST(Threads, EightReadersWorkSideBySideAtTheLinesSpeed) {
    constexpr int kReaders = 8;
    auto one = Simulators(1, 9600, qd500sim::Scenario::Default());
    auto start = Clock::now();
    EXPECT_EQ(MixedWork(*one[0], 0), "");
    const double alone = Seconds(Clock::now() - start);

    auto sims = Simulators(kReaders, 9600, qd500sim::Scenario::Default());
    std::vector<std::string> wrong(kReaders);
    std::vector<std::thread> threads;
    start = Clock::now();
    for (int i = 0; i < kReaders; ++i) threads.emplace_back([&, i] { wrong[i] = MixedWork(*sims[i], i + 1); });
    for (auto& t : threads) t.join();
    const double together = Seconds(Clock::now() - start);
    for (int i = 0; i < kReaders; ++i) EXPECT_EQ(wrong[i], "") << "reader " << i;

    std::printf("one reader %.2f s, eight side by side %.2f s: ratio %.3f\n", alone, together, together / alone);
    RecordProperty("ratio", std::to_string(together / alone));
#ifdef QD500_ASSERT_TIMING
    EXPECT_LE(together, 1.25 * alone);
#endif
}

TEST(Threads, EightReadersWaitingUseNoProcessor) {
    constexpr int kReaders = 8;
    // Each reader waits two seconds for its device status.
    auto sims =
        Simulators(kReaders, 0,
                   SimulatedReader::FromJson(R"({"faults": [{"kind": "delay", "command": "47", "delay_ms": 2000}]})"));
    std::vector<std::unique_ptr<qd500::Reader>> readers;
    for (auto& sim : sims) readers.push_back(std::make_unique<qd500::Reader>(sim->server().SlavePath()));
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    const double cpu = ProcessCpuSeconds();
    auto start = Clock::now();
    for (auto& reader : readers)
        threads.emplace_back([&, r = reader.get()] {
            if (r->DeviceStatus().size() == 3) ++answered;
        });
    for (auto& t : threads) t.join();
    const double wall = Seconds(Clock::now() - start);
    const double used = ProcessCpuSeconds() - cpu;
    EXPECT_EQ(answered, kReaders);
    EXPECT_GE(wall, 1.9);
    std::printf("eight readers waiting %.2f s: process CPU %.3f s, %.3f%% of a core per reader\n", wall, used,
                100.0 * used / wall / kReaders);
    // Simulators included; a reader that polled would use a whole core.
    EXPECT_LT(used / wall, 0.05 * kReaders);
}

TEST(Threads, TwoThreadsShareOneReaderAndEachGetsItsOwnReplies) {
    auto sims = Simulators(1, 0, SimulatedReader::WithCard("AT24C16"));
    qd500::Reader reader(sims[0]->server().SlavePath());
    reader.SelectCard("AT24C16");
    reader.PowerOn();
    std::string wrong[2];
    auto work = [&](int id) {
        try {
            for (int round = 0; round < 40; ++round) {
                Bytes mine = Pattern(id, round, 150);
                reader.WriteMemory(0x400 * id, mine);
                if (reader.ReadMemory(0x400 * id, mine.size()) != mine) wrong[id] += " round " + std::to_string(round);
            }
        } catch (const qd500::Error& e) {
            wrong[id] += e.what();
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong[0], "");
    EXPECT_EQ(wrong[1], "");
    EXPECT_EQ(BrokenFrames(*sims[0]), "");
}

TEST(Threads, TheDropInSessionFromTwoThreadsNeverInterleavesFrames) {
    qd500::test::ScopedTraceFile trace;
    auto sims = Simulators(1, 0, SimulatedReader::WithCard("AT24C16"));
    char msg[64];
    ASSERT_EQ(gOpenComIC(sims[0]->com(), msg), 0);
    ASSERT_EQ(gSetCardType("AT24C16", msg), 0);
    char atr[600];
    ASSERT_EQ(gCardPowerOn(atr, msg), 0);
    std::string wrong[2];
    auto work = [&](int id) {
        char m[64], data[129];
        char high[3], low[3];
        std::snprintf(high, sizeof high, "%02X", 4 * id);
        std::snprintf(low, sizeof low, "%02X", 0);
        for (int round = 0; round < 40; ++round) {
            Bytes mine = Pattern(id, round, 100);
            if (gCard_WriteData(high, low, reinterpret_cast<const char*>(mine.data()), m, 100) != 0)
                wrong[id] += " write";
            if (gCard_ReadData(high, low, 100, data, m) != 0 || Bytes(data, data + 100) != mine) wrong[id] += " read";
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    gCloseComIC(msg);
    EXPECT_EQ(wrong[0], "");
    EXPECT_EQ(wrong[1], "");
    EXPECT_EQ(BrokenFrames(*sims[0]), "");
}

}  // namespace
