#include "platform/Telnet.h"

namespace qd500 {

using namespace telnet;

namespace {

constexpr uint8_t kSaidWill = 1, kSaidWont = 2, kSaidDo = 4, kSaidDont = 8;

void Command(std::string& out, uint8_t verb, uint8_t option) {
    out += static_cast<char>(kIac);
    out += static_cast<char>(verb);
    out += static_cast<char>(option);
}

// IAC SB 44 command value IAC SE, the value's 0xFF doubled.
void ComPortCommand(std::string& out, uint8_t command, const std::vector<uint8_t>& value) {
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSb);
    out += static_cast<char>(kComPortOption);
    out += static_cast<char>(command);
    for (uint8_t b : value) {
        out += static_cast<char>(b);
        if (b == kIac) out += static_cast<char>(kIac);
    }
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSe);
}

// Options this side takes on either way; every other one it declines.
bool Welcome(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

}  // namespace

// The opening this side always sends, WILL COM-PORT-OPTION, is said.
TelnetReceiver::TelnetReceiver() { m_said[kComPortOption] = kSaidWill; }

void TelnetReceiver::Feed(const uint8_t* bytes, size_t n, std::string& data, std::string& replies,
                          std::vector<PortAck>& acks) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        switch (m_state) {
            case State::Data:
                if (b == kIac)
                    m_state = State::Iac;
                else
                    data += static_cast<char>(b);
                break;
            case State::Iac:
                if (b == kIac) {
                    data += static_cast<char>(kIac);
                    m_state = State::Data;
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    m_verb = b;
                    m_state = State::Option;
                } else if (b == kSb) {
                    m_sub.clear();
                    m_subOverflow = false;
                    m_state = State::Sub;
                } else {
                    m_state = State::Data;  // NOP, GA and the like: nothing for the line
                }
                break;
            case State::Option:
                Negotiate(m_verb, b, replies);
                m_state = State::Data;
                break;
            case State::Sub:
                if (b == kIac) {
                    m_state = State::SubIac;
                } else if (m_sub.size() < kMaxSubnegotiation) {
                    m_sub.push_back(b);
                } else {
                    m_subOverflow = true;
                }
                break;
            case State::SubIac:
                if (b == kIac) {
                    if (m_sub.size() < kMaxSubnegotiation)
                        m_sub.push_back(kIac);
                    else
                        m_subOverflow = true;
                    m_state = State::Sub;
                } else {
                    // IAC SE ends it; any other command inside is a broken one, dropped.
                    if (b == kSe && !m_subOverflow) Subnegotiation(acks);
                    m_sub.clear();
                    m_state = State::Data;
                }
                break;
        }
    }
}

void TelnetReceiver::Negotiate(uint8_t verb, uint8_t option, std::string& replies) {
    uint8_t& said = m_said[option];
    auto answer = [&](uint8_t reply, uint8_t mark, uint8_t undo) {
        if (said & mark) return;
        Command(replies, reply, option);
        said = static_cast<uint8_t>((said | mark) & ~undo);
    };
    switch (verb) {
        case kDo:
            if (option == kComPortOption) m_comPortAgreed = true;
            if (option == kComPortOption || Welcome(option))
                answer(kWill, kSaidWill, kSaidWont);
            else
                answer(kWont, kSaidWont, kSaidWill);
            break;
        case kDont:
            if (option == kComPortOption) m_comPortAgreed = false;
            if (said & kSaidWill) answer(kWont, kSaidWont, kSaidWill);
            break;
        case kWill:
            if (Welcome(option))
                answer(kDo, kSaidDo, kSaidDont);
            else
                answer(kDont, kSaidDont, kSaidDo);
            break;
        case kWont:
            if (said & kSaidDo) answer(kDont, kSaidDont, kSaidDo);
            break;
    }
}

void TelnetReceiver::Subnegotiation(std::vector<PortAck>& acks) {
    if (m_sub.size() < 2 || m_sub[0] != kComPortOption) return;
    const uint8_t command = m_sub[1];
    // The server's notifications of line and modem state carry nothing the
    // line needs; its answers to settings are kept.
    if (command < kServerOffset || command == kNotifyLineState || command == kNotifyModemState) return;
    PortAck ack;
    ack.command = static_cast<uint8_t>(command - kServerOffset);
    ack.value.assign(m_sub.begin() + 2, m_sub.end());
    acks.push_back(std::move(ack));
}

std::string TelnetEscape(const char* bytes, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out += bytes[i];
        if (static_cast<uint8_t>(bytes[i]) == kIac) out += bytes[i];
    }
    return out;
}

std::string TelnetOffer() {
    std::string out;
    Command(out, kWill, kComPortOption);
    return out;
}

std::string ComPortSettings(uint32_t baud) {
    std::string out;
    ComPortCommand(out, kSetBaudRate,
                   {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
                    static_cast<uint8_t>(baud)});
    ComPortCommand(out, kSetDataSize, {8});
    ComPortCommand(out, kSetParity, {1});    // none
    ComPortCommand(out, kSetStopSize, {1});  // one
    ComPortCommand(out, kSetControl, {1});   // no flow control
    ComPortCommand(out, kPurgeData, {3});    // both directions
    return out;
}

}  // namespace qd500
