// CPU cards: the APDU command of the reader (5A), with the GET RESPONSE that
// follows 61xx and 6Cxx, and the file-system personalisation steps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/CardReader.h"

namespace qd500 {

// The APDU command carries the data as hex text of up to 510 characters
// (255 bytes, the most a one-byte Lc announces).
constexpr int kMaxRespChars = 2 * 255 - 8;  // the response data a reply's length field allows
constexpr int kSwChars = 4;

// An APDU as the reader's command carries it: five header fields of at most
// two characters each (CLA INS P1 P2 P3), inserted as they stand, and the
// data as hex text.
struct ApduText {
    char field[5][3] = {};
    const char* data = "";

    // Each field keeps at most its first two characters.
    static ApduText Of(const char* cla, const char* ins, const char* p1, const char* p2, const char* p3,
                       const char* data);
};

// How one APDU went: the last exchange, and the response it carried.
struct CardAnswer {
    Outcome out;
    bool swTaken = false;  // the reply carried a status word
    char sw[kSwChars + 1] = {};
    char resp[kMaxRespChars + 1] = {};  // response data as hex text
    int respChars = 0;

    short Result() const { return out.Result(); }
    bool SwIs(const char* word) const;
    // 61xx: xx bytes wait; 6Cxx: the right Le is xx.
    bool WantsGetResponse() const;
};

FrameBody ApduBody(const ApduText& apdu);  // refused when data exceeds 510 characters
// The reader's own PIN check of a CPU card's key reference (5600).
FrameBody CheckPinBody(const char* pinHex, const char* pinLen, const char* pinRef);

// One APDU exchange, without GET RESPONSE.
CardAnswer Transmit(CardReader& reader, const ApduText& apdu);
// One APDU and, on 61xx or 6Cxx (upper case), one GET RESPONSE, whose
// answer is then the answer.
CardAnswer CardCommand(CardReader& reader, const ApduText& apdu);
// GET RESPONSE for le bytes (0..256; 256 goes out as 00).
CardAnswer GetResponse(CardReader& reader, int le);

// The personalisation steps of a payment card's file system.
enum class Personalisation {
    DeleteMf,
    CreateMf,
    EndMf,
    CreateDf,
    EndDf,
    CreateFile,
    SelectFile,
    WriteKey,
    WriteBinary,
    AppendRecord,
};
// Runs one step on input as hex text (unused by the steps without input),
// with its follow-up GET RESPONSE on 61xx (and on 6A81 where the step asks
// for it). Input of odd length is the caller's to refuse.
CardAnswer Personalise(CardReader& reader, Personalisation step, const char* input);

}  // namespace qd500
