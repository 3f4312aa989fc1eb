// SLE4418/4428/4432/4442 protected-memory cards: protection bits, data with
// protection bits, compared writes and the PIN, each one session command.
#include "cards/MemoryCard.h"
#include "qd500dll.h"
#include "reader/Texts.h"

using namespace qd500;

namespace {

constexpr CommandTexts kReadTexts{text::kSendComErr, text::kReadDataTimeout};
constexpr CommandTexts kWriteTexts{text::kSendComErr, text::kWriteDataTimeout};
constexpr CommandTexts kPinTexts{text::kVerifyPinError, text::kCommTimeout};

// The data field goes to bpData whatever the status says; a refusal usually
// carries none, which leaves bpData empty. Before a reply header bpData keeps
// what the caller put there.
short ReadCommand(const FrameBody& body, char* bpData, char* bpMsg) {
    Outcome out = RunSessionCommand(body, kReadTexts, bpMsg);
    if (out.parsed) CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpData));
    return out.result;
}

short WriteCommand(const char* code, const char* bpAddrH, const char* bpAddrL, const char* bpData, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    // A zero byte ends the data: it cannot be written.
    int count = WriteDataCount(bpData);
    if (count < 0) return RefuseParameters(bpMsg);
    FrameBody body(code);
    body.Text(bpAddrH).Text(bpAddrL).Hex2(count).HexBytes(reinterpret_cast<const unsigned char*>(bpData), count);
    return SessionExchange(body, kWriteTexts, bpMsg).result;
}

short PinCommand(const char* code, const char* bpPin, char* bpMsg) {
    FrameBody body(code);
    body.Text("0000").Hex2(CodeByteCount(bpPin)).Text(bpPin);
    return RunSessionCommand(body, kPinTexts, bpMsg).result;
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gMemS4442_ReadGuardbit(char* bpAddr, short nLen, char* bpData, char* bpMsg) {
    FrameBody body("5000");
    body.Text(bpAddr).Hex2(nLen);
    return ReadCommand(body, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS4428_GuardbitRData(char* bpAddrH, char* bpAddrL, short nLen, char* bpData,
                                                   char* bpMsg) {
    FrameBody body("72");
    body.Text(bpAddrH).Text(bpAddrL).Hex2(nLen);
    return ReadCommand(body, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS4428_GuardbitWData(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg) {
    return WriteCommand("77", bpAddrH, bpAddrL, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS44_CompDataWrite(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg) {
    return WriteCommand("76", bpAddrH, bpAddrL, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS44_VerifyPin(char* bpPin, char* bpMsg) { return PinCommand("56", bpPin, bpMsg); }

QD500_API short QD500_CALL gMemS44_ChangePin(char* bpPin, char* bpMsg) { return PinCommand("53", bpPin, bpMsg); }

}  // extern "C"
