#include "reader/FrameBodies.h"

#include <cstring>

namespace qd500 {

namespace {
constexpr int kWorkAreaChars = 256;
constexpr int kStateChars = 2;

}  // namespace

FrameBody SelectCardBody(const char* typeCode) { return FrameBody(typeCode); }
FrameBody PowerOnBody() { return FrameBody("55"); }
FrameBody PowerOffBody() { return FrameBody("44"); }
FrameBody DeviceStatusBody() { return FrameBody("47"); }
FrameBody EjectBody() { return FrameBody("4F"); }
FrameBody DeviceNumberBody(int number) {
    FrameBody body("25");
    body.Dec2(number);
    return body;
}

FrameBody DeviceNumberHexBody(int number) {
    FrameBody body("25");
    body.Hex2(number);
    return body;
}

FrameBody VersionBody() { return FrameBody("41"); }

AddressText::AddressText(unsigned address) {
    HexByte(m_high, static_cast<int>((address >> 8) & 0xFF));
    HexByte(m_low, static_cast<int>(address & 0xFF));
}

int CopyDataText(const Reply& reply, char* out, int maxChars) {
    if (!out) return 0;
    int n = reply.DataChars();
    if (n > maxChars) n = maxChars;
    if (n < 0) n = 0;
    if (n > 0) std::memcpy(out, reply.tail, static_cast<size_t>(n));
    out[n] = '\0';
    return n;
}

void CopyDataBytes(const Reply& reply, unsigned char* out) {
    if (!out) return;
    char work[kWorkAreaChars + 1];
    // The count is what was copied, not the text's length: a NUL byte among
    // the data (line noise) must not shorten the bytes delivered, or the
    // caller would take its own old buffer for card data.
    int chars = CopyDataText(reply, work, kWorkAreaChars);
    out[0] = 0;
    // An odd count would have gCompressAsc pad with 'F'; the count of what
    // arrived decides.
    CompressHex(work, chars, out, chars / 2 + (chars & 1) + 1);
}

int DecodeHex(const char* text, int chars, unsigned char* out, int capacity) {
    if (chars < 0 || chars % 2 != 0 || chars / 2 > capacity) return -1;
    for (int i = 0; i < chars / 2; ++i) {
        int hi = HexDigit(text[2 * i]);
        int lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return -1;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return chars / 2;
}

int DataBytes(const Reply& reply, unsigned char* out, int capacity) {
    return DecodeHex(reply.tail, reply.DataChars(), out, capacity);
}

void StateFields(const Reply& reply, StateField (&fields)[3]) {
    // The length field is not consulted, only what arrived.
    for (int i = 0; i < 3; ++i) {
        int from = i * kStateChars;
        int n = reply.tailLen - from;
        if (n > kStateChars) n = kStateChars;
        if (n < 0) n = 0;
        std::memcpy(fields[i].text, reply.tail + (n > 0 ? from : 0), static_cast<size_t>(n));
        fields[i].text[n] = '\0';
        fields[i].length = n;
    }
}

}  // namespace qd500
