// Windows only: the system's text for an error or status code, without its
// line break ("system error N" when the system has none).
#pragma once

#include <string>

namespace qd500 {

std::string SystemReason(unsigned long error);

}  // namespace qd500
