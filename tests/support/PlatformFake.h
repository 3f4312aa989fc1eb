// A scripted serial line and a virtual clock for unit tests: time moves only
// when the code under test waits or pauses, so every time-out rule is tested
// exactly and instantly.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qd500::test {

class FakePlatform;

// The far side of one fake COM port.
class FakePort {
public:
    // Bytes that reach the input queue at the given virtual time.
    void ArriveAt(uint32_t atMs, const std::string& bytes);
    // Bytes that reach the input queue after the given delay from now.
    void ArriveIn(uint32_t delayMs, const std::string& bytes);
    // The line hangs up at the given virtual time (as an adapter pulled out).
    void HangUpAt(uint32_t atMs);
    // A window message wakes a wait at the given virtual time, with no byte
    // arriving (as the Windows backend's waits wake for messages).
    void MessageAt(uint32_t atMs) { m_messages.insert(atMs); }
    // Answers every frame the host finishes with endByte: the next reply of
    // the list arrives delayMs later. With no reply left nothing arrives.
    void AnswerFrames(std::vector<std::string> replies, uint32_t delayMs = 0, char endByte = 0x03);

    std::string written;              // every byte the host wrote, in order
    std::vector<std::string> frames;  // written, split after each end byte of AnswerFrames
    bool failOpen = false;            // the port exists but cannot be opened
    bool refuseWrites = false;        // the driver takes no byte
    int opens = 0;
    bool open = false;
    std::string Queue() const { return m_inbox; }

private:
    friend class FakeLine;
    friend class FakePlatform;
    void Deliver();
    void OnByte(uint8_t byte);

    FakePlatform* m_platform = nullptr;
    std::multimap<uint32_t, std::string> m_scheduled;
    std::string m_inbox;
    uint32_t m_hangUpAt = UINT32_MAX;
    std::multiset<uint32_t> m_messages;
    std::deque<std::string> m_replies;
    uint32_t m_replyDelay = 0;
    char m_endByte = 0x03;
    bool m_answering = false;
    std::string m_current;
};

class FakePlatform final : public Platform {
public:
    FakePlatform();
    ~FakePlatform() override;

    FakePort& AddPort(int comNumber);
    FakePort& Port(int comNumber) { return *m_ports.at(comNumber); }

    // "COM<n>" is the fake port n; any other device is missing.
    std::string PortDevice(int comNumber) override { return "COM" + std::to_string(comNumber); }
    std::unique_ptr<SerialLine> Open(const std::string& device, const LineSettings& settings,
                                     std::string* why) override;
    std::unique_ptr<Wakeup> MakeWakeup() override;
    uint32_t TickMs() override { return now; }
    void Pause(uint32_t ms) override {
        now += ms;
        pausedMs += ms;
    }
    void PumpMessages() override { ++pumps; }
    std::string HostExecutablePath() override { return hostPath; }
    char PathSeparator() const override { return separator; }
    UtcTime UtcNow() override { return utc; }

    uint32_t now = 0;
    uint32_t pausedMs = 0;  // time spent in blind pauses
    int pumps = 0;
    std::string hostPath = "/nonexistent/host";
    char separator = '/';
    UtcTime utc{2026, 3, 5, 17, 30, 0, 5};
    LineSettings lastSettings;

private:
    friend class FakeLine;
    std::map<int, std::unique_ptr<FakePort>> m_ports;
};

// Installs a FakePlatform for the life of the object.
class ScopedFakePlatform {
public:
    ScopedFakePlatform() { SetPlatform(&platform); }
    ~ScopedFakePlatform() { SetPlatform(nullptr); }
    FakePlatform platform;
};

}  // namespace qd500::test
