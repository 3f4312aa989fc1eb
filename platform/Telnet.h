// The telnet layer of a network line (RFC 854, with RFC 2217's COM-PORT-
// OPTION): what comes in is taken apart into the line's data bytes, the
// answers the client owes to option offers, and the server's acknowledgements
// of port settings; what goes out has every 0xFF doubled. Bytes only: the
// socket is the network line's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qd500 {

namespace telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kBinary = 0;
constexpr uint8_t kEcho = 1;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPortOption = 44;

// COM-PORT-OPTION commands the client sends; the server answers each with
// the command + 100, carrying the value it set.
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
constexpr uint8_t kNotifyLineState = 106;
constexpr uint8_t kNotifyModemState = 107;

// A subnegotiation longer than this is no answer of a port server: it is
// dropped, not kept growing.
constexpr size_t kMaxSubnegotiation = 64;

}  // namespace telnet

// An acknowledgement of a port setting: the command it answers and the
// value the server set.
struct PortAck {
    uint8_t command = 0;
    std::vector<uint8_t> value;
};

// Takes apart what a telnet server sends, in pieces of any size.
class TelnetReceiver {
public:
    TelnetReceiver();
    // Feeds n bytes; the line's data is appended to data, the answers owed to
    // the server to replies (send them as they are), acknowledgements to acks.
    void Feed(const uint8_t* bytes, size_t n, std::string& data, std::string& replies, std::vector<PortAck>& acks);

    // The server agreed to COM-PORT-OPTION (it answered DO 44).
    bool ComPortAgreed() const { return m_comPortAgreed; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    void Negotiate(uint8_t verb, uint8_t option, std::string& replies);
    void Subnegotiation(std::vector<PortAck>& acks);

    State m_state = State::Data;
    uint8_t m_verb = 0;
    std::vector<uint8_t> m_sub;
    bool m_subOverflow = false;
    // What this side has said of each option, so that an offer repeated is
    // not answered again (no negotiation loops): bit 0 WILL sent, bit 1 WONT,
    // bit 2 DO, bit 3 DONT.
    uint8_t m_said[256] = {};
    bool m_comPortAgreed = false;
};

// The data of the line as it goes out: every 0xFF doubled.
std::string TelnetEscape(const char* bytes, size_t n);

// The client's opening: WILL COM-PORT-OPTION.
std::string TelnetOffer();

// The COM-PORT-OPTION settings of a line at baud, 8 data bits, no parity,
// one stop bit, no flow control, and a purge of both directions' buffers.
std::string ComPortSettings(uint32_t baud);

}  // namespace qd500
