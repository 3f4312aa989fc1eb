// ISO 7816-4 meanings of the status words a card answers, the tool's own
// table.
#pragma once

#include <string>

namespace qd500::cli {

// "file or application not found" for 6A82; "verification failed, 2 tries
// left" for 63C2. Never empty.
std::string SwMeaning(unsigned sw);

// "6A82"
std::string SwText(unsigned sw);

// 9000 and 61xx: the card did what was asked.
inline bool SwIsSuccess(unsigned sw) { return sw == 0x9000 || (sw >> 8) == 0x61; }

}  // namespace qd500::cli
