#include "Atr.h"

#include <cstdio>

#include "Text.h"

namespace qd500::cli {
namespace {

// ISO 7816-3 clock rate conversion Fi with its fmax (MHz), and bit rate
// adjustment Di, by the nibbles of TA1; 0 is reserved.
constexpr int kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
constexpr double kFmax[16] = {4, 5, 6, 8, 12, 16, 20, 0, 0, 5, 7.5, 10, 15, 20, 0, 0};
constexpr int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string Byte(uint8_t b) { return ToHex(&b, 1); }

std::string Bits(unsigned nibble) {
    std::string s;
    for (int bit = 3; bit >= 0; --bit) s += (nibble >> bit) & 1 ? '1' : '0';
    return s;
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

std::string Ta1(uint8_t ta) {
    int fi = kFi[ta >> 4], di = kDi[ta & 0x0F];
    if (fi == 0 || di == 0) return "Fi or Di reserved (RFU)";
    double rate = 4e6 * di / fi, fastest = kFmax[ta >> 4] * 1e6 * di / fi;
    return "Fi=" + std::to_string(fi) + ", Di=" + std::to_string(di) + ", " +
           Format("%g", static_cast<double>(fi) / di) + " cycles/ETU (" +
           Format("%.0f bits/s at 4 MHz, fMax for Fi = %g MHz => %.0f bits/s)", rate, kFmax[ta >> 4], fastest);
}

std::string Ta2(uint8_t ta) {
    return std::string("specific mode, protocol T=") + std::to_string(ta & 0x0F) +
           ((ta & 0x80) ? ", unable to change" : ", capable of changing") +
           ((ta & 0x10) ? ", parameters implicit" : ", parameters from the interface bytes");
}

std::string GlobalTa(uint8_t ta) {
    static const char* const kClock[] = {"not supported", "state L", "state H", "no preference"};
    std::string classes;
    if (ta & 1) classes += " A 5V";
    if (ta & 2) classes += " B 3V";
    if (ta & 4) classes += " C 1.8V";
    return std::string("clock stop: ") + kClock[ta >> 6] +
           ", classes accepted:" + (classes.empty() ? " none named" : classes);
}

// The meaning of interface byte kind ('A', 'B', 'C') of group i, given the
// protocol the TD before it announced (-1 for the first group).
std::string Describe(char kind, int group, int protocol, uint8_t value) {
    if (group == 1) {
        if (kind == 'A') return Ta1(value);
        if (kind == 'B')
            return value == 0 ? "VPP is not electrically connected"
                              : "VPP programming PI1=" + std::to_string(value & 0x1F);
        return "extra guard time: " + std::to_string(value) +
               (value == 255 ? " (minimum: 12 ETU for T=0, 11 for T=1)" : "");
    }
    if (group == 2 && kind == 'A') return Ta2(value);
    if (group == 2 && kind == 'B') return "VPP programming PI2=" + std::to_string(value);
    if (protocol == 0 && kind == 'C') return "work waiting integer WI=" + std::to_string(value);
    if (protocol == 1) {
        if (kind == 'A') return "IFSC: " + std::to_string(value);
        if (kind == 'B')
            return "block waiting integer BWI=" + std::to_string(value >> 4) +
                   ", character waiting integer CWI=" + std::to_string(value & 0x0F);
        return std::string("error detection code: ") + ((value & 1) ? "CRC" : "LRC");
    }
    if (protocol == 15 && kind == 'A') return GlobalTa(value);
    return "protocol T=" + std::to_string(protocol) + " parameter";
}

std::string Category(uint8_t first) {
    if (first == 0x00) return "compact TLV data objects, status indicator at the end";
    if (first == 0x80) return "compact TLV data objects";
    if (first == 0x10) return "next byte is the DIR data reference";
    if (first >= 0x81 && first <= 0x8F) return "reserved (RFU)";
    return "proprietary format";
}

// A synchronous memory card answers with the four header bytes of ISO
// 7816-10 instead.
void Synchronous(const std::vector<uint8_t>& atr, AtrAnalysis& a) {
    a.lines.push_back("+ TS = " + Byte(atr[0]) + " --> neither 3B nor 3F: no asynchronous (ISO 7816-3) answer");
    if (atr.size() != 4) {
        a.problem = "not an answer to reset: TS is neither 3B nor 3F";
        return;
    }
    static const char* const kBus[16] = {nullptr, nullptr, nullptr,   nullptr,      nullptr,      nullptr,
                                         nullptr, nullptr, "I2C bus", "3-wire bus", "2-wire bus", nullptr,
                                         nullptr, nullptr, nullptr,   nullptr};
    const char* bus = kBus[atr[0] >> 4];
    a.lines.push_back("  synchronous card header (ISO 7816-10): H1 H2 H3 H4 = " + SpacedHex(atr));
    a.lines.push_back("  H1 = " + Byte(atr[0]) + " --> protocol type " + (bus ? bus : "proprietary"));
    unsigned units = (atr[1] >> 3) & 0x0F, unitBits = atr[1] & 0x07;
    if (units)
        a.lines.push_back("  H2 = " + Byte(atr[1]) + " --> " + std::to_string(1u << (units + 6)) + " data units of " +
                          std::to_string(1u << unitBits) + " bits, read " +
                          ((atr[1] & 0x80) ? "with a defined length" : "to the end of memory"));
    a.tck = "not needed";
}

}  // namespace

AtrAnalysis AnalyseAtr(const std::vector<uint8_t>& atr) {
    AtrAnalysis a;
    a.lines.push_back("ATR: " + SpacedHex(atr));
    if (atr.size() < 2) {
        a.problem = "an answer to reset holds TS and T0 at least";
        return a;
    }
    if (atr[0] != 0x3B && atr[0] != 0x3F) {
        Synchronous(atr, a);
        return a;
    }
    a.lines.push_back("+ TS = " + Byte(atr[0]) + " --> " +
                      (atr[0] == 0x3B ? "Direct Convention" : "Inverse Convention"));
    unsigned y = atr[1] >> 4, k = atr[1] & 0x0F;
    a.lines.push_back("+ T0 = " + Byte(atr[1]) + ", Y(1): " + Bits(y) + ", K: " + std::to_string(k) +
                      " (historical bytes)");
    size_t at = 2;
    int protocol = -1;
    bool tckNeeded = false;
    for (int group = 1;; ++group) {
        // The bytes of a group mean what the protocol TD(group - 1) named says.
        for (char kind : {'A', 'B', 'C', 'D'}) {
            unsigned bit = kind == 'A' ? 1 : kind == 'B' ? 2 : kind == 'C' ? 4 : 8;
            if (!(y & bit)) continue;
            std::string name = std::string("T") + kind + "(" + std::to_string(group) + ")";
            if (at >= atr.size()) {
                a.problem = "the ATR ends early: " + name + " is announced but missing";
                a.lines.push_back("  " + name + " missing");
                return a;
            }
            uint8_t value = atr[at++];
            if (kind != 'D') {
                a.lines.push_back("  " + name + " = " + Byte(value) + " --> " + Describe(kind, group, protocol, value));
                continue;
            }
            protocol = value & 0x0F;
            if (protocol != 0) tckNeeded = true;
            std::string t = "T=" + std::to_string(protocol);
            if (protocol != 15 && a.protocols.find(t) == std::string::npos)
                a.protocols += (a.protocols.empty() ? "" : " ") + t;
            a.lines.push_back("  " + name + " = " + Byte(value) + " --> Y(" + std::to_string(group + 1) +
                              ") = " + Bits(value >> 4) + ", Protocol " + t +
                              (protocol == 15 ? " - global interface bytes following" : ""));
            a.lines.push_back("-----");
        }
        if (!(y & 8)) break;
        y = atr[at - 1] >> 4;
    }
    if (a.protocols.empty()) a.protocols = "T=0";  // no TD(1): T=0 alone
    if (at + k > atr.size()) {
        a.problem = "the ATR ends early: " + std::to_string(k) + " historical bytes announced, " +
                    std::to_string(atr.size() - at) + " present";
        a.lines.push_back("+ Historical bytes missing");
        return a;
    }
    a.historical.assign(atr.begin() + static_cast<long>(at), atr.begin() + static_cast<long>(at + k));
    at += k;
    if (!a.historical.empty()) {
        a.lines.push_back("+ Historical bytes: " + SpacedHex(a.historical));
        a.lines.push_back("  Category indicator byte: " + Byte(a.historical[0]) + " (" + Category(a.historical[0]) +
                          ")");
        std::string text(a.historical.begin(), a.historical.end());
        if (!PrintableOrEmpty(text).empty()) a.lines.push_back("  as text: " + text);
    }
    if (!tckNeeded) {
        a.tck = "not needed";
        if (at < atr.size()) {
            a.problem =
                std::to_string(atr.size() - at) + " bytes after the historical bytes (only T=0 is announced: no TCK)";
            a.lines.push_back("+ " + a.problem);
        }
        return a;
    }
    if (at >= atr.size()) {
        a.tck = "absent";
        a.problem = "TCK missing: a protocol other than T=0 is announced";
        a.lines.push_back("+ TCK missing");
        return a;
    }
    uint8_t expected = 0;
    for (size_t i = 1; i < at; ++i) expected ^= atr[i];
    if (atr[at] == expected) {
        a.tck = "correct";
        a.lines.push_back("+ TCK = " + Byte(atr[at]) + " (correct checksum)");
    } else {
        a.tck = "wrong, expected " + Byte(expected);
        a.problem = "TCK " + Byte(atr[at]) + " is wrong, expected " + Byte(expected);
        a.lines.push_back("+ TCK = " + Byte(atr[at]) + " WRONG CHECKSUM, expected " + Byte(expected));
    }
    if (at + 1 < atr.size()) {
        a.problem = std::to_string(atr.size() - at - 1) + " bytes after TCK";
        a.lines.push_back("+ " + a.problem);
    }
    return a;
}

}  // namespace qd500::cli
