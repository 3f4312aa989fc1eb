// Reader control: card type, card power, device state, eject, device number
// and firmware version. Each command is its body, its two failure texts and
// what it takes from the reply.
#include <cstring>

#include "qd500dll.h"
#include "reader/Protocol.h"
#include "reader/Session.h"
#include "reader/Texts.h"
#include "reader/Transaction.h"

using namespace qd500;

namespace {

// The answer to reset may fill the whole data field of a reply (LL FF).
constexpr int kMaxAtrChars = 2 * 255 - 4;
constexpr int kStateFields = 3;
constexpr int kStateChars = 2;

// A command that takes nothing but the status code from its reply.
short StatusOnly(const char* code, const CommandTexts& texts, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    return SessionExchange(FrameBody(code), texts, bpMsg).result;
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gSetCardType(const char* bpCardType, char* bpMsg) {
    WriteMessage(bpMsg, "");
    if (!SessionCheck(bpMsg)) return -1;
    if (!bpCardType) return RefuseParameters(bpMsg);
    // A name outside the table leaves the code empty: the reader then gets an
    // empty body and answers for itself.
    char code[5] = {};
    CardTypeCode(code, bpCardType);
    return SessionExchange(FrameBody(code), {text::kSetCardTypeError, text::kCommTimeout}, bpMsg).result;
}

QD500_API short QD500_CALL gCardPowerOn(char* bpAtr, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    WriteMessage(bpMsg, "");
    Outcome out = SessionExchange(FrameBody("55"), kUsualTexts, bpMsg);
    // The answer to reset is taken whatever the status says.
    if (out.parsed) CopyDataText(out.reply, bpAtr, kMaxAtrChars);
    return out.result;
}

QD500_API short QD500_CALL gCardPowerDown(char* bpMsg) { return StatusOnly("44", kUsualTexts, bpMsg); }

QD500_API short QD500_CALL gGetDeviceStatus(char* bpState1, char* bpState2, char* bpState3, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    Outcome out = SessionExchange(FrameBody("47"), kUsualTexts, bpMsg);
    if (!out.parsed) return out.result;
    // The three fields follow the status code whatever it says; the length
    // field is not consulted, only what arrived.
    char* states[kStateFields] = {bpState1, bpState2, bpState3};
    for (int i = 0; i < kStateFields; ++i) {
        if (!states[i]) continue;
        int from = i * kStateChars;
        int n = out.reply.tailLen - from;
        if (n > kStateChars) n = kStateChars;
        if (n < 0) n = 0;
        std::memcpy(states[i], out.reply.tail + (n > 0 ? from : 0), static_cast<size_t>(n));
        states[i][n] = '\0';
    }
    return out.result;
}

QD500_API short QD500_CALL gOutCard(char* bpMsg) { return StatusOnly("4F", kUsualTexts, bpMsg); }

QD500_API short QD500_CALL gSetDeviceNo(short nDeviceNo, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    // Decimal on purpose: 10 goes out as 2510. Numbers beyond two digits are refused.
    return SessionExchange(FrameBody("25").Dec2(nDeviceNo), {text::kSetInterfaceSendError, text::kCommTimeout},
                           bpMsg)
        .result;
}

QD500_API short QD500_CALL gGetDeviceVersion(char* bpVersion, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    if (bpVersion) bpVersion[0] = '\0';
    WriteMessage(bpMsg, "");
    Outcome out = SessionExchange(FrameBody("41"), kUsualTexts, bpMsg);
    if (!out.parsed) return -1;
    // Any status but success is a failure here; its text is already in bpMsg.
    if (out.reply.statusEmpty || std::strcmp(out.reply.status, "00") != 0) return -1;
    CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpVersion));
    return 0;
}

}  // extern "C"
