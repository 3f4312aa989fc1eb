// CPU cards: the APDU exchange with its automatic GET RESPONSE, the card
// data, PIN and file commands, and the file-system personalisation.
#include <cstring>

#include "cards/CpuCard.h"
#include "cards/MemoryCard.h"
#include "exports/Flat.h"
#include "qd500dll.h"

using namespace qd500;

namespace {

constexpr int kFieldSize = 3;

void Empty(char* text) {
    if (text) text[0] = '\0';
}

// The course every APDU export shares: the session check, data too long for
// the command refused, bpResp and bpMsg emptied, the exchanges, and the last
// answer delivered: its response in bpResp (empty when the reply carried
// none) and its status word in bpSW (left alone when it carried none, so that
// an old word is never taken for a new one).
template <typename Run>
short ApduCall(const char* data, char* bpSW, char* bpResp, char* bpMsg, Run run, CardAnswer* last = nullptr) {
    if (!SessionCheck(bpMsg)) return -1;
    if (!data || strnlen(data, kMaxApduDataChars + 1) > static_cast<size_t>(kMaxApduDataChars))
        return RefuseParameters(bpMsg);
    Empty(bpResp);
    WriteMessage(bpMsg, "");
    CardAnswer answer = run(SessionReader());
    short result = Report(answer.out, kUsualTexts, bpMsg);
    if (answer.swTaken) {
        if (bpResp) std::memcpy(bpResp, answer.resp, static_cast<size_t>(answer.respChars) + 1);
        if (bpSW) std::memcpy(bpSW, answer.sw, kSwChars + 1);
    }
    if (last) *last = answer;
    return result;
}

short FixedApdu(const char* ins, const char* p3, const char* data, char* bpSW, char* bpResp, char* bpMsg) {
    ApduText apdu = ApduText::Of("00", ins, "00", "00", p3, data);
    return ApduCall(data, bpSW, bpResp, bpMsg, [&](CardReader& r) { return CardCommand(r, apdu); });
}

short Personalising(Personalisation step, const char* data, char* bpSW, char* bpResp, char* bpMsg,
                    CardAnswer* last = nullptr) {
    return ApduCall(
        data, bpSW, bpResp, bpMsg, [&](CardReader& r) { return Personalise(r, step, data); }, last);
}

// The steps whose Lc is the byte count of bpIn. Odd-length input, of any
// length, is answered with 0 and nothing else.
short PersonaliseMeasured(Personalisation step, const char* bpIn, char* bpSW, char* bpResp, char* bpMsg) {
    if (bpIn && std::strlen(bpIn) % 2 != 0) return 0;
    return Personalising(step, bpIn, bpSW, bpResp, bpMsg);
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gCPUCommand(const char* bpApdu, char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    // The record: five fields of two characters and a NUL, then the data.
    // Each field is read up to its NUL but never into the next field.
    const char* data = bpApdu ? bpApdu + 5 * kFieldSize : nullptr;
    ApduText apdu;
    if (bpApdu) apdu = ApduText::Of(bpApdu, bpApdu + 3, bpApdu + 6, bpApdu + 9, bpApdu + 12, data);
    return ApduCall(data, bpSW, bpResp, bpMsg, [&](CardReader& r) { return CardCommand(r, apdu); });
}

QD500_API short QD500_CALL gCPUGetResponse(short nLe, char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    if (!SessionCheck(bpMsg)) return -1;
    // Out of range: -1 and an empty message.
    if (nLe < 0 || nLe > 256) {
        Empty(bpResp);
        WriteMessage(bpMsg, "");
        return -1;
    }
    return ApduCall("", bpSW, bpResp, bpMsg, [&](CardReader& r) { return GetResponse(r, nLe); });
}

QD500_API short QD500_CALL gCard_ReadData(const char* bpAddrH, const char* bpAddrL, short nLen, char* bpData,
                                          char* bpMsg) {
    FlatLock lock(FlatMutex());
    short result;
    Outcome out = RunSessionCommand(ReadDataBody({bpAddrH, bpAddrL}, nLen), {text::kSendComErr, text::kReadDataTimeout},
                                    bpMsg, &result);
    // Taken whatever the status says; at most 128 bytes and a zero byte.
    if (out.answered()) CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpData));
    return result;
}

QD500_API short QD500_CALL gCard_WriteData(const char* bpAddrH, const char* bpAddrL, const char* bpData, char* bpMsg,
                                           short nLen) {
    FlatLock lock(FlatMutex());
    if (!SessionCheck(bpMsg)) return -1;
    if (nLen > kMaxWriteBytes) return RefuseParameters(bpMsg);
    FrameBody body = WriteDataBody({bpAddrH, bpAddrL}, reinterpret_cast<const unsigned char*>(bpData), nLen);
    return SessionCommand(body, {text::kSendComErr, text::kWriteDataTimeout}, bpMsg);
}

QD500_API short QD500_CALL gCheck_Pin(const char* bpPin, const char* bpPinLen, const char* bpPinRef, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(CheckPinBody(bpPin, bpPinLen, bpPinRef), {text::kVerifyPinError, text::kCommTimeout}, bpMsg);
}

QD500_API short QD500_CALL gGetChallenge(char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return FixedApdu("84", "04", "", bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL gSelectFile(const char* bpFileId, char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    // P3 stays 02: the identifier is sent as given.
    return FixedApdu("A4", "02", bpFileId, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUDeleteMF(char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    CardAnswer answer;
    if (Personalising(Personalisation::DeleteMf, "", bpSW, bpResp, bpMsg, &answer) == -1) return 0;
    // 6A81: there was no MF to erase, which leaves the card as wanted.
    return (answer.SwIs("9000") || answer.SwIs("6A81")) ? 1 : 0;
}

QD500_API short QD500_CALL MW_CPUCreateMF(char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return Personalising(Personalisation::CreateMf, "", bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateEndMF(char* bpSW, char* bpResp, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return Personalising(Personalisation::EndMf, "", bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    FlatLock lock(FlatMutex());
    return PersonaliseMeasured(Personalisation::CreateDf, bpIn, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateEndDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId) {
    FlatLock lock(FlatMutex());
    return Personalising(Personalisation::EndDf, bpFileId, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    FlatLock lock(FlatMutex());
    return Personalising(Personalisation::CreateFile, bpIn, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUSelectFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId) {
    FlatLock lock(FlatMutex());
    return Personalising(Personalisation::SelectFile, bpFileId, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUWriteKey(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    FlatLock lock(FlatMutex());
    return PersonaliseMeasured(Personalisation::WriteKey, bpIn, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUWriteBin(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    FlatLock lock(FlatMutex());
    return PersonaliseMeasured(Personalisation::WriteBinary, bpIn, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUAppendRecord(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    FlatLock lock(FlatMutex());
    return PersonaliseMeasured(Personalisation::AppendRecord, bpIn, bpSW, bpResp, bpMsg);
}

}  // extern "C"
