// Splits a fuzzer's input into chunks: [u16 little-endian header][bytes].
// The header's low 10 bits are the chunk's length, its high 6 bits a delay in
// 50 ms steps before the chunk reaches the line, so the fuzzer controls both
// fragmentation and timing. The first chunk carries the call's parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qd500::fuzz {

struct Chunk {
    uint32_t delayMs = 0;
    std::string bytes;
};

inline std::vector<Chunk> SplitChunks(const uint8_t* data, size_t size, size_t maxChunks = 64) {
    std::vector<Chunk> chunks;
    size_t pos = 0;
    while (pos + 2 <= size && chunks.size() < maxChunks) {
        unsigned header = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        size_t len = header & 0x3FF;
        if (len > size - pos) len = size - pos;
        chunks.push_back({(header >> 10) * 50u, std::string(reinterpret_cast<const char*>(data + pos), len)});
        pos += len;
    }
    return chunks;
}

// Reads parameters out of the first chunk, one field after another; what the
// chunk lacks reads as zero or empty.
class ParamReader {
public:
    explicit ParamReader(const std::string& bytes) : m_bytes(bytes) {}
    uint8_t Byte() { return m_pos < m_bytes.size() ? static_cast<uint8_t>(m_bytes[m_pos++]) : 0; }
    // Little-endian; the low byte is read first whatever the compiler's
    // order of evaluation.
    int16_t Short() {
        uint8_t low = Byte();
        return static_cast<int16_t>(low | (Byte() << 8));
    }
    // A text of up to maxLen characters, length given by one byte.
    std::string Text(size_t maxLen = 600) {
        size_t len = Byte();
        len = len * 3 % (maxLen + 1);
        std::string text;
        while (text.size() < len && m_pos < m_bytes.size()) {
            char c = static_cast<char>(m_bytes[m_pos++]);
            if (c) text.push_back(c);
        }
        return text;
    }

private:
    const std::string& m_bytes;
    size_t m_pos = 0;
};

// A heap copy of exactly the text and its NUL, so a read past it is caught.
struct ExactText {
    explicit ExactText(const std::string& s) : data(s.begin(), s.end()) { data.push_back('\0'); }
    char* get() { return data.data(); }
    std::vector<char> data;
};

}  // namespace qd500::fuzz
