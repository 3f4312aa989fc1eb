// Reader control: card type, card power, device state, eject, device number
// and firmware version.
#include <cstring>

#include "cards/CardTypes.h"
#include "exports/Flat.h"
#include "qd500dll.h"
#include "reader/FrameBodies.h"

using namespace qd500;

namespace {

// The answer to reset may fill the whole data field of a reply (LL FF).
constexpr int kMaxAtrChars = 2 * 255 - 4;

}  // namespace

extern "C" {

QD500_API short QD500_CALL gSetCardType(const char* bpCardType, char* bpMsg) {
    FlatLock lock(FlatMutex());
    WriteMessage(bpMsg, "");
    if (!SessionCheck(bpMsg)) return -1;
    if (!bpCardType) return RefuseParameters(bpMsg);
    // A name outside the table leaves the code empty: the reader then gets an
    // empty body and answers for itself.
    char code[5] = {};
    CardTypeCode(code, bpCardType);
    return SessionCommand(SelectCardBody(code), {text::kSetCardTypeError, text::kCommTimeout}, bpMsg);
}

QD500_API short QD500_CALL gCardPowerOn(char* bpAtr, char* bpMsg) {
    FlatLock lock(FlatMutex());
    if (!SessionCheck(bpMsg)) return -1;
    WriteMessage(bpMsg, "");
    short result;
    Outcome out = RunSessionCommand(PowerOnBody(), kUsualTexts, bpMsg, &result);
    // The answer to reset is taken whatever the status says.
    if (out.answered()) CopyDataText(out.reply, bpAtr, kMaxAtrChars);
    return result;
}

QD500_API short QD500_CALL gCardPowerDown(char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(PowerOffBody(), kUsualTexts, bpMsg);
}

QD500_API short QD500_CALL gGetDeviceStatus(char* bpState1, char* bpState2, char* bpState3, char* bpMsg) {
    FlatLock lock(FlatMutex());
    short result;
    Outcome out = RunSessionCommand(DeviceStatusBody(), kUsualTexts, bpMsg, &result);
    if (!out.answered()) return result;
    // The three fields follow the status code whatever it says.
    StateField fields[3];
    StateFields(out.reply, fields);
    char* states[3] = {bpState1, bpState2, bpState3};
    for (int i = 0; i < 3; ++i)
        if (states[i]) std::memcpy(states[i], fields[i].text, static_cast<size_t>(fields[i].length) + 1);
    return result;
}

QD500_API short QD500_CALL gOutCard(char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(EjectBody(), kUsualTexts, bpMsg);
}

QD500_API short QD500_CALL gSetDeviceNo(short nDeviceNo, char* bpMsg) {
    FlatLock lock(FlatMutex());
    // Decimal on purpose: 10 goes out as 2510. Numbers beyond two digits are refused.
    return SessionCommand(DeviceNumberBody(nDeviceNo), {text::kSetInterfaceSendError, text::kCommTimeout}, bpMsg);
}

QD500_API short QD500_CALL gGetDeviceVersion(char* bpVersion, char* bpMsg) {
    FlatLock lock(FlatMutex());
    if (!SessionCheck(bpMsg)) return -1;
    if (bpVersion) bpVersion[0] = '\0';
    WriteMessage(bpMsg, "");
    short result;
    Outcome out = RunSessionCommand(VersionBody(), kUsualTexts, bpMsg, &result);
    if (!out.answered()) return -1;
    // Any status but success is a failure here; its text is already in bpMsg.
    if (!out.reply.Succeeded()) return -1;
    CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpVersion));
    return 0;
}

}  // extern "C"
