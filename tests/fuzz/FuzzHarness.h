// What the session and magnetic fuzz targets share: a scripted line that
// delivers the fuzzer's chunks at the times the fuzzer chose, outputs of
// exactly their stated sizes, and texts as exact heap copies.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "qd500dll.h"
#include "support/PlatformFake.h"

namespace qd500::fuzz {

// A caller buffer of exactly n bytes on the heap.
class Out {
public:
    explicit Out(size_t n) : m_data(new char[n]), m_size(n) { std::memset(m_data.get(), 0x5A, n); }
    char* get() { return m_data.get(); }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(m_data.get()); }
    // A text output must end within its buffer.
    void CheckText() const {
        if (!memchr(m_data.get(), 0, m_size)) __builtin_trap();
    }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size;
};

// Feeds chunks 1.. to the fake port, each after its delay from the previous,
// the first at startMs plus its delay.
inline void Schedule(test::FakePort& port, const std::vector<Chunk>& chunks, uint32_t startMs = 0) {
    uint32_t at = startMs;
    for (size_t i = 1; i < chunks.size(); ++i) {
        at += chunks[i].delayMs;
        port.ArriveAt(at, chunks[i].bytes);
    }
}

// The scripted line of one run: a fake platform whose COM4 delivers the
// fuzzer's chunks 1.., and no trace file.
struct FuzzLine {
    static constexpr int kCom = 4;
    explicit FuzzLine(const std::vector<Chunk>& chunks, uint32_t startMs = 0) : port(fake.platform.AddPort(kCom)) {
        setenv("QD500_TRACE_FILE", "/dev/null", 1);
        Schedule(port, chunks, startMs);
    }
    test::ScopedFakePlatform fake;
    test::FakePort& port;
};

}  // namespace qd500::fuzz
