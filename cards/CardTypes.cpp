#include "cards/CardTypes.h"

#include "reader/Protocol.h"

namespace qd500 {

namespace {

using F = CardType::Family;
constexpr unsigned kSle4442 = kMemory | kReadProtection | kProtect;
constexpr unsigned kSle4428 = kMemory | kReadProtection | kProtect;
constexpr unsigned kCode = kPresentCode | kChangeCode;
constexpr unsigned kAt24 = kMemory | kAt24Sequence;
constexpr unsigned kAt88 = kMemory | kPresentCode | kAt88Verify | kAt88Erase | kAt88Personalise;

constexpr CardType kCardTypes[] = {
    // name, type byte, family, size, code length, tries, protected bytes, features, the name people use
    {"CPU", 0x88, F::Cpu, 0, 0, 0, 0, kApdu, nullptr},
    {"S4418", 0x18, F::Sle4428, 1024, 0, 0, 1024, kSle4428, "SLE4418"},
    {"S4428", 0x28, F::Sle4428, 1024, 2, 8, 1024, kSle4428 | kCode, "SLE4428"},
    {"S4432", 0x32, F::Sle4442, 256, 0, 0, 32, kSle4442, "SLE4432"},
    {"S4442", 0x42, F::Sle4442, 256, 3, 3, 32, kSle4442 | kCode, "SLE4442"},
    {"AT24C01", 0x01, F::At24, 128, 0, 0, 0, kAt24, nullptr},
    {"AT24C02", 0x02, F::At24, 256, 0, 0, 0, kAt24, nullptr},
    {"AT24C04", 0x03, F::At24, 512, 0, 0, 0, kAt24, nullptr},
    {"AT24C08", 0x04, F::At24, 1024, 0, 0, 0, kAt24, nullptr},
    {"AT24C16", 0x05, F::At24, 2048, 0, 0, 0, kAt24, nullptr},
    {"AT24C32", 0x06, F::At24, 4096, 0, 0, 0, kAt24, nullptr},
    {"AT24C64", 0x07, F::At24, 8192, 0, 0, 0, kAt24, nullptr},
    {"AT24C65", 0x08, F::At24, 8192, 0, 0, 0, kAt24, nullptr},
    {"AT88SC101A", 0x51, F::At88sc, 128, 2, 4, 0, kAt88, "AT88SC101"},
    {"AT88SC102A", 0x52, F::At88sc, 196, 2, 4, 0, kAt88, "AT88SC102"},
    {"AT88SC103A", 0x53, F::At88sc, 128, 2, 4, 0, kAt88, "AT88SC103"},
    {"AT88SC1604A", 0x54, F::At88sc, 2048, 2, 8, 0, kAt88, "AT88SC1604"},
};

bool SameName(const char* a, const char* b, bool anyCase) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (anyCase && x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (x != y) return false;
    }
    return *a == *b;
}

}  // namespace

const CardType* CardTypes() { return kCardTypes; }
int CardTypeCount() { return static_cast<int>(sizeof kCardTypes / sizeof kCardTypes[0]); }

const CardType* FindCardType(const char* name, bool loosely) {
    if (!name) return nullptr;
    for (const auto& entry : kCardTypes)
        if (SameName(name, entry.name, loosely) || (loosely && entry.alias && SameName(name, entry.alias, true)))
            return &entry;
    return nullptr;
}

std::string CardTypeNameList() {
    std::string list;
    for (const auto& entry : kCardTypes) {
        if (!list.empty()) list += ", ";
        list += entry.name;
        if (entry.alias) list += std::string(" (") + entry.alias + ")";
    }
    return list;
}

const CardType* FindCardType(uint8_t code) {
    for (const auto& entry : kCardTypes)
        if (entry.code == code) return &entry;
    return nullptr;
}

void CardTypeCode(char* code, const char* name) {
    const CardType* type = FindCardType(name);
    if (!type) return;
    code[0] = '5';
    code[1] = '4';
    HexByte(code + 2, type->code);
}

}  // namespace qd500
