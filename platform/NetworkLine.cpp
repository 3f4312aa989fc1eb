#include "platform/NetworkLine.h"

#include <algorithm>
#include <cstring>

namespace qd500 {

bool NetworkLine::Negotiate(uint32_t baud, uint32_t timeoutMs, uint32_t boundMs, std::string* why) {
    m_out = TelnetOffer() + ComPortSettings(baud);
    const uint32_t start = NowMs();
    bool acked[6] = {};
    for (;;) {
        if (!Exchange()) {
            if (why) *why = Ended("the server closed the connection during the port settings" + Said());
            return false;
        }
        for (const PortAck& ack : m_acks) {
            if (ack.command >= 1 && ack.command <= 5) acked[ack.command] = true;
            if (ack.command == telnet::kSetBaudRate && ack.value.size() == 4) {
                uint32_t set = static_cast<uint32_t>(ack.value[0]) << 24 | static_cast<uint32_t>(ack.value[1]) << 16 |
                               static_cast<uint32_t>(ack.value[2]) << 8 | ack.value[3];
                if (set != baud) {
                    if (why) *why = "the server set " + std::to_string(set) + " baud, not " + std::to_string(baud);
                    return false;
                }
            }
        }
        m_acks.clear();
        if (acked[1] && acked[2] && acked[3] && acked[4] && acked[5]) return true;
        uint32_t waited = NowMs() - start;
        if (waited >= timeoutMs) {
            if (why)
                *why = "the server did not acknowledge the port settings within " + std::to_string(boundMs) + " ms" +
                       (m_in.empty() ? std::string() : ": it sent" + Said());
            return false;
        }
        WaitReadable(timeoutMs - waited);
    }
}

bool NetworkLine::StartTls(const NetworkPort& port, uint32_t ms, std::string* why) {
    m_tls = TlsSession::Start(Socket(), port, ms, why);
    return m_tls != nullptr;
}

bool NetworkLine::Settle(std::string* why) {
    constexpr uint32_t kSettleMs = 200;
    if (!m_tls || !m_tls->CertificateAsked()) return true;
    const uint32_t start = NowMs();
    for (;;) {
        if (!Exchange()) {
            if (why) *why = Ended("the server closed the connection" + Said());
            return false;
        }
        uint32_t waited = NowMs() - start;
        if (m_receivedAny || waited >= kSettleMs) return true;
        WaitReadable(kSettleMs - waited);
    }
}

bool NetworkLine::WriteByte(uint8_t byte, uint32_t) {
    if (m_failed) return false;
    m_out += static_cast<char>(byte);
    if (m_rfc2217 && byte == telnet::kIac) m_out += static_cast<char>(byte);
    return true;
}

int NetworkLine::InQueue() {
    if (!Exchange() && m_in.empty()) return -1;
    return static_cast<int>(m_in.size());
}

int NetworkLine::Read(uint8_t* dst, int max) {
    if (max <= 0) return 0;
    if (!Exchange() && m_in.empty()) return -1;
    int n = static_cast<int>(std::min(m_in.size(), static_cast<size_t>(max)));
    std::memcpy(dst, m_in.data(), static_cast<size_t>(n));
    m_in.erase(0, static_cast<size_t>(n));
    return n;
}

bool NetworkLine::PurgeOutput() {
    m_out.clear();
    return true;
}

bool NetworkLine::Flush() {
    while (!m_failed && !m_out.empty()) {
        const int count = static_cast<int>(std::min<size_t>(m_out.size(), 65536));
        int n = m_tls ? m_tls->Send(m_out.data(), count) : SendSome(m_out.data(), count);
        if (n > 0)
            m_out.erase(0, static_cast<size_t>(n));
        else if (n < 0 || !WaitWritable(1000))
            m_failed = true;
    }
    return !m_failed;
}

bool NetworkLine::Pump() {
    char buf[4096];
    while (!m_failed) {
        int n = m_tls ? m_tls->Receive(buf, sizeof buf) : ReceiveSome(buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            m_failed = true;  // the server closed it, or its error
            break;
        }
        m_receivedAny = true;
        if (!m_rfc2217) {
            m_in.append(buf, static_cast<size_t>(n));
            continue;
        }
        std::string replies;
        m_telnet.Feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n), m_in, replies, m_acks);
        m_out += replies;
        if (!Flush()) break;
    }
    return false;
}

std::string NetworkLine::Ended(const std::string& plain) const {
    std::string known = m_tls ? m_tls->EndReason(m_receivedAny) : std::string();
    return known.empty() ? plain : known;
}

std::string NetworkLine::Said() const {
    std::string text;
    for (char c : m_in.substr(0, 80))
        if (c >= 0x20 && c < 0x7F) text += c;
    return text.empty() ? std::string() : ": \"" + text + "\"";
}

std::unique_ptr<NetworkLine> OpenNetworkLine(
    const NetworkPort& port, const LineSettings& settings, std::string* why,
    const std::function<std::unique_ptr<NetworkLine>(std::string* why)>& connect,
    const std::function<uint32_t()>& nowMs, const std::function<void(uint32_t)>& pause) {
    constexpr uint32_t kRetryMs = 50;
    const uint32_t start = nowMs();
    std::string busyReason;  // what a busy server said, the likelier reason in the end
    for (;;) {
        std::string reason;
        std::unique_ptr<NetworkLine> line = connect(&reason);
        if (line) {
            auto left = [&] {
                return std::max<uint32_t>(port.timeoutMs - std::min(port.timeoutMs, nowMs() - start), 1);
            };
            bool open = (!port.tls || line->StartTls(port, left(), &reason)) &&
                        (port.rfc2217 ? line->Negotiate(settings.baud, left(), port.timeoutMs, &reason)
                                      : line->Settle(&reason));
            if (open) return line;
            line.reset();
            if (reason.find("in use") != std::string::npos) busyReason = reason;
        }
        if (busyReason.empty() || nowMs() - start + kRetryMs >= port.timeoutMs) {
            if (why) *why = busyReason.empty() ? reason : busyReason;
            return nullptr;
        }
        pause(kRetryMs);
    }
}

}  // namespace qd500
