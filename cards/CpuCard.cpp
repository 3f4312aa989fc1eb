// CPU cards: the APDU exchange with its automatic GET RESPONSE, and the card
// data, PIN and file commands built on the reader's commands and on APDUs.
#include "cards/CpuCard.h"

#include <cstring>

#include "qd500dll.h"
#include "reader/Session.h"
#include "reader/Texts.h"
#include "reader/Transaction.h"

namespace qd500 {

namespace {

constexpr int kFieldChars = 2;
constexpr int kFieldSize = 3;
constexpr int kFields = 5;
constexpr int kSwChars = 4;
// The reply's length field allows 2 * 255 - 8 characters of response data.
constexpr int kMaxRespChars = 2 * 255 - 8;
// Frame overhead 13 characters with two-character address fields, two per byte.
constexpr int kMaxWriteBytes = 121;

// Splits the data field that arrived into response data and status word.
// A field too short for a status word gives no response data and leaves
// bpSW alone.
CardAnswer TakeCardAnswer(const Outcome& out, char* bpResp) {
    CardAnswer answer;
    answer.result = out.result;
    int chars = out.reply.DataChars();
    if (chars < kSwChars) return answer;
    int respChars = chars - kSwChars;
    if (respChars > kMaxRespChars) respChars = kMaxRespChars;
    if (bpResp) {
        std::memcpy(bpResp, out.reply.tail, static_cast<size_t>(respChars));
        bpResp[respChars] = '\0';
    }
    std::memcpy(answer.sw, out.reply.tail + respChars, kSwChars);
    answer.sw[kSwChars] = '\0';
    answer.swTaken = true;
    return answer;
}

void Empty(char* text) {
    if (text) text[0] = '\0';
}

void CopySw(const CardAnswer& answer, char* bpSW) {
    if (answer.swTaken && bpSW) std::memcpy(bpSW, answer.sw, kSwChars + 1);
}

void CopyField(char* dst, const char* src) {
    size_t n = src ? strnlen(src, kFieldChars) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

bool MakeApdu(ApduRecord& record, const char* cla, const char* ins, const char* p1, const char* p2,
              const char* p3, const char* data) {
    CopyField(record.cla, cla);
    CopyField(record.ins, ins);
    CopyField(record.p1, p1);
    CopyField(record.p2, p2);
    CopyField(record.p3, p3);
    record.data[0] = '\0';
    if (!data) return false;
    size_t n = strnlen(data, kMaxApduDataChars + 1);
    std::memcpy(record.data, data, n);
    record.data[n] = '\0';
    return true;
}

CardAnswer CardGetResponse(short nLe, char* bpSW, char* bpResp, char* bpMsg) {
    CardAnswer answer;
    if (!SessionCheck(bpMsg)) return answer;
    Empty(bpResp);
    WriteMessage(bpMsg, "");
    if (nLe < 0 || nLe > 256) return answer;
    // Le 256 is what a one-byte Le of 00 means.
    FrameBody body("5A00C00000", kMaxApduBodyChars);
    body.Hex2(nLe == 256 ? 0 : nLe);
    Outcome out = SessionExchange(body, kUsualTexts, bpMsg);
    if (!out.parsed) return answer;
    answer = TakeCardAnswer(out, bpResp);
    CopySw(answer, bpSW);
    return answer;
}

CardAnswer CardCommand(const char* bpApdu, char* bpSW, char* bpResp, char* bpMsg) {
    CardAnswer answer;
    if (!SessionCheck(bpMsg)) return answer;
    // Each header field is read up to its NUL but never into the next field.
    FrameBody body("5A", kMaxApduBodyChars);
    const char* data = bpApdu ? bpApdu + kFields * kFieldSize : nullptr;
    if (!data || strnlen(data, kMaxApduDataChars + 1) > static_cast<size_t>(kMaxApduDataChars)) {
        answer.result = RefuseParameters(bpMsg);
        return answer;
    }
    for (int i = 0; i < kFields; ++i) {
        char field[kFieldSize];
        CopyField(field, bpApdu + i * kFieldSize);
        body.Text(field);
    }
    body.Text(data);

    Empty(bpResp);
    WriteMessage(bpMsg, "");
    Outcome out = SessionExchange(body, kUsualTexts, bpMsg);
    if (!out.parsed) return answer;
    answer = TakeCardAnswer(out, bpResp);
    // 61xx: xx bytes wait; 6Cxx: the right Le is xx. Either way fetch once.
    if (answer.swTaken && answer.sw[0] == '6' && (answer.sw[1] == '1' || answer.sw[1] == 'C')) {
        return CardGetResponse(static_cast<short>(ScanHexPair(answer.sw + 2)), bpSW, bpResp, bpMsg);
    }
    CopySw(answer, bpSW);
    return answer;
}

}  // namespace qd500

using namespace qd500;

namespace {

short FixedApdu(const char* ins, const char* p3, const char* data, char* bpSW, char* bpResp, char* bpMsg) {
    ApduRecord record;
    if (!MakeApdu(record, "00", ins, "00", "00", p3, data)) {
        if (!SessionCheck(bpMsg)) return -1;
        return RefuseParameters(bpMsg);
    }
    return CardCommand(reinterpret_cast<const char*>(&record), bpSW, bpResp, bpMsg).result;
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gCPUCommand(const char* bpApdu, char* bpSW, char* bpResp, char* bpMsg) {
    return CardCommand(bpApdu, bpSW, bpResp, bpMsg).result;
}

QD500_API short QD500_CALL gCPUGetResponse(short nLe, char* bpSW, char* bpResp, char* bpMsg) {
    return CardGetResponse(nLe, bpSW, bpResp, bpMsg).result;
}

QD500_API short QD500_CALL gCard_ReadData(const char* bpAddrH, const char* bpAddrL, short nLen, char* bpData,
                                          char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    FrameBody body("52");
    body.Text(bpAddrH).Text(bpAddrL).Hex2(nLen);
    Outcome out = SessionExchange(body, {text::kSendComErr, text::kReadDataTimeout}, bpMsg);
    // Taken whatever the status says; at most 128 bytes and a zero byte.
    if (out.parsed) CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpData));
    return out.result;
}

QD500_API short QD500_CALL gCard_WriteData(const char* bpAddrH, const char* bpAddrL, const char* bpData,
                                           char* bpMsg, short nLen) {
    if (!SessionCheck(bpMsg)) return -1;
    if (nLen > kMaxWriteBytes) return RefuseParameters(bpMsg);
    FrameBody body("57");
    body.Text(bpAddrH).Text(bpAddrL).Hex2(nLen).HexBytes(reinterpret_cast<const unsigned char*>(bpData), nLen);
    return SessionExchange(body, {text::kSendComErr, text::kWriteDataTimeout}, bpMsg).result;
}

QD500_API short QD500_CALL gCheck_Pin(const char* bpPin, const char* bpPinLen, const char* bpPinRef, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    // Reference and length go first, the PIN last.
    FrameBody body("5600");
    body.Text(bpPinRef).Text(bpPinLen).Text(bpPin);
    return SessionExchange(body, {text::kVerifyPinError, text::kCommTimeout}, bpMsg).result;
}

QD500_API short QD500_CALL gGetChallenge(char* bpSW, char* bpResp, char* bpMsg) {
    return FixedApdu("84", "04", "", bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL gSelectFile(const char* bpFileId, char* bpSW, char* bpResp, char* bpMsg) {
    // P3 stays 02: the identifier is sent as given.
    return FixedApdu("A4", "02", bpFileId, bpSW, bpResp, bpMsg);
}

}  // extern "C"
