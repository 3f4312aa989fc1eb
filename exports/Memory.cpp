// Memory cards: SLE4418/4428/4432/4442 protected memory and AT88SC secure
// memory on the session, and AT24Cxx EEPROM cards in one-shot calls on a
// port of their own.
#include <cstring>

#include "cards/CardTypes.h"
#include "cards/MemoryCard.h"
#include "exports/Flat.h"
#include "qd500dll.h"

using namespace qd500;

namespace {

constexpr CommandTexts kReadTexts{text::kSendComErr, text::kReadDataTimeout};
constexpr CommandTexts kWriteTexts{text::kSendComErr, text::kWriteDataTimeout};
constexpr CommandTexts kPinTexts{text::kVerifyPinError, text::kCommTimeout};

// Bytes of a zero-terminated write buffer before its first zero byte; -1 for
// a missing buffer or more than the frame can carry. Never looks past the
// byte after the limit.
int WriteDataCount(const char* data) {
    if (!data) return -1;
    size_t n = strnlen(data, kMaxWriteBytes + 1);
    return n > static_cast<size_t>(kMaxWriteBytes) ? -1 : static_cast<int>(n);
}

const unsigned char* Bytes(const char* data) { return reinterpret_cast<const unsigned char*>(data); }

// The data field goes to bpData whatever the status says; a refusal usually
// carries none, which leaves bpData empty. Before a reply header bpData keeps
// what the caller put there.
short ReadCommand(const FrameBody& body, char* bpData, char* bpMsg) {
    short result;
    Outcome out = RunSessionCommand(body, kReadTexts, bpMsg, &result);
    if (out.answered()) CopyDataBytes(out.reply, reinterpret_cast<unsigned char*>(bpData));
    return result;
}

// The SLE44xx writes take their data as a zero-terminated byte string: a
// zero byte ends the data, it cannot be written.
using WriteBody = FrameBody (*)(Address, const unsigned char*, int);
short WriteCommand(WriteBody make, char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    int count = WriteDataCount(bpData);
    if (count < 0) return RefuseParameters(bpMsg);
    return SessionCommand(make({bpAddrH, bpAddrL}, Bytes(bpData), count), kWriteTexts, bpMsg);
}

// ---- AT24 one-shot calls ----
// They write the session's closed flag, which callers rely on: after a
// failed call every session command is refused until gOpenComIC succeeds
// again, and a call whose port cannot be opened lifts that refusal.

// Whatever AT24 card sits in the reader, it is driven as an AT24C16.
constexpr char kAt24CardType[] = "AT24C16";

enum class Direction { Read, Write };

// The texts each step reports with: its failure, and its time-out.
CommandTexts StepTexts(At24Steps::Step step, Direction dir) {
    const bool read = dir == Direction::Read;
    switch (step) {
        case At24Steps::Device:
            return {read ? text::kSetInterfaceError : text::kSetInterfaceSendError, text::kSetInterfaceTimeout};
        case At24Steps::CardType:
            return {text::kSendComErr, text::kSetCardTypeTimeout};
        case At24Steps::PowerOn:
            return {text::kSendComErr, read ? text::kPowerOnTimeoutRead : text::kPowerOnTimeoutWrite};
        case At24Steps::Data:
            return {text::kSendComErr, read ? text::kReadDataTimeout : text::kWriteDataTimeout};
        default:
            return {text::kSendComErr, read ? text::kPowerOffTimeoutRead : text::kPowerOffTimeoutWrite};
    }
}

// The sequence's steps, built (and so checked) before the port is opened.
At24Steps BuildSteps(int deviceNo, const FrameBody& dataBody) {
    char cardType[5] = {};
    CardTypeCode(cardType, kAt24CardType);
    return BuildAt24Steps(deviceNo, cardType, dataBody);
}

// Runs the steps on a private port; bpData, for a read, receives the data
// field of the read reply.
short RunOneShot(Direction dir, int nPort, const At24Steps& steps, char cTimeOut, unsigned char* bpData, char* bpMsg) {
    CardReader port;
    PrepareFlatReader(port);
    if (!port.OpenPort(nPort)) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        g_nPortClosed = 0;
        return -1;
    }
    // A stored 200 means 200 seconds, as everywhere else.
    port.SetTimeoutMs(static_cast<uint8_t>(cTimeOut) * 1000u);
    short result = -1;
    RunAt24(
        port, steps,
        [&](At24Steps::Step step, const Outcome& out) {
            result = Report(out, StepTexts(step, dir), bpMsg);
            if (!out.answered()) {
                result = -1;
                g_nPortClosed = 1;
                return false;
            }
            const bool ok = out.reply.Succeeded();
            if (step == At24Steps::PowerOff) {
                // The read's data is already delivered; only a write that may
                // not have reached the card blocks the session.
                if (dir == Direction::Write && !ok) g_nPortClosed = 1;
                return ok;
            }
            if (!ok) {
                g_nPortClosed = 1;
                return false;
            }
            if (step == At24Steps::Data && dir == Direction::Read) CopyDataBytes(out.reply, bpData);
            return true;
        },
        nullptr, false);
    return result;
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gMemS4442_ReadGuardbit(char* bpAddr, short nLen, char* bpData, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return ReadCommand(Sle4442ProtectionBody(bpAddr, nLen), bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS4428_GuardbitRData(char* bpAddrH, char* bpAddrL, short nLen, char* bpData,
                                                   char* bpMsg) {
    FlatLock lock(FlatMutex());
    return ReadCommand(Sle4428ReadBody({bpAddrH, bpAddrL}, nLen), bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS4428_GuardbitWData(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return WriteCommand(Sle4428ProtectBody, bpAddrH, bpAddrL, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS44_CompDataWrite(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return WriteCommand(CompareWriteBody, bpAddrH, bpAddrL, bpData, bpMsg);
}

QD500_API short QD500_CALL gMemS44_VerifyPin(char* bpPin, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(PresentCodeBody(bpPin), kPinTexts, bpMsg);
}

QD500_API short QD500_CALL gMemS44_ChangePin(char* bpPin, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(ChangeCodeBody(bpPin), kPinTexts, bpMsg);
}

QD500_API short QD500_CALL gMemAT88SC_VerifyPin(char* bpAddrH, char* bpAddrL, char* bpPin, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(At88VerifyBody({bpAddrH, bpAddrL}, bpPin), kPinTexts, bpMsg);
}

QD500_API short QD500_CALL gMemAT88SC_EraseData(char* bpAddrH, char* bpAddrL, short nLen, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(At88EraseBody({bpAddrH, bpAddrL}, nLen), {text::kEraseError, text::kCommTimeout}, bpMsg);
}

QD500_API short QD500_CALL gMemAT88SC_PersonalTake(char* bpAddrH, char* bpAddrL, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return SessionCommand(At88PersonaliseBody({bpAddrH, bpAddrL}), {text::kPersonaliseError, text::kCommTimeout},
                          bpMsg);
}

QD500_API short QD500_CALL gAppMemAT24_ReadData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL, short nLen,
                                                char* bpData, char cTimeOut, char* bpMsg) {
    FlatLock lock(FlatMutex());
    At24Steps steps = BuildSteps(nDeviceNo, ReadDataBody({bpAddrH, bpAddrL}, nLen));
    if (!steps.ok()) return RefuseParameters(bpMsg);

    if (bpData) bpData[0] = '\0';
    WriteMessage(bpMsg, "");
    return RunOneShot(Direction::Read, nPort, steps, cTimeOut, reinterpret_cast<unsigned char*>(bpData), bpMsg);
}

QD500_API short QD500_CALL gAppMemAT24_WriteData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL,
                                                 char* bpData, char cTimeOut, char* bpMsg) {
    FlatLock lock(FlatMutex());
    // A zero byte ends the data: it cannot be written.
    int count = WriteDataCount(bpData);
    if (count < 0) return RefuseParameters(bpMsg);
    At24Steps steps = BuildSteps(nDeviceNo, WriteDataBody({bpAddrH, bpAddrL}, Bytes(bpData), count));
    if (!steps.ok()) return RefuseParameters(bpMsg);

    WriteMessage(bpMsg, "");
    return RunOneShot(Direction::Write, nPort, steps, cTimeOut, nullptr, bpMsg);
}

}  // extern "C"
