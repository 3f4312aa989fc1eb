#include "StatusWords.h"

#include <cstdio>

namespace qd500::cli {
namespace {

struct Exact {
    unsigned sw;
    const char* meaning;
};

constexpr Exact kExact[] = {
    {0x9000, "normal processing"},
    {0x6200, "warning: no information given, memory unchanged"},
    {0x6281, "warning: part of the returned data may be corrupted"},
    {0x6282, "warning: end of file or record reached before reading Le bytes"},
    {0x6283, "warning: selected file deactivated"},
    {0x6284, "warning: file control information not formatted as ISO 7816-4 says"},
    {0x6285, "warning: selected file in termination state"},
    {0x6286, "warning: no input data available from a sensor on the card"},
    {0x6300, "warning: no information given, memory changed"},
    {0x6381, "warning: file filled up by the last write"},
    {0x6400, "execution error: memory unchanged"},
    {0x6401, "execution error: immediate response required by the card"},
    {0x6500, "execution error: memory changed"},
    {0x6581, "execution error: memory failure"},
    {0x6600, "security error"},
    {0x6700, "wrong length"},
    {0x6800, "functions in CLA not supported"},
    {0x6881, "logical channel not supported"},
    {0x6882, "secure messaging not supported"},
    {0x6883, "last command of the chain expected"},
    {0x6884, "command chaining not supported"},
    {0x6900, "command not allowed"},
    {0x6981, "command incompatible with file structure"},
    {0x6982, "security status not satisfied"},
    {0x6983, "authentication method blocked"},
    {0x6984, "reference data not usable"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed (no current EF)"},
    {0x6987, "expected secure messaging data objects missing"},
    {0x6988, "incorrect secure messaging data objects"},
    {0x6A00, "wrong parameters P1-P2"},
    {0x6A80, "incorrect parameters in the command data field"},
    {0x6A81, "function not supported"},
    {0x6A82, "file or application not found"},
    {0x6A83, "record not found"},
    {0x6A84, "not enough memory space in the file"},
    {0x6A85, "Lc inconsistent with TLV structure"},
    {0x6A86, "incorrect parameters P1-P2"},
    {0x6A87, "Lc inconsistent with parameters P1-P2"},
    {0x6A88, "referenced data or reference data not found"},
    {0x6A89, "file already exists"},
    {0x6A8A, "DF name already exists"},
    {0x6B00, "wrong parameters P1-P2"},
    {0x6D00, "instruction code not supported or invalid"},
    {0x6E00, "class not supported"},
    {0x6F00, "no precise diagnosis"},
};

// The meaning of a whole group when its second byte says nothing more.
constexpr Exact kGroups[] = {
    {0x62, "warning: memory unchanged"},
    {0x63, "warning: memory changed"},
    {0x64, "execution error: memory unchanged"},
    {0x65, "execution error: memory changed"},
    {0x66, "security error"},
    {0x67, "wrong length"},
    {0x68, "functions in CLA not supported"},
    {0x69, "command not allowed"},
    {0x6A, "wrong parameters P1-P2"},
    {0x6F, "no precise diagnosis"},
};

std::string Count(unsigned n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string SwText(unsigned sw) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", sw & 0xFFFF);
    return hex;
}

std::string SwMeaning(unsigned sw) {
    const unsigned sw1 = sw >> 8, sw2 = sw & 0xFF;
    if (sw1 == 0x61)
        return sw2 == 0 ? "response data still available (GET RESPONSE)"
                        : Count(sw2, "byte", "bytes") + " of response data still available (GET RESPONSE)";
    if (sw1 == 0x6C) return "wrong Le: " + Count(sw2 == 0 ? 256 : sw2, "byte", "bytes") + " available";
    if ((sw & 0xFFF0) == 0x63C0)
        return sw2 == 0xC0 ? "verification failed, no tries left"
                           : "verification failed, " + Count(sw2 & 0x0F, "try", "tries") + " left";
    for (const Exact& e : kExact)
        if (e.sw == sw) return e.meaning;
    for (const Exact& g : kGroups)
        if (g.sw == sw1) return g.meaning;
    if (sw1 == 0x90) return "normal processing (with information from the application)";
    return "unknown status word";
}

}  // namespace qd500::cli
