// AT24Cxx EEPROM cards in one call on a port of their own: select the device,
// select the card type, power on, read or write, power off. The calls write
// the session's closed flag, which callers rely on: after a failed call every
// session command is refused until gOpenComIC succeeds again, and a call whose
// port cannot be opened lifts that refusal.
#include <memory>

#include "cards/MemoryCard.h"
#include "qd500dll.h"
#include "reader/Texts.h"

using namespace qd500;

namespace {

// Whatever AT24 card sits in the reader, it is driven as an AT24C16.
constexpr char kAt24CardType[] = "AT24C16";

enum class Direction { Read, Write };

struct Step {
    FrameBody body;
    CommandTexts texts;
};

constexpr int kSteps = 5;
constexpr int kDataStep = 3;
constexpr int kPowerOffStep = 4;

// The five bodies with their texts. Built, and so checked, before the port
// is opened.
void BuildSteps(Step (&steps)[kSteps], Direction dir, int deviceNo, const FrameBody& dataBody) {
    const bool read = dir == Direction::Read;
    char cardType[5] = {};
    CardTypeCode(cardType, kAt24CardType);

    steps[0].body = FrameBody("25");
    steps[0].body.Hex2(deviceNo);
    steps[0].texts = {read ? text::kSetInterfaceError : text::kSetInterfaceSendError, text::kSetInterfaceTimeout};
    steps[1] = {FrameBody(cardType), {text::kSendComErr, text::kSetCardTypeTimeout}};
    steps[2] = {FrameBody("55"), {text::kSendComErr, read ? text::kPowerOnTimeoutRead : text::kPowerOnTimeoutWrite}};
    steps[3] = {dataBody, {text::kSendComErr, read ? text::kReadDataTimeout : text::kWriteDataTimeout}};
    steps[4] = {FrameBody("44"), {text::kSendComErr, read ? text::kPowerOffTimeoutRead : text::kPowerOffTimeoutWrite}};
}

bool StepsAccepted(const Step (&steps)[kSteps]) {
    for (const Step& step : steps) {
        if (!step.body.ok()) return false;
    }
    return true;
}

// Runs the steps on a private port; bpData, for a read, receives the data
// field of the read reply.
short RunOneShot(Direction dir, int nPort, const Step (&steps)[kSteps], char cTimeOut, unsigned char* bpData,
                 char* bpMsg) {
    std::unique_ptr<CComPort> port(OpenReaderPort(nPort));
    if (!port) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        g_nPortClosed = 0;
        return -1;
    }
    // A stored 200 means 200 seconds, as everywhere else.
    const uint8_t timeoutSec = static_cast<uint8_t>(cTimeOut);
    for (int i = 0; i < kSteps; ++i) {
        Outcome out = Exchange(*port, timeoutSec, steps[i].body, steps[i].texts, bpMsg);
        if (!out.parsed) {
            g_nPortClosed = 1;
            return -1;
        }
        const bool ok = out.reply.Succeeded();
        const short result = out.result;
        if (i == kPowerOffStep) {
            // The read's data is already delivered; only a write that may not
            // have reached the card blocks the session.
            if (dir == Direction::Write && !ok) g_nPortClosed = 1;
            return result;
        }
        if (!ok) {
            g_nPortClosed = 1;
            return result;
        }
        if (i == kDataStep && dir == Direction::Read) CopyDataBytes(out.reply, bpData);
    }
    return -1;  // not reached: the power-off step always returns
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gAppMemAT24_ReadData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL,
                                                short nLen, char* bpData, char cTimeOut, char* bpMsg) {
    FrameBody readBody("52");
    readBody.Text(bpAddrH).Text(bpAddrL).Hex2(nLen);
    Step steps[kSteps];
    BuildSteps(steps, Direction::Read, nDeviceNo, readBody);
    if (!StepsAccepted(steps)) return RefuseParameters(bpMsg);

    if (bpData) bpData[0] = '\0';
    WriteMessage(bpMsg, "");
    return RunOneShot(Direction::Read, nPort, steps, cTimeOut, reinterpret_cast<unsigned char*>(bpData), bpMsg);
}

QD500_API short QD500_CALL gAppMemAT24_WriteData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL,
                                                 char* bpData, char cTimeOut, char* bpMsg) {
    // A zero byte ends the data: it cannot be written.
    int count = WriteDataCount(bpData);
    if (count < 0) return RefuseParameters(bpMsg);
    FrameBody writeBody("57");
    writeBody.Text(bpAddrH).Text(bpAddrL).Hex2(count).HexBytes(reinterpret_cast<const unsigned char*>(bpData), count);
    Step steps[kSteps];
    BuildSteps(steps, Direction::Write, nDeviceNo, writeBody);
    if (!StepsAccepted(steps)) return RefuseParameters(bpMsg);

    WriteMessage(bpMsg, "");
    return RunOneShot(Direction::Write, nPort, steps, cTimeOut, nullptr, bpMsg);
}

}  // extern "C"
