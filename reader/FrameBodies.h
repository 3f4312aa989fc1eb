// The reader's commands as frame bodies, and what the commands share in
// reading a reply's data field. A command is its body; what a caller makes
// of the reply (texts, buffers) is the caller's.
#pragma once

#include <cstdint>

#include "reader/Protocol.h"

namespace qd500 {

// Card type, power, device state, eject, device number and version.
FrameBody SelectCardBody(const char* typeCode);  // "5488": the code as given
FrameBody PowerOnBody();
FrameBody PowerOffBody();
FrameBody DeviceStatusBody();
FrameBody EjectBody();
FrameBody DeviceNumberBody(int number);     // two decimal digits: 10 goes out as 2510
FrameBody DeviceNumberHexBody(int number);  // two hex digits, as the AT24 sequence sends it
FrameBody VersionBody();

// A card memory address as the frame carries it: two fields of text, each
// inserted as it stands.
struct Address {
    const char* high;
    const char* low;
};

// The address fields of a number: two upper-case hex digits each.
class AddressText {
public:
    explicit AddressText(unsigned address);
    Address fields() const { return {m_high, m_low}; }

private:
    char m_high[3];
    char m_low[3];
};

// The data field as text, at most maxChars characters, then a NUL. Returns
// the count of characters copied.
int CopyDataText(const Reply& reply, char* out, int maxChars);

// The data field from hex text to bytes through the 256-character work area
// of the memory reads: at most 128 bytes, then a zero byte.
void CopyDataBytes(const Reply& reply, unsigned char* out);

// Hex text of chars characters as bytes, strictly: -1 for an odd count, a
// character that is not a hex digit, or more bytes than capacity.
int DecodeHex(const char* text, int chars, unsigned char* out, int capacity);

// The data field as bytes, strictly: -1 when it holds an odd count of
// characters or one that is not a hex digit, or more bytes than capacity.
int DataBytes(const Reply& reply, unsigned char* out, int capacity);

// One of the three state fields of the device status: the characters of it
// that arrived (at most two), then a NUL.
struct StateField {
    char text[3] = {};
    int length = 0;
};
void StateFields(const Reply& reply, StateField (&fields)[3]);

}  // namespace qd500
