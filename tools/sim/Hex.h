// Hex text helpers of the simulator (kept apart from the library's own on
// purpose: a fault in one must not hide in the other).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qd500sim {

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Even-length text of hex digits, either case; false (out untouched) otherwise.
inline bool ParseHex(std::string_view text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    out.swap(bytes);
    return true;
}

inline std::string ToHex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string ToHex(const std::vector<uint8_t>& v) { return ToHex(v.data(), v.size()); }

inline std::string HexByteText(unsigned v) {
    uint8_t b = static_cast<uint8_t>(v);
    return ToHex(&b, 1);
}

// Printable rendering of line bytes for logs and dumps: control bytes by name.
inline std::string Printable(std::string_view bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        switch (c) {
            case 0x1B:
                s += "<ESC>";
                break;
            case 0x03:
                s += "<ETX>";
                break;
            case 0x1C:
                s += "<FS>";
                break;
            case 0x1D:
                s += "<GS>";
                break;
            case 0x7F:
                s += "<DEL>";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    s += static_cast<char>(c);
                } else {
                    s += "<" + ToHex(&c, 1) + ">";
                }
        }
    }
    return s;
}

}  // namespace qd500sim
