#include "reader/Protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "reader/Texts.h"

namespace qd500 {

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct StatusEntry {
    const char* code;
    const char* message;
    const char* meaning;
};

constexpr StatusEntry kStatusTable[] = {
    {"00", text::kStatus00, "success"},
    {"11", text::kStatus11, "the command's checksum is wrong"},
    {"12", text::kStatus12, "the command's format is wrong"},
    {"13", text::kStatus13, "unknown command"},
    {"14", text::kStatus14, "the command's length is wrong (or the address is past the end of the card)"},
    {"21", text::kStatus21, "no card in the reader"},
    {"22", text::kStatus22, "not a standard card"},
    {"23", text::kStatus23, "the card is not powered"},
    {"24", text::kStatus24, "the card type does not support this command"},
    {"25", text::kStatus25, "the card could not be ejected"},
    {"31", text::kStatus31, "wrong code or code not presented"},
    {"32", text::kStatus32, "the byte is write-protected"},
    {"33", text::kStatus33, "the code is locked (the card is read-only)"},
    {"41", text::kStatus41, "the card's operating system reported an error"},
    {"77", text::kStatus77, "the reader timed out"},
};

const StatusEntry* FindStatus(const char* status) {
    for (const auto& entry : kStatusTable) {
        if (status[0] == entry.code[0] && status[0] != '\0' && status[1] == entry.code[1]) return &entry;
    }
    return nullptr;
}

}  // namespace

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int ScanHexPair(const char* p) {
    int i = 0;
    while (i < 2 && IsBlank(p[i])) ++i;
    int value = 0;
    for (; i < 2; ++i) {
        int d = HexDigit(p[i]);
        if (d < 0) break;
        value = value * 16 + d;
    }
    return value;
}

int CalcBcc(const char* hex, int n) {
    int bcc = 0;
    for (int i = 0; i < n; ++i) bcc ^= ScanHexPair(hex + 2 * i);
    return bcc;
}

const char* StatusText(const char* status) {
    const StatusEntry* entry = FindStatus(status);
    return entry ? entry->message : nullptr;
}

const char* StatusMeaning(const char* status) {
    const StatusEntry* entry = FindStatus(status);
    return entry ? entry->meaning : nullptr;
}

int StatusNumber(const char* status) {
    int value = 0;
    for (int i = 0; i < 2 && status[i] >= '0' && status[i] <= '9'; ++i) value = value * 10 + (status[i] - '0');
    return value;
}

void HexByte(char* buf, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value));
    buf[0] = text[0];
    buf[1] = text[1];
    buf[2] = '\0';
}

int SplitHex(const unsigned char* bytes, int count, char* hex, int capacity) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (capacity <= 0) return 0;
    int n = 0;
    for (int i = 0; i < count && n + 2 < capacity; ++i) {
        hex[n++] = kDigits[bytes[i] >> 4];
        hex[n++] = kDigits[bytes[i] & 0x0F];
    }
    hex[n] = '\0';
    return n;
}

int CompressHex(const char* hex, int count, unsigned char* bytes, int capacity) {
    if (capacity <= 0) return 0;
    int stored = 0;
    if (count > 0) {
        // The working text is the count characters right-aligned in a field of
        // count (blanks in front of a shorter text) followed by 'F'.
        size_t len = hex ? strnlen(hex, static_cast<size_t>(count)) : 0;
        int pad = count - static_cast<int>(len);
        auto at = [&](int i) -> char {
            if (i < pad) return ' ';
            if (i < count) return hex[i - pad];
            return i == count ? 'F' : '\0';
        };
        int pairs = (count + 1) / 2;
        for (int i = 0; i < pairs && stored < capacity - 1; ++i) {
            char pair[3] = {at(2 * i), at(2 * i + 1), '\0'};
            bytes[stored++] = static_cast<unsigned char>(ScanHexPair(pair));
        }
    }
    bytes[stored] = 0;
    return stored;
}

FrameBody::FrameBody(const char* code, int maxChars) {
    m_max = maxChars < 0 ? 0 : (maxChars > kMaxApduBodyChars ? kMaxApduBodyChars : maxChars);
    m_text[0] = '\0';
    Text(code);
}

void FrameBody::Append(const char* text, size_t len) {
    if (!m_ok) return;
    if (len > static_cast<size_t>(m_max - m_len)) {
        m_ok = false;
        return;
    }
    std::memcpy(m_text + m_len, text, len);
    m_len += static_cast<int>(len);
    m_text[m_len] = '\0';
}

FrameBody& FrameBody::Text(const char* text) {
    if (!text) {
        m_ok = false;
        return *this;
    }
    Append(text, strnlen(text, static_cast<size_t>(m_max) + 1));
    return *this;
}

FrameBody& FrameBody::Hex2(int value) {
    if (value < 0 || value > 255) {
        m_ok = false;
        return *this;
    }
    char field[3];
    HexByte(field, value);
    Append(field, 2);
    return *this;
}

FrameBody& FrameBody::Dec2(int value) {
    if (value < 0 || value > 99) {
        m_ok = false;
        return *this;
    }
    char field[3] = {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10), '\0'};
    Append(field, 2);
    return *this;
}

FrameBody& FrameBody::HexBytes(const unsigned char* bytes, int count) {
    if (count < 0 || (count > 0 && !bytes) || count > (m_max - m_len) / 2) {
        m_ok = false;
        return *this;
    }
    char hex[kMaxApduBodyChars + 1];
    int n = SplitHex(bytes, count, hex, sizeof hex);
    Append(hex, static_cast<size_t>(n));
    return *this;
}

Frame BuildFrame(const FrameBody& body) {
    Frame frame;
    int bcc = CalcBcc(body.text(), body.size() / 2);
    frame.length = std::snprintf(frame.text, sizeof frame.text, "%c=%s%02X%c", kEsc, body.text(), bcc, kEtx);
    return frame;
}

int Reply::DataChars() const {
    int chars = 2 * length - 4;
    if (chars <= 0) return 0;
    return chars < tailLen ? chars : tailLen;
}

bool Reply::Succeeded() const { return !statusEmpty && status[0] == '0' && status[1] == '0'; }

short Reply::Result() const {
    if (statusEmpty) return -1;
    int number = StatusNumber(status);
    return number == 0 && !Succeeded() ? -1 : static_cast<short>(number);
}

Reply ParseReply(const char* recv, int recvLen, char endChar) {
    Reply reply;
    for (int k = 0; k + 1 < recvLen; ++k) {
        if (recv[k] == kEsc && recv[k + 1] == '=') {
            reply.header = true;
            reply.headerPos = k;
            break;
        }
    }
    if (!reply.header) return reply;

    // Nothing is read past the bytes that arrived; the end character closes
    // the reply and belongs to no field.
    int end = recvLen;
    if (end > 0 && recv[end - 1] == endChar) --end;
    const int k = reply.headerPos;
    auto field = [&](int pos, char* out) {
        out[0] = pos < end ? recv[pos] : '\0';
        out[1] = pos + 1 < end ? recv[pos + 1] : '\0';
        out[2] = '\0';
    };
    char ll[3];
    field(k + 2, ll);
    reply.length = ScanHexPair(ll);
    // A status code needs both its characters in what arrived, and a received
    // text of at least two characters.
    if (k + 6 <= end && strnlen(recv, 2) >= 2) {
        field(k + 4, reply.status);
        reply.statusEmpty = false;
    }
    reply.tailLen = k + 6 < end ? std::min(end - (k + 6), kMaxReplyChars) : 0;
    if (reply.tailLen > 0) std::memcpy(reply.tail, recv + k + 6, static_cast<size_t>(reply.tailLen));
    reply.tail[reply.tailLen] = '\0';
    return reply;
}

}  // namespace qd500
