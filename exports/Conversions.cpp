// The hex conversions of the exported interface.
#include "qd500dll.h"
#include "reader/Protocol.h"

using namespace qd500;

extern "C" {

QD500_API void QD500_CALL gSplitBcd(const unsigned char* bpBytes, short nLen, char* bpHex) {
    if (!bpHex) return;
    bpHex[0] = '\0';
    if (nLen <= 0 || !bpBytes) return;
    SplitHex(bpBytes, nLen, bpHex, 2 * nLen + 1);
}

QD500_API void QD500_CALL gCompressAsc(const char* bpHex, short nLen, unsigned char* bpBytes) {
    if (!bpBytes) return;
    int count = nLen > 0 ? nLen : 0;
    CompressHex(bpHex, count, bpBytes, (count + 1) / 2 + 1);
}

}  // extern "C"
