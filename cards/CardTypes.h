// The card-type table: every type the reader knows, with what a caller
// needs to drive it (type byte, family, memory, security code, protection)
// and which commands it takes. The handle API publishes it as
// qd500_card_info; every edge reads it from there.
#pragma once

#include <cstdint>
#include <string>

namespace qd500 {

// What a card type takes, as bits of CardType::features. The values are
// those of qd500.h's QD500_FEATURE_* (the handle API checks they agree).
enum CardFeature : unsigned {
    kMemory = 1u << 0,          // reads and writes by address
    kPresentCode = 1u << 1,     // a security code of codeLength bytes to present
    kChangeCode = 1u << 2,      // the code can be changed
    kReadProtection = 1u << 3,  // protection state of the first protectedBytes bytes
    kProtect = 1u << 4,         // ... and protecting them
    kAt88Verify = 1u << 5,      // AT88SC codes at an address
    kAt88Erase = 1u << 6,
    kAt88Personalise = 1u << 7,
    kAt24Sequence = 1u << 8,  // the AT24 one-shot read and write
    kApdu = 1u << 9,          // APDUs to a CPU card
};

// One row of the reader's card-type table.
struct CardType {
    const char* name;  // "S4442", as gSetCardType takes it
    uint8_t code;      // the type byte after 54 in the select-card-type body
    // The values are those of qd500.h's QD500_FAMILY_*.
    enum Family : uint8_t { Cpu, Sle4442, Sle4428, At24, At88sc } family;
    unsigned size;            // bytes of card memory (0 for a CPU card)
    unsigned codeLength;      // bytes of its security code; 0: none
    unsigned codeTries;       // wrong codes in a row before it locks; 0: none or unknown
    unsigned protectedBytes;  // bytes from 0 that protection covers; 0: none
    unsigned features;        // CardFeature bits
    const char* alias;        // the name people use beside it ("SLE4442"); null: none

    bool Has(unsigned feature) const { return (features & feature) == feature; }
};

// The rows in the table's order.
const CardType* CardTypes();
int CardTypeCount();

// The row of a name: exactly as written (the drop-in library's rule), or
// loosely: in any case, and by the name people use as well; null for a name
// outside the table.
const CardType* FindCardType(const char* name, bool loosely = false);
// Every name a loose search takes, in the table's order: "CPU, S4418
// (SLE4418), ...".
std::string CardTypeNameList();
const CardType* FindCardType(uint8_t code);

// Copies the select-card-type body of a card-type name ("CPU" -> "5488");
// leaves code untouched for a name outside the table.
void CardTypeCode(char* code, const char* name);

}  // namespace qd500
