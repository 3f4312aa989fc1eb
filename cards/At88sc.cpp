// AT88SC101/102/103/1604 secure-memory cards: security code, erase and
// personalisation, each one session command without reply data.
#include "cards/MemoryCard.h"
#include "qd500dll.h"
#include "reader/Texts.h"

using namespace qd500;

extern "C" {

QD500_API short QD500_CALL gMemAT88SC_VerifyPin(char* bpAddrH, char* bpAddrL, char* bpPin, char* bpMsg) {
    FrameBody body("56");
    body.Text(bpAddrH).Text(bpAddrL).Hex2(CodeByteCount(bpPin)).Text(bpPin);
    return RunSessionCommand(body, {text::kVerifyPinError, text::kCommTimeout}, bpMsg).result;
}

QD500_API short QD500_CALL gMemAT88SC_EraseData(char* bpAddrH, char* bpAddrL, short nLen, char* bpMsg) {
    FrameBody body("45");
    body.Text(bpAddrH).Text(bpAddrL).Hex2(nLen);
    return RunSessionCommand(body, {text::kEraseError, text::kCommTimeout}, bpMsg).result;
}

QD500_API short QD500_CALL gMemAT88SC_PersonalTake(char* bpAddrH, char* bpAddrL, char* bpMsg) {
    FrameBody body("46");
    body.Text(bpAddrH).Text(bpAddrL);
    return RunSessionCommand(body, {text::kPersonaliseError, text::kCommTimeout}, bpMsg).result;
}

}  // extern "C"
