// Memory cards: the bodies of the SLE44xx, AT88SC and AT24 commands and of
// the reads and writes by address, and the typed operations of any length
// that split into the reader's reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "reader/CardReader.h"
#include "reader/FrameBodies.h"

namespace qd500 {

// A write frame with two-character address fields carries at most 121 data
// bytes (13 characters of overhead plus two per byte); a reply's data field
// at most 128 bytes.
constexpr int kMaxWriteBytes = 121;
constexpr int kMaxReadBytes = 128;

// The byte count sent in front of a PIN or security code: half its text,
// rounded down. A text too long for any frame gives a count the body then
// refuses with the text itself; a missing text counts 0 and is refused too.
int CodeByteCount(const char* code);

FrameBody ReadDataBody(Address at, int count);                                   // 52
FrameBody WriteDataBody(Address at, const unsigned char* data, int count);       // 57
FrameBody Sle4442ProtectionBody(const char* at, int count);                      // 50, protection memory
FrameBody Sle4428ReadBody(Address at, int count);                                // 72, data and protection bits
FrameBody Sle4428ProtectBody(Address at, const unsigned char* data, int count);  // 77, write and protect
FrameBody CompareWriteBody(Address at, const unsigned char* data, int count);    // 76
FrameBody PresentCodeBody(const char* codeHex);                                  // 56, SLE44xx PSC
FrameBody ChangeCodeBody(const char* codeHex);                                   // 53
FrameBody At88VerifyBody(Address at, const char* codeHex);                       // 56
FrameBody At88EraseBody(Address at, int count);                                  // 45
FrameBody At88PersonaliseBody(Address at);                                       // 46

// What a typed operation of many exchanges did: the last exchange, and
// whether the reply it got was malformed (a data field of the wrong size).
struct Progress {
    Outcome last;
    size_t done = 0;         // bytes read or written
    bool malformed = false;  // the reply had no data field of the size asked for

    bool ok() const { return !malformed && last.answered() && last.reply.Succeeded(); }
};

// The frames carry 16-bit addresses: a range past 0xFFFF would wrap to
// address 0, so the operations below refuse it before anything is sent.
bool MemoryRangeFits(unsigned address, size_t count);

// Whether a range may be read or written on this reader, decided before
// anything is sent, so that no card is left half-written at its end. With a
// card type selected through this reader, the range must lie within its
// memory (within its protected bytes for protection). With none, a write of
// more than one command is refused, since the card's end is unknown and the
// write could stop half-done there; reads go on (they change nothing, though
// past an AT24 EEPROM's end they only wrap round to its start).
enum class RangeCheck { Fits, PastTheEnd, TypeUnknown };
RangeCheck CheckRange(const CardReader& reader, unsigned address, size_t count, bool write, bool protection);

// Card memory of any length, in reads of at most 128 bytes and writes of at
// most 121; zero bytes are data like any other. Refused (nothing sent) where
// CheckRange does not find the range fits; stops at the first exchange that
// fails.
Progress ReadMemory(CardReader& reader, unsigned address, unsigned char* data, size_t count);
Progress WriteMemory(CardReader& reader, unsigned address, const unsigned char* data, size_t count);

// The protection of card memory by byte, 1 where a byte is protected, from
// the protection memory of an SLE4442/4432 or the protection bits of an
// SLE4428/4418 (the family of the type selected last decides).
Progress ReadProtection(CardReader& reader, unsigned address, unsigned char* flags, size_t count);
// Writes and protects: an SLE4442/4432 protects the bytes its data matches,
// an SLE4428/4418 writes the data and protects it.
Progress Protect(CardReader& reader, unsigned address, const unsigned char* data, size_t count);

// The AT24 sequence: an AT24Cxx EEPROM card is driven in one run of the
// reader's steps, in this order.
struct At24Steps {
    enum Step { Device, CardType, PowerOn, Data, PowerOff, kCount };
    FrameBody body[kCount];

    // Every step's body fits its frame.
    bool ok() const;
};
// The steps for the device number (0..255, sent as two hex digits), the
// card type's select code ("5405") and the data step's body (unused where
// the run is given its own data step).
At24Steps BuildAt24Steps(int device, const char* typeCode, const FrameBody& data);
// Runs them on reader: each framed step's outcome goes to accept, whose
// false ends the run. `data`, when given, is the data step instead of its
// body and says whether it went well. The card is powered off after a data
// step that failed only when powerOffAfterFailure is set.
void RunAt24(CardReader& reader, const At24Steps& steps,
             const std::function<bool(At24Steps::Step, const Outcome&)>& accept, const std::function<bool()>& data,
             bool powerOffAfterFailure);

}  // namespace qd500
