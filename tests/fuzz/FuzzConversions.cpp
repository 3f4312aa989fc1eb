// The hex conversions and the DES engine's text wrappers on hostile texts:
// every input is an exact-size heap copy and every output exactly its stated
// size, so the sanitizers see any read or write past them.
#include <cstring>
#include <memory>

#include "crypto/Des.h"
#include "fuzz/FuzzInput.h"
#include "qd500dll.h"

using namespace qd500::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto chunks = SplitChunks(data, size, 4);
    if (chunks.empty()) return 0;
    ParamReader params(chunks[0].bytes);
    ExactText a(params.Text(2048));
    ExactText b(params.Text(64));
    short count = params.Short();

    // gCompressAsc: (count + 1) / 2 + 1 bytes of output.
    int n = count > 0 ? count : 0;
    auto bytes = std::make_unique<unsigned char[]>(static_cast<size_t>((n + 1) / 2 + 1));
    gCompressAsc(a.get(), count, bytes.get());

    // gSplitBcd: 2 * count + 1 characters of output from count bytes of input.
    short split = static_cast<short>(n > 1024 ? 1024 : n);
    auto raw = std::make_unique<unsigned char[]>(static_cast<size_t>(split) + 1);
    std::memset(raw.get(), 0xA5, static_cast<size_t>(split) + 1);
    auto hex = std::make_unique<char[]>(static_cast<size_t>(2 * split + 1));
    gSplitBcd(raw.get(), split, hex.get());

    char* x = gAscXor(a.get(), b.get());
    if (std::strlen(x) != 16) __builtin_trap();

    auto out17 = std::make_unique<char[]>(17);
    gAscTriDes(a.get(), b.get(), out17.get());
    auto out33 = std::make_unique<char[]>(33);
    gAscDiversity(a.get(), b.get(), out33.get());
    if (std::strlen(out33.get()) != 32) __builtin_trap();

    qd500::CDes des;
    int len = params.Byte() % 64;
    auto bin = std::make_unique<unsigned char[]>(static_cast<size_t>(len) + 1);
    qd500::CDes::HexToBin(bin.get(), a.get(), len);
    des.EncryptHex(a.get(), b.get());
    des.DecryptHex(b.get(), a.get());
    des.PinEncryptHex(a.get(), b.get(), a.get());
    des.PinDecryptHex(b.get(), a.get(), b.get());
    des.PinEncrypt(a.get(), b.get(), des.m_byKey);
    return 0;
}
