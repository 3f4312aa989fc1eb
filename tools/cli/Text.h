// Text helpers of the command-line tool: GBK to UTF-8, hex and number
// arguments, JSON strings.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qd500::cli {

// A mistake in what the user typed: reported with its text, nothing is sent.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The library's GBK texts as UTF-8. Bytes iconv cannot convert come out as
// \xNN, so nothing the reader sent is ever lost from view.
std::string GbkToUtf8(const std::string& gbk);

// Hex digits with or without blanks (or ':' between bytes) into bytes.
// Throws UsageError naming `what` for anything else or an odd digit count.
std::vector<uint8_t> ParseHex(const std::string& text, const std::string& what);
// Upper-case hex text of bytes.
std::string ToHex(const std::vector<uint8_t>& bytes);
// "1 byte", "2 bytes".
std::string ByteCount(size_t count);
std::string ToHex(const uint8_t* bytes, size_t count);
// Hex digits only (blanks removed), validated, upper case.
std::string NormaliseHex(const std::string& text, const std::string& what);

// Bytes of exactly `bytes`, or of 1 to `max`; UsageError names `what`.
std::vector<uint8_t> ExactHex(const std::string& text, size_t bytes, const std::string& what);
std::vector<uint8_t> DataHex(const std::string& text, const std::string& what, size_t max);
// Bytes as "3B 68 00" (upper case, one blank between).
std::string SpacedHex(const std::vector<uint8_t>& bytes);

std::string Lower(std::string text);
std::string Upper(std::string text);

// A decimal number, or hex with 0x in front, within [min, max].
long ParseNumber(const std::string& text, long min, long max, const std::string& what);
// A card address: hex digits (0x allowed), at most `max`.
long ParseAddress(const std::string& text, long max, const std::string& what);

std::string JsonString(const std::string& utf8);

// The bytes as text where they are printable ASCII, else empty.
std::string PrintableOrEmpty(const std::string& bytes);

}  // namespace qd500::cli
