// Helpers of the simulator's tests: command frames built and replies taken
// apart here, independently of both the simulator and the library.
#pragma once

#include <cstdio>
#include <string>

#include "Simulator.h"

namespace simtest {

inline std::string Frame(const std::string& body) {
    unsigned bcc = 0;
    for (size_t i = 0; i + 1 < body.size(); i += 2) bcc ^= std::stoul(body.substr(i, 2), nullptr, 16);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", bcc);
    return std::string("\x1B=") + body + digits + "\x03";
}

struct Reply {
    bool ok = false;  // well-formed: header, LL matching the data, BCC, ETX
    std::string status;
    std::string data;  // hex text
};

inline Reply Parse(const std::string& bytes) {
    Reply r;
    size_t h = bytes.find("\x1B=");
    if (h == std::string::npos || bytes.size() < h + 9 || bytes.back() != '\x03') return r;
    std::string text = bytes.substr(h + 2, bytes.size() - h - 3);
    unsigned ll = std::stoul(text.substr(0, 2), nullptr, 16);
    r.status = text.substr(2, 2);
    if (text.size() != ll * 2 + 2) return r;
    r.data = text.substr(4, ll * 2 - 4);
    unsigned bcc = 0;
    for (size_t i = 0; i + 2 < text.size(); i += 2) bcc ^= std::stoul(text.substr(i, 2), nullptr, 16);
    r.ok = bcc == std::stoul(text.substr(text.size() - 2), nullptr, 16);
    return r;
}

// One command through the engine; the reply parsed.
inline Reply Send(qd500sim::Reader& reader, const std::string& body) {
    return Parse(reader.Feed(Frame(body)).Joined());
}

// An APDU through command 5A: data and status word as hex text.
struct Apdu {
    std::string data, sw;
};
inline Apdu SendApdu(qd500sim::Reader& reader, const std::string& apdu) {
    Reply r = Send(reader, "5A" + apdu);
    if (!r.ok || r.status != "00" || r.data.size() < 4) return {"", "reader " + r.status};
    return {r.data.substr(0, r.data.size() - 4), r.data.substr(r.data.size() - 4)};
}

inline qd500sim::Scenario WithCard(const std::string& type) {
    qd500sim::Scenario s = qd500sim::Scenario::Default();
    s.card = qd500sim::CardConfig{};
    s.card->type = type;
    return s;
}

}  // namespace simtest
