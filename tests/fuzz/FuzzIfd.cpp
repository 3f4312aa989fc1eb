// The PC/SC driver's pseudo-APDU parser and control-code input, fed by the
// fuzzer: every input gets a status word or a request that stays inside the
// APDU and inside the card.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ifd/Apdu.h"
#include "ifd/Control.h"

using namespace qd500::ifd;

namespace {

constexpr int kTypes[] = {-1, 0x42, 0x32, 0x28, 0x18, 0x01, 0x05, 0x07, 0x51, 0x54, 0x88, 0x99};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    CardMode mode;
    mode.memory = data[0] & 0x80;
    mode.kind = MemoryKindOf(kTypes[(data[0] & 0x7F) % (sizeof kTypes / sizeof kTypes[0])]);
    // An exact copy, so a read past the APDU is caught.
    std::vector<uint8_t> apdu(data + 2, data + size);
    const uint8_t* begin = apdu.data();
    const Request r = ParseApdu(begin, apdu.size(), mode);
    if (r.data) Check(r.data >= begin && r.data + r.length <= begin + apdu.size());
    switch (r.op) {
        case Op::Answer:
            Check(r.sw >= 0x6300 && r.sw != 0x9000);
            break;
        case Op::Transmit:
            Check(!mode.memory && apdu[0] != 0xFF && apdu.size() >= 4);
            break;
        case Op::SelectType:
            Check(r.type >= 0 && r.type <= 0xFF);
            break;
        case Op::Read:
        case Op::Write:
            Check(mode.kind.type >= 0 && r.length >= 1 && r.length <= 256 && r.address + r.length <= mode.kind.size);
            break;
        case Op::ReadProtection:
        case Op::Protect:
            Check(mode.kind.protectedBytes > 0 && r.address + r.length <= mode.kind.size);
            break;
        case Op::PresentCode:
        case Op::ChangeCode:
            Check(r.length == mode.kind.codeLength && r.length > 0);
            break;
    }
    const Verdict verdict = Judge(r.op, static_cast<int8_t>(data[1]));
    Check(verdict.fault != Fault::None || verdict.sw != 0);

    const ControlRequest c = ParseControl(ControlCode(3400 + data[1] % 110), begin, apdu.size());
    // The texts are the input less the tracks byte, the seconds and the
    // separator (which a one-track write may leave out).
    if (c.op == ControlOp::WriteTracks) {
        const size_t texts = c.text2.size() + c.text3.size();
        Check(texts + 3 == apdu.size() || (texts + 2 == apdu.size() && c.track2 != c.track3));
    }
    if (c.op == ControlOp::ReadTracks) Check(apdu.size() == 2 && (c.track2 || c.track3));
    return 0;
}
