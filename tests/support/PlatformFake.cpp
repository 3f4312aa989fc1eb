#include "support/PlatformFake.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace qd500::test {

void FakePort::ArriveAt(uint32_t atMs, const std::string& bytes) { m_scheduled.emplace(atMs, bytes); }

void FakePort::ArriveIn(uint32_t delayMs, const std::string& bytes) { ArriveAt(m_platform->now + delayMs, bytes); }

void FakePort::HangUpAt(uint32_t atMs) { m_hangUpAt = atMs; }

void FakePort::AnswerFrames(std::vector<std::string> replies, uint32_t delayMs, char endByte) {
    m_replies.assign(replies.begin(), replies.end());
    m_replyDelay = delayMs;
    m_endByte = endByte;
    m_answering = true;
}

void FakePort::Deliver() {
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= m_platform->now) {
        m_inbox += m_scheduled.begin()->second;
        m_scheduled.erase(m_scheduled.begin());
    }
}

void FakePort::OnByte(uint8_t byte) {
    written.push_back(static_cast<char>(byte));
    if (!m_answering) return;
    m_current.push_back(static_cast<char>(byte));
    if (static_cast<char>(byte) == m_endByte) {
        frames.push_back(m_current);
        m_current.clear();
        if (!m_replies.empty()) {
            ArriveIn(m_replyDelay, m_replies.front());
            m_replies.pop_front();
        }
    }
}

class FakeLine final : public SerialLine {
public:
    FakeLine(FakePlatform& platform, FakePort& port) : m_platform(platform), m_port(port) {}
    ~FakeLine() override { m_port.open = false; }

    bool WriteByte(uint8_t byte, uint32_t) override {
        if (m_port.refuseWrites) return false;
        m_port.OnByte(byte);
        return true;
    }
    int InQueue() override {
        m_port.Deliver();
        if (m_port.m_inbox.empty() && HungUp()) return -1;
        return static_cast<int>(m_port.m_inbox.size());
    }
    int Read(uint8_t* dst, int max) override {
        m_port.Deliver();
        if (m_port.m_inbox.empty() && HungUp()) return -1;
        int n = std::min<int>(max, static_cast<int>(m_port.m_inbox.size()));
        if (n <= 0) return 0;
        std::memcpy(dst, m_port.m_inbox.data(), static_cast<size_t>(n));
        m_port.m_inbox.erase(0, static_cast<size_t>(n));
        return n;
    }
    WaitResult WaitInput(uint32_t ms, Wakeup* wakeup) override {
        if (wakeup && wakeup->Signalled()) return WaitResult::Woken;
        m_port.Deliver();
        if (!m_port.m_inbox.empty()) return WaitResult::Ready;
        if (HungUp()) return WaitResult::Failed;
        uint64_t deadline = static_cast<uint64_t>(m_platform.now) + ms;
        uint64_t next = m_port.m_scheduled.empty() ? UINT64_MAX : m_port.m_scheduled.begin()->first;
        uint64_t hang = m_port.m_hangUpAt;
        // Messages already due were seen by an earlier wait.
        auto& messages = m_port.m_messages;
        messages.erase(messages.begin(), messages.upper_bound(m_platform.now));
        uint64_t message = messages.empty() ? UINT64_MAX : *messages.begin();
        uint64_t wake = std::min({deadline, next, hang, message});
        m_platform.now = static_cast<uint32_t>(wake);
        m_port.Deliver();
        if (!m_port.m_inbox.empty()) return WaitResult::Ready;
        if (HungUp()) return WaitResult::Failed;
        if (wake == message) {
            messages.erase(messages.begin());
            return WaitResult::Ready;
        }
        return WaitResult::Timeout;
    }
    bool PurgeOutput() override { return true; }

private:
    bool HungUp() const { return m_platform.now >= m_port.m_hangUpAt; }
    FakePlatform& m_platform;
    FakePort& m_port;
};

FakePlatform::FakePlatform() = default;
FakePlatform::~FakePlatform() = default;

FakePort& FakePlatform::AddPort(int comNumber) {
    auto port = std::make_unique<FakePort>();
    port->m_platform = this;
    FakePort& ref = *port;
    m_ports[comNumber] = std::move(port);
    return ref;
}

namespace {

class FlagWakeup final : public Wakeup {
public:
    void Signal() override { m_signalled = true; }
    bool Signalled() const override { return m_signalled; }
    void Clear() override { m_signalled = false; }

private:
    std::atomic<bool> m_signalled{false};
};

}  // namespace

std::unique_ptr<Wakeup> FakePlatform::MakeWakeup() { return std::make_unique<FlagWakeup>(); }

std::unique_ptr<SerialLine> FakePlatform::Open(const std::string& device, const LineSettings& settings,
                                               std::string* why) {
    auto refuse = [&](const char* reason) -> std::unique_ptr<SerialLine> {
        if (why) *why = reason;
        return nullptr;
    };
    if (device.compare(0, 3, "COM") != 0) return refuse("No such file or directory");
    auto it = m_ports.find(std::atoi(device.c_str() + 3));
    if (it == m_ports.end()) return refuse("No such file or directory");
    if (it->second->failOpen) return refuse("Permission denied");
    if (it->second->open) return refuse("the port is in use");
    lastSettings = settings;
    it->second->open = true;
    ++it->second->opens;
    return std::make_unique<FakeLine>(*this, *it->second);
}

}  // namespace qd500::test
