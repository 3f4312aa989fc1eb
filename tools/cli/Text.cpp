#include "Text.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

namespace qd500::cli {

std::string GbkToUtf8(const std::string& gbk) {
    bool ascii = true;
    for (unsigned char c : gbk) ascii = ascii && c < 0x80;
    if (ascii) return gbk;

    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string out;
    std::vector<char> in(gbk.begin(), gbk.end());
    char* src = in.data();
    size_t srcLeft = in.size();
    char buf[256];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // An invalid or cut-off sequence: show the byte, go on after it.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(*src));
            out += esc;
            ++src;
            --srcLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

std::string NormaliseHex(const std::string& text, const std::string& what) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ':') continue;
        // "0x" in front of a word, as addresses take it.
        const bool wordStart = i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t' || text[i - 1] == ':';
        if (wordStart && c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw UsageError("bad hex in " + what + ": '" + text + "' holds '" + std::string(1, c) + "'");
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() % 2 != 0) throw UsageError("bad hex in " + what + ": '" + text + "' has an odd number of digits");
    return digits;
}

std::string ByteCount(size_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

std::vector<uint8_t> ParseHex(const std::string& text, const std::string& what) {
    std::string digits = NormaliseHex(text, what);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

std::string SpacedHex(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) out += (i ? " " : "") + ToHex(&bytes[i], 1);
    return out;
}

std::vector<uint8_t> ExactHex(const std::string& text, size_t bytes, const std::string& what) {
    auto v = ParseHex(text, what);
    if (v.size() != bytes)
        throw UsageError(what + " must be " + std::to_string(bytes) + " bytes (" + std::to_string(2 * bytes) +
                         " hex digits): '" + text + "'");
    return v;
}

std::vector<uint8_t> DataHex(const std::string& text, const std::string& what, size_t max) {
    auto v = ParseHex(text, what);
    if (v.empty()) throw UsageError(what + " is empty");
    if (v.size() > max)
        throw UsageError(what + " holds " + std::to_string(v.size()) + " bytes, at most " + std::to_string(max));
    return v;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

namespace {

long ParseDigits(const std::string& digits, int base, const std::string& original, const std::string& what) {
    if (digits.empty()) throw UsageError("missing number for " + what);
    for (char c : digits) {
        bool ok =
            base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c));
        if (!ok) throw UsageError("bad " + what + ": '" + original + "'");
    }
    if (digits.size() > 9) throw UsageError(what + " out of range: '" + original + "'");
    return std::stol(digits, nullptr, base);
}

bool HasHexPrefix(const std::string& t) { return t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'); }

}  // namespace

long ParseNumber(const std::string& text, long min, long max, const std::string& what) {
    long value = HasHexPrefix(text) ? ParseDigits(text.substr(2), 16, text, what) : ParseDigits(text, 10, text, what);
    if (value < min || value > max)
        throw UsageError(what + " out of range: " + text + " (" + std::to_string(min) + ".." + std::to_string(max) +
                         ")");
    return value;
}

long ParseAddress(const std::string& text, long max, const std::string& what) {
    long value = ParseDigits(HasHexPrefix(text) ? text.substr(2) : text, 16, text, what);
    if (value > max) {
        char buf[64];
        std::snprintf(buf, sizeof buf, " out of range: %s (at most %lX)", text.c_str(), max);
        throw UsageError(what + buf);
    }
    return value;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string PrintableOrEmpty(const std::string& bytes) {
    for (unsigned char c : bytes)
        if (c < 0x20 || c > 0x7E) return "";
    return bytes;
}

}  // namespace qd500::cli
