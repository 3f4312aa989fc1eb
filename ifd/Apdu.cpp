// The pseudo-APDU parser and the status-word table of the PC/SC driver.
#include "Apdu.h"

#include "qd500.h"

namespace qd500::ifd {

namespace {

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kWrongParameters = 0x6B00;
constexpr uint16_t kNotSupported = 0x6A81;
constexpr uint16_t kNotAllowed = 0x6985;  // no memory type selected yet
constexpr uint16_t kUnknownInstruction = 0x6D00;
constexpr uint16_t kUnknownClass = 0x6E00;
constexpr uint16_t kNoDiagnosis = 0x6F00;

Request Answer(uint16_t sw) {
    Request request;
    request.sw = sw;
    return request;
}

// Case 1 to 4 in the short form: an Lc of 00 would open an extended length.
bool ShortApdu(const uint8_t* apdu, size_t len) {
    if (len <= 5) return true;
    const size_t lc = apdu[4];
    return lc != 0 && (len == 5 + lc || len == 6 + lc);
}

// Reads and writes reach every byte of the card.
constexpr unsigned kAll = ~0u;

// The data of a command that carries data: exactly Lc bytes after P3.
bool TakeData(const uint8_t* apdu, size_t len, Request& request) {
    if (len < 6 || apdu[4] == 0 || len != 5u + apdu[4]) return false;
    request.data = apdu + 5;
    request.length = apdu[4];
    return true;
}

// A read's Le, 00 being 256: the APDU is the header and P3 alone.
bool TakeLe(size_t len, const uint8_t* apdu, Request& request) {
    if (len != 5) return false;
    request.length = apdu[4] == 0 ? 256 : apdu[4];
    return true;
}

unsigned P1P2(const uint8_t* apdu) { return static_cast<unsigned>(apdu[2] << 8 | apdu[3]); }

// Reads and writes by address within the first limit bytes of the card.
Request ByAddress(Op op, const uint8_t* apdu, size_t len, const CardMode& mode, unsigned limit) {
    Request request;
    request.op = op;
    const bool carriesData = op == Op::Write || op == Op::Protect;
    if (!(carriesData ? TakeData(apdu, len, request) : TakeLe(len, apdu, request))) return Answer(kWrongLength);
    if (mode.kind.type < 0) return Answer(kNotAllowed);
    if (limit == 0) return Answer(kNotSupported);
    request.address = P1P2(apdu);
    if (limit == kAll) limit = mode.kind.size;
    if (request.address + request.length > limit) return Answer(kWrongParameters);
    return request;
}

Request Code(Op op, const uint8_t* apdu, size_t len, const CardMode& mode) {
    Request request;
    request.op = op;
    if (!TakeData(apdu, len, request)) return Answer(kWrongLength);
    if (mode.kind.type < 0) return Answer(kNotAllowed);
    const MemoryKind& kind = mode.kind;
    if (kind.codeLength == 0 || (op == Op::ChangeCode && !kind.changeCode)) return Answer(kNotSupported);
    // An AT88SC keeps its codes at addresses: P1 P2, 0000 for the security
    // code at 0A. The others take 0000, and 0001 for a change.
    if (kind.at88) {
        request.address = P1P2(apdu) == 0 ? 0x0A : P1P2(apdu);
    } else if (P1P2(apdu) != (op == Op::ChangeCode ? 1u : 0u)) {
        return Answer(kWrongParameters);
    }
    if (request.length != kind.codeLength) return Answer(kWrongLength);
    return request;
}

Request SelectType(const uint8_t* apdu, size_t len) {
    Request request;
    request.op = Op::SelectType;
    if (!TakeData(apdu, len, request) || request.length != 1) return Answer(kWrongLength);
    if (P1P2(apdu) != 0 || !qd500_card_type_name(apdu[5])) return Answer(kWrongParameters);
    request.type = apdu[5];
    return request;
}

Request ParsePseudo(const uint8_t* apdu, size_t len, const CardMode& mode) {
    const unsigned protectedBytes = mode.kind.protectedBytes;
    switch (apdu[1]) {
        case 0xA4:
            return SelectType(apdu, len);
        case 0xB0:
            return ByAddress(Op::Read, apdu, len, mode, kAll);
        case 0xD6:
            return ByAddress(Op::Write, apdu, len, mode, kAll);
        case 0xB2:
            return ByAddress(Op::ReadProtection, apdu, len, mode, protectedBytes);
        case 0xD1:
            return ByAddress(Op::Protect, apdu, len, mode, protectedBytes);
        case 0x20:
            return Code(Op::PresentCode, apdu, len, mode);
        case 0xD2:
            return Code(Op::ChangeCode, apdu, len, mode);
        case 0xB1:
            return Answer(kNotSupported);  // the reader has no command that reads the error counter
        default:
            return Answer(kUnknownInstruction);
    }
}

// The reader's status codes as the application sees them.
struct StatusRow {
    int status;
    uint16_t sw;        // for every operation
    uint16_t swOfCode;  // for presenting and changing a code, where it differs
};
constexpr StatusRow kStatusWords[] = {
    {0, kOk, 0},           // success
    {14, 0x6B00, 0},       // address past the end
    {23, 0x6985, 0},       // card not powered
    {24, 0x6981, 0},       // type does not fit the card
    {31, 0x6982, 0x6300},  // code not presented / wrong code, tries left unknown
    {32, 0x6581, 0},       // write-protected byte
    {33, 0x6983, 0},       // error counter spent
};

}  // namespace

MemoryKind MemoryKindOf(int type) {
    MemoryKind kind;
    const char* name = type >= 0 ? qd500_card_type_name(type) : nullptr;
    struct qd500_card_info info = {};
    info.size = sizeof info;
    if (!name || qd500_card_info(name, &info) != 0 || !(info.features & QD500_FEATURE_MEMORY)) return kind;
    kind.type = type;
    kind.name = info.name;
    kind.size = info.memory_size;
    kind.codeLength = info.code_length;
    kind.at88 = info.family == QD500_FAMILY_AT88SC;
    kind.changeCode = (info.features & QD500_FEATURE_CHANGE_CODE) != 0;
    kind.protectedBytes = info.protected_bytes;
    return kind;
}

Request ParseApdu(const uint8_t* apdu, size_t len, const CardMode& mode) {
    if (!apdu || len < 4) return Answer(kWrongLength);
    if (apdu[0] == 0xFF) return ParsePseudo(apdu, len, mode);
    // A memory card knows no APDU: say so, as a card would, without asking it.
    if (mode.memory) return Answer(kUnknownClass);
    if (!ShortApdu(apdu, len)) return Answer(kWrongLength);
    // An Le no reply frame can carry is answered 6Cxx with the most it can
    // (nothing is sent): the application asks again for that much, and reads
    // on from there, as OpenSC does.
    if (len == 5 && (apdu[4] == 0 ? 256u : apdu[4]) > kMaxAnswerData)
        return Answer(static_cast<uint16_t>(0x6C00 | kMaxAnswerData));
    Request request;
    request.op = Op::Transmit;
    request.data = apdu;
    request.length = len;
    return request;
}

Verdict Judge(Op op, int result) {
    Verdict verdict;
    switch (result) {
        case QD500_E_TIMEOUT:
            verdict.fault = Fault::Timeout;
            return verdict;
        case QD500_E_BUFFER:
            verdict.fault = Fault::Buffer;
            return verdict;
        case QD500_E_PARAM:
            verdict.sw = kNoDiagnosis;
            return verdict;  // refused by the library: nothing sent
        case 21:
            verdict.fault = Fault::NoCard;
            return verdict;
        default:
            break;
    }
    if (result < 0) {
        verdict.fault = Fault::Line;
        return verdict;
    }
    verdict.sw = kNoDiagnosis;
    const bool code = op == Op::PresentCode || op == Op::ChangeCode;
    for (const StatusRow& row : kStatusWords)
        if (row.status == result) verdict.sw = code && row.swOfCode ? row.swOfCode : row.sw;
    return verdict;
}

unsigned OfferedProtocols(const uint8_t* atr, size_t length) {
    unsigned offered = 0;
    if (atr && length >= 2) {
        unsigned y = atr[1] >> 4;  // which interface bytes follow T0, then each TDi
        size_t at = 2;
        for (;;) {
            at += (y & 1) + ((y >> 1) & 1) + ((y >> 2) & 1);  // TAi, TBi, TCi
            if (!(y & 8) || at >= length) break;
            const uint8_t td = atr[at++];
            if ((td & 0x0F) == 0) offered |= 1;  // T=0
            if ((td & 0x0F) == 1) offered |= 2;  // T=1
            y = td >> 4;
        }
    }
    return offered ? offered : 1;  // no TD1: T=0
}

}  // namespace qd500::ifd
