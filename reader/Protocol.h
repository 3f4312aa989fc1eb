// The reader's command protocol: frames and their checksum, replies, the
// status table, and the hex-text helpers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd500 {

constexpr char kEsc = 0x1B;
constexpr char kEtx = 0x03;

// A command frame (ESC '=' body BCC ETX) holds at most 255 characters.
constexpr int kMaxFrameChars = 255;
constexpr int kMaxBodyChars = kMaxFrameChars - 5;
// The APDU command is the exception: "5A", five header fields and up to 255
// data bytes (the most a one-byte Lc announces) as 510 hex characters.
constexpr int kMaxApduDataChars = 510;
constexpr int kMaxApduBodyChars = 2 + 5 * 2 + kMaxApduDataChars;
constexpr int kMaxApduFrameChars = kMaxApduBodyChars + 5;

// The value of one hex digit (either case), -1 for any other character.
int HexDigit(char c);

// Value of a two-character hex field as the reader's "%02X" scans read it:
// blanks in front are skipped, reading stops at the first character that is
// not a hex digit, and a field with no digit reads as 0. Only the two
// characters at p are looked at, and none past a NUL.
int ScanHexPair(const char* p);

// XOR of the n bytes written as hex text (0 when n is 0 or less).
int CalcBcc(const char* hex, int n);

// The text of a status code (its first two characters), in GBK; null for a
// code outside the table.
const char* StatusText(const char* status);
// What a status code means, in English; null for a code outside the table.
const char* StatusMeaning(const char* status);

// The status code read as a decimal number from its leading digits (0 when
// there are none).
int StatusNumber(const char* status);

// Two hex digits of value and a NUL (the first two digits of a longer text).
void HexByte(char* buf, int value);

// Hex text of bytes into a bounded buffer: at most (capacity - 1) / 2 bytes
// are written, then a NUL. Returns the number of characters written.
int SplitHex(const unsigned char* bytes, int count, char* hex, int capacity);

// Bytes of hex text into a bounded buffer, as gCompressAsc does: an odd count
// is padded with 'F', a text shorter than count is padded in front with
// blanks; at most capacity - 1 bytes are stored, then a zero byte.
// Returns the number of bytes stored before the zero byte.
int CompressHex(const char* hex, int count, unsigned char* bytes, int capacity);

// The body of a command frame, built field by field. A field that would not
// fit (or a number outside its field, or a missing text) marks the body as
// refused; a refused body is never sent. maxChars is kMaxBodyChars for every
// command but the APDU command.
class FrameBody {
public:
    explicit FrameBody(const char* code = "", int maxChars = kMaxBodyChars);
    FrameBody& Text(const char* text);                           // inserted unchanged
    FrameBody& Hex2(int value);                                  // "%02X", 0..255
    FrameBody& Dec2(int value);                                  // "%02d", 0..99
    FrameBody& HexBytes(const unsigned char* bytes, int count);  // upper-case hex

    bool ok() const { return m_ok; }
    const char* text() const { return m_text; }
    int size() const { return m_len; }

private:
    void Append(const char* text, size_t len);
    char m_text[kMaxApduBodyChars + 1];
    int m_max = kMaxBodyChars;
    int m_len = 0;
    bool m_ok = true;
};

// ESC '=' body BCC ETX. The BCC covers size/2 bytes of the body, so the last
// character of an odd-length body is sent but not checked.
struct Frame {
    char text[kMaxApduFrameChars + 1];
    int length = 0;
};
Frame BuildFrame(const FrameBody& body);

// The most characters a reply can hold: the channel's receive buffer.
constexpr int kMaxReplyChars = 1024;

// A reply as the reply wait collected it, taken apart from its header on. It
// keeps its own copy of the characters after the status code.
struct Reply {
    bool header = false;  // ESC '=' found
    int headerPos = -1;
    int length = 0;  // LL: data bytes + 2
    bool statusEmpty = true;
    char status[3] = {0, 0, 0};
    char tail[kMaxReplyChars + 1] = {};  // the characters after the status code,
    int tailLen = 0;                     // ... up to what arrived (the end character excluded)

    // Characters of the data field that arrived: 2*LL-4, cut to what arrived.
    int DataChars() const;
    // The status code is "00".
    bool Succeeded() const;
    // The transaction's result: the status number, or -1 when the status was
    // taken as empty. A status such as "0A" reads as the number 0 but is no
    // success, so it gives -1 too.
    short Result() const;
};
Reply ParseReply(const char* recv, int recvLen, char endChar);

}  // namespace qd500
