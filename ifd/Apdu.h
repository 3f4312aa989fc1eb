// What an APDU from a PC/SC application asks of the slot, decided before
// anything reaches the line: a CPU-card APDU to pass through, one of the
// class-FF pseudo-APDUs of memory cards, or a status word answered at once.
// And where a reader's result leads. Pure: no reader, no I/O, so unit tests
// and the fuzzer drive it directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd500::ifd {

// The card-type byte of a CPU card in the reader's table.
constexpr int kCpuType = 0x88;

// A reply frame's length field is two hex digits: an APDU's answer carries
// at most this much data before SW1 SW2.
constexpr size_t kMaxAnswerData = 251;

// The protocols an ATR offers, as SCARD_PROTOCOL_T0 (1) and T1 (2) bits:
// T=0 where it names none.
unsigned OfferedProtocols(const uint8_t* atr, size_t length);

// What a memory card of a type can do, from the card-type table.
struct MemoryKind {
    int type = -1;                // the reader's type byte
    const char* name = nullptr;   // its name in the table ("S4442")
    unsigned size = 0;            // bytes of card memory
    unsigned codeLength = 0;      // bytes of its security code; 0: none
    bool at88 = false;            // the code is an AT88SC security code, at an address
    bool changeCode = false;      // the code can be changed by FF D2
    unsigned protectedBytes = 0;  // bytes from 0 that have protection bits; 0: none
};

// The memory kind of a type byte; type -1 when the table has no memory
// card of that byte (a CPU card included).
MemoryKind MemoryKindOf(int type);

// What the slot holds, as far as the driver knows.
struct CardMode {
    bool memory = false;  // the card gave no CPU-card ATR
    MemoryKind kind;      // the memory type selected for it (type -1: none yet)
};

enum class Op : uint8_t {
    Answer,          // nothing to send: answer sw
    Transmit,        // a CPU-card APDU, to the card as it is
    SelectType,      // FF A4: select type, power the card in that mode
    Read,            // FF B0
    Write,           // FF D6
    PresentCode,     // FF 20
    ChangeCode,      // FF D2
    ReadProtection,  // FF B2
    Protect,         // FF D1
};

struct Request {
    Op op = Op::Answer;
    uint16_t sw = 0;                // Op::Answer
    int type = -1;                  // Op::SelectType
    unsigned address = 0;           // reads, writes, AT88 code address
    size_t length = 0;              // bytes to read, or bytes of data
    const uint8_t* data = nullptr;  // into the APDU: write data or a code
};

// An APDU of len bytes, short form only: an extended length, a Lc that does
// not match the bytes, or a read past the card all answer a status word.
Request ParseApdu(const uint8_t* apdu, size_t len, const CardMode& mode);

// How a reader's call ended, for the application.
enum class Fault : uint8_t {
    None,     // sw holds the status word
    NoCard,   // the slot is empty
    Timeout,  // the reader did not answer in time
    Line,     // the line failed or vanished
    Buffer,   // the application's buffer is too small (nothing was sent)
};

struct Verdict {
    Fault fault = Fault::None;
    uint16_t sw = 0;
};

// The status word of a pseudo-APDU whose reader call gave result (as
// qd500.h numbers results), or the fault that is no status word.
Verdict Judge(Op op, int result);

}  // namespace qd500::ifd
