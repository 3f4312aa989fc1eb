// The answer to reset taken apart as pcsc_scan shows it: TS, T0, the
// interface bytes and the protocols they announce, the historical bytes and
// the check byte TCK.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qd500::cli {

struct AtrAnalysis {
    std::vector<std::string> lines;  // the analysis, one line each
    std::string protocols;           // "T=0", "T=0 T=1"; "" for a synchronous card
    std::vector<uint8_t> historical;
    std::string tck;      // "correct", "wrong, expected 93", "absent" or "not needed"
    std::string problem;  // why the ATR is malformed or its TCK wrong; "" when sound
};

AtrAnalysis AnalyseAtr(const std::vector<uint8_t>& atr);

}  // namespace qd500::cli
