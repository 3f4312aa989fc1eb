// The APDU exchange every CPU-card command rests on, for the library's own
// commands: the record they build and the card's status word as the last
// exchange left it.
#pragma once

#include "reader/Protocol.h"

namespace qd500 {

// The caller's APDU record: five fields of two hex characters and a NUL,
// then the data as hex text. Our own records leave room for 512 characters.
struct ApduRecord {
    char cla[3], ins[3], p1[3], p2[3], p3[3];
    char data[kMaxApduDataChars + 3];
};
static_assert(sizeof(ApduRecord) == 15 + kMaxApduDataChars + 3, "the record has no padding");

// Fills a record; data longer than the record holds is kept just long enough
// to be refused by the exchange. False for a missing data text.
bool MakeApdu(ApduRecord& record, const char* cla, const char* ins, const char* p1, const char* p2,
              const char* p3, const char* data);

struct CardAnswer {
    short result = -1;
    bool swTaken = false;  // the last reply carried a status word, now in sw (and bpSW)
    char sw[5] = {};
};

// gCPUCommand and gCPUGetResponse, reporting whether a status word came back,
// so that a status word left in bpSW from an earlier call never drives a
// decision.
CardAnswer CardCommand(const char* bpApdu, char* bpSW, char* bpResp, char* bpMsg);
CardAnswer CardGetResponse(short nLe, char* bpSW, char* bpResp, char* bpMsg);

}  // namespace qd500
