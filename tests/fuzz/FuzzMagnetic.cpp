// The magnetic-stripe exchanges and the head setting, fed by the fuzzer.
#include "fuzz/FuzzHarness.h"

using namespace qd500::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto chunks = SplitChunks(data, size);
    if (chunks.empty()) return 0;
    FuzzLine fuzzLine(chunks);
    auto& line = fuzzLine.port;
    ParamReader params(chunks[0].bytes);
    uint8_t which = params.Byte();
    short mode = params.Byte() % 3;
    gSetTimeOutIC(static_cast<char>(params.Byte() % 4));
    ExactText t2(params.Text(300));
    ExactText t3(params.Text(300));
    Out track2(1025), track3(1025), msg(32);
    char closeMsg[32];
    switch (which % 7) {
        case 0:
            gMagCard_ReadData2(4, track2.get(), msg.get());
            break;
        case 1:
            gMagCard_ReadData3(4, track3.get(), msg.get());
            break;
        case 2:
            gMagCard_ReadData23(4, track2.get(), track3.get(), msg.get());
            break;
        case 3:
            gMagCard_WriteData2(4, t2.get(), msg.get(), mode);
            break;
        case 4:
            gMagCard_WriteData3(4, t3.get(), msg.get(), mode);
            break;
        case 5:
            gMagCard_WriteData23(4, t2.get(), t3.get(), msg.get(), mode);
            break;
        default:
            if (gOpenComIC(4, closeMsg) == 0) {
                gSet_Li_MSRA(static_cast<char>(mode + 'A'), msg.get());
                gCloseComIC(closeMsg);
            }
    }
    msg.CheckText();
    if (line.open) __builtin_trap();  // every path releases the private port
    gSetTimeOutIC(10);
    return 0;
}
