// The triple-DES, XOR and key-diversity exports of the flat interface, on
// bytes and on hex text.
#include "crypto/Des.h"
#include "qd500dll.h"
#include "reader/Protocol.h"

namespace {

// The result buffer of gAscXor: callers keep the pointer it returns. One per
// thread, so that two threads never read each other's result.
thread_local char g_szXorResult[17];

}  // namespace

extern "C" {

QD500_API void QD500_CALL gTriDes(const unsigned char* bpData, const unsigned char* bpKey, unsigned char* bpOut) {
    if (!bpData || !bpKey || !bpOut) return;
    qd500::TripleDes(bpData, bpKey, bpOut, false);
    bpOut[8] = 0;
}

QD500_API short QD500_CALL gAscTriDes(const char* bpData, const char* bpKey, char* bpOut) {
    if (!bpOut) return 0;
    unsigned char block[9];
    unsigned char key[17];
    unsigned char result[9];
    gCompressAsc(bpData, 16, block);
    gCompressAsc(bpKey, 32, key);
    gTriDes(block, key, result);
    gSplitBcd(result, 8, bpOut);
    return 0;
}

QD500_API char* QD500_CALL gAscXor(const char* bpData, const char* bpData2) {
    // Both texts are read as gAscTriDes reads its data: a text of fewer than
    // 16 digits stands right-aligned (what it lacks reads as leading zeros),
    // so gAscDiversity complements exactly the block it encrypts.
    unsigned char a[9];
    unsigned char b[9];
    qd500::CompressHex(bpData, 16, a, sizeof a);
    qd500::CompressHex(bpData2, 16, b, sizeof b);
    for (int i = 0; i < 8; ++i) a[i] ^= b[i];
    qd500::SplitHex(a, 8, g_szXorResult, sizeof g_szXorResult);
    return g_szXorResult;
}

QD500_API short QD500_CALL gAscDiversity(const char* bpData, const char* bpKey, char* bpOut) {
    if (!bpOut) return 0;
    gAscTriDes(bpData, bpKey, bpOut);
    const char* complement = gAscXor(bpData, "FFFFFFFFFFFFFFFF");
    gAscTriDes(complement, bpKey, bpOut + 16);
    return 0;
}

}  // extern "C"
