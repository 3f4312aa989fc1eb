#include "reader/Texts.h"

namespace qd500::text {

namespace {

struct Pair {
    const char* gbk;
    const char* utf8;
};

#define QD500_TEXT_PAIR(name, gbk, utf8) {name, utf8},
constexpr Pair kPairs[] = {QD500_TEXTS(QD500_TEXT_PAIR)};
#undef QD500_TEXT_PAIR

}  // namespace

const char* Utf8Of(const char* gbk) {
    for (const Pair& pair : kPairs)
        if (pair.gbk == gbk) return pair.utf8;
    return nullptr;
}

}  // namespace qd500::text
