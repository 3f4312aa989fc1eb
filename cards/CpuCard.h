// CPU cards: the APDU command of the reader (5A), with the GET RESPONSE that
// follows 61xx and 6Cxx, and the file-system personalisation steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
// GET RESPONSE for le bytes (0..256; 256 goes out as 00).
CardAnswer GetResponse(CardReader& reader, int le);

// An APDU's follow-ups come in two policies, the caller's to choose:
//
// The reader's own: one APDU and, on 61xx or 6Cxx (upper case), one GET
// RESPONSE for xx, whose answer is then the answer.
CardAnswer CardCommand(CardReader& reader, const ApduText& apdu);

// ISO 7816-4's, on APDUs as bytes: 61xx fetches xx bytes by GET RESPONSE
// (the data gathered across the chain), 6Cxx sends the APDU again with Le
// xx, for at most kMaxChain exchanges.
constexpr int kMaxChain = 32;
// Response data and SW1 SW2 at most: 256 bytes and the status word.
constexpr size_t kMaxApduResponse = 258;

// The most response data an Le asks for (00: 256).
size_t LeBytes(unsigned le);

// An APDU of case 1 to 4 in its short form, as the reader's command carries
// it: one P3 byte, which is Lc when data follows and Le otherwise; the Le of
// a case-4 APDU is dropped, as T=0 drops it.
struct Apdu {
    ApduText text;
    std::string data;
    size_t maxResponse = kMaxApduResponse;  // response data and SW1 SW2 at most
};
// False for anything else (an extended length, Lc and data that disagree).
bool ParseApdu(const unsigned char* apdu, size_t len, Apdu& out);

// The response data and status word of an answer, appended to bytes.
// False when the reply did not carry them as it should, or carried more
// data than the exchange asked for: that is no answer to it.
bool TakeResponse(const CardAnswer& answer, size_t most, std::vector<unsigned char>& bytes, unsigned char sw[2]);

struct ApduResponse {
    bool malformed = false;  // an answer without its status word, or with more data than asked for
    std::vector<unsigned char> data;
    unsigned char sw[2] = {};
};
// Runs the APDU and, with follow, its ISO follow-ups. Each exchange's
// outcome is shown to accept first; false from it ends the chain, and so
// does false from here.
bool ExchangeApdu(CardReader& reader, Apdu apdu, bool follow, const std::function<bool(const Outcome&)>& accept,
                  ApduResponse& response);

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
