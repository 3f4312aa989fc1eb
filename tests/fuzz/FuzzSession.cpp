// Every session command family, and the AT24 one-shot calls, fed by the
// fuzzer: parameters from the first chunk, the reader's answers from the rest.
#include <algorithm>

#include "fuzz/FuzzHarness.h"

using namespace qd500::fuzz;

namespace {

struct Call {
    ExactText a, b, c;
    short n;
    char t;
    Out data{1025}, resp{503}, sw{5}, atr{507}, msg{32}, s1{3}, s2{3}, s3{3}, version{129}, mem{129};
    short len = 0;
};

using Command = void (*)(Call&);

const Command kSessionCommands[] = {
    [](Call& c) {
        gMemS4442_ReadGuardbit(c.a.get(), c.n, c.mem.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemS4428_GuardbitRData(c.a.get(), c.b.get(), c.n, c.mem.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemS4428_GuardbitWData(c.a.get(), c.b.get(), c.c.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemS44_CompDataWrite(c.a.get(), c.b.get(), c.c.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemS44_VerifyPin(c.a.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemS44_ChangePin(c.a.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemAT88SC_VerifyPin(c.a.get(), c.b.get(), c.c.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemAT88SC_EraseData(c.a.get(), c.b.get(), c.n, c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gMemAT88SC_PersonalTake(c.a.get(), c.b.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gSetCardType(c.a.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        c.atr.get()[0] = '\0';  // left as it is when no reply is parsed
        gCardPowerOn(c.atr.get(), c.msg.get());
        c.msg.CheckText();
        c.atr.CheckText();
    },
    [](Call& c) {
        gCardPowerDown(c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gGetDeviceStatus(c.s1.get(), c.s2.get(), c.s3.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gOutCard(c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gSetDeviceNo(c.n, c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gGetDeviceVersion(c.version.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        // The APDU record: five 3-byte fields from the first text, then data.
        std::string rec(15, '\0');
        std::memcpy(&rec[0], c.a.get(), std::min<size_t>(15, std::strlen(c.a.get())));
        rec += c.b.get();
        gCPUCommand(rec.c_str(), c.sw.get(), c.resp.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gCPUGetResponse(c.n, c.sw.get(), c.resp.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gCard_ReadData(c.a.get(), c.b.get(), c.n, c.mem.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        short n = static_cast<short>(std::min<size_t>(std::strlen(c.c.get()), static_cast<size_t>(c.n < 0 ? 0 : c.n)));
        gCard_WriteData(c.a.get(), c.b.get(), c.c.get(), c.msg.get(), n);
        c.msg.CheckText();
    },
    [](Call& c) {
        gCheck_Pin(c.a.get(), c.b.get(), c.c.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gGetChallenge(c.sw.get(), c.resp.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gSelectFile(c.a.get(), c.sw.get(), c.resp.get(), c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) { MW_CPUDeleteMF(c.sw.get(), c.resp.get(), c.msg.get()); },
    [](Call& c) { MW_CPUCreateMF(c.sw.get(), c.resp.get(), c.msg.get()); },
    [](Call& c) { MW_CPUCreateEndMF(c.sw.get(), c.resp.get(), c.msg.get()); },
    [](Call& c) { MW_CPUCreateDF(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUCreateEndDF(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUCreateFile(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUSelectFile(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUWriteKey(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUWriteBin(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) { MW_CPUAppendRecord(c.sw.get(), c.resp.get(), c.msg.get(), c.a.get()); },
    [](Call& c) {
        sReadByEndChar(0x03, c.t, c.data.get(), &c.len);
        c.data.CheckText();
    },
    [](Call& c) {
        sReadByLen(c.n, c.t, c.data.get(), &c.len);
        c.data.CheckText();
    },
    [](Call& c) {
        sAsynReadNomal(c.data.get(), &c.len);
        c.data.CheckText();
    },
    [](Call& c) { AsynSendData(c.a.get(), static_cast<short>(std::strlen(c.a.get()))); },
};

const Command kOneShotCommands[] = {
    [](Call& c) {
        gAppMemAT24_ReadData(4, c.n, c.a.get(), c.b.get(), c.n, c.mem.get(), c.t, c.msg.get());
        c.msg.CheckText();
    },
    [](Call& c) {
        gAppMemAT24_WriteData(4, c.n, c.a.get(), c.b.get(), c.c.get(), c.t, c.msg.get());
        c.msg.CheckText();
    },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto chunks = SplitChunks(data, size);
    if (chunks.empty()) return 0;
    FuzzLine fuzzLine(chunks);
    auto& line = fuzzLine.port;
    ParamReader params(chunks[0].bytes);
    uint8_t which = params.Byte();
    char timeout = static_cast<char>(params.Byte() % 4);
    short n = params.Short();
    Call call{ExactText(params.Text()), ExactText(params.Text()), ExactText(params.Text()), n, timeout};
    gSetTimeOutIC(timeout);

    constexpr size_t kSession = sizeof kSessionCommands / sizeof kSessionCommands[0];
    constexpr size_t kOneShot = sizeof kOneShotCommands / sizeof kOneShotCommands[0];
    size_t pick = which % (kSession + kOneShot);
    char closeMsg[32];
    if (pick < kSession) {
        if (gOpenComIC(4, closeMsg) != 0) __builtin_trap();
        kSessionCommands[pick](call);
        gCloseComIC(closeMsg);
    } else {
        kOneShotCommands[pick - kSession](call);
        if (line.open) __builtin_trap();  // the private port is always released
    }
    gSetTimeOutIC(10);
    return 0;
}
