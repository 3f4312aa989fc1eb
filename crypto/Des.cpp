#include "crypto/Des.h"

#include <cstdint>
#include <cstring>

namespace qd500 {

namespace {

// FIPS 46 tables, 1-based bit numbers as published.
constexpr unsigned char kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

constexpr unsigned char kIPInverse[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25,
};

constexpr unsigned char kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1,
};

constexpr unsigned char kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

constexpr unsigned char kPC1C[28] = {
    57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
};

constexpr unsigned char kPC1D[28] = {
    63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4,
};

constexpr unsigned char kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr unsigned char kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

// Row by row: entry = 16 * row + column.
constexpr unsigned char kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8, 14, 6,  11, 3,  4, 9, 7, 2,  13, 12, 0, 5, 10, 3,  13, 4,  7, 15, 2,  8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0,  14, 7, 11, 10, 4,  13, 1, 5, 8, 12, 6,  9,  3, 2, 15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0, 8, 13, 3,  12, 9, 7, 5, 10, 6, 1, 13, 0,  11, 7, 4, 9, 1,  10, 14, 3, 5, 12, 2,  15, 8, 6,
     1, 4,  11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5,  9, 2, 6,  11, 13, 8, 1, 4, 10, 7,  9,  5, 0, 15, 14, 2,  3, 12},
    {13, 2,  8, 4, 6, 15, 11, 1, 10, 9, 3,  14, 5,  0, 12, 7, 1, 15, 13, 8, 10, 3,  7, 4,  12, 5,  6, 11, 0, 14, 9, 2,
     7,  11, 4, 1, 9, 12, 14, 2, 0,  6, 10, 13, 15, 3, 5,  8, 2, 1,  14, 7, 4,  10, 8, 13, 15, 12, 9, 0,  3, 5,  6, 11},
};

// The table-driven engine behind Encrypt, Decrypt and the PIN operations.
// Every table of it is computed at compile time from the FIPS tables above and
// lies in read-only storage, so there is nothing to initialise and nothing
// shared that changes; the working state of an operation (C, D, the packed
// schedule, the two halves) lives on the calling thread's stack.

using u32 = std::uint32_t;

constexpr u32 Rotl(u32 v, int n) { return (v << n) | (v >> (32 - n)); }  // n in 1..31
constexpr u32 Rotr(u32 v, int n) { return (v >> n) | (v << (32 - n)); }
// Bit p (1-based, 1 = most significant) of a 32-bit half.
constexpr u32 Bit32(int p) { return u32{1} << (32 - p); }

// SP tables: S-box j on its six input bits x (b1 most significant), the four
// output bits put in place and passed through P, as a 32-bit half rotated left
// by one, the form in which the rounds keep both halves.
struct SpTables {
    u32 t[8][64];
};

constexpr SpTables MakeSpTables() {
    SpTables sp{};
    for (int j = 0; j < 8; ++j) {
        for (int x = 0; x < 64; ++x) {
            const int row = ((x >> 4) & 2) | (x & 1);
            const int col = (x >> 1) & 15;
            const u32 s = u32{kS[j][16 * row + col]} << (28 - 4 * j);  // bits 4j+1 .. 4j+4
            u32 p = 0;
            for (int i = 0; i < 32; ++i)
                if (s & Bit32(kP[i])) p |= Bit32(i + 1);
            sp.t[j][x] = Rotl(p, 1);
        }
    }
    return sp;
}

constexpr SpTables kSp = MakeSpTables();

// Packed subkey of one round, two words to XOR with the rotated right half:
// word 0 holds the six-bit groups of S-boxes 1, 3, 5, 7 in bits 24-29, 16-21,
// 8-13, 0-5 (matched against the half rotated right by four more), word 1
// those of S-boxes 2, 4, 6, 8.
constexpr int PackedShift(int j) {  // subkey bit j, 1-based
    const int group = (j - 1) / 6;
    return 24 - 8 * (group / 2) + 5 - (j - 1) % 6;
}
constexpr int PackedWord(int j) { return ((j - 1) / 6) & 1; }

// PC-1 by key nibble: nibble n (0 = high nibble of key byte 0) of value v
// gives its bits of C and of D, each a 28-bit field with bit 1 most
// significant.
struct Pc1Tables {
    u32 c[16][16];
    u32 d[16][16];
};

constexpr bool KeyBitIn(int k, int n, int v) {  // key bit k (1-based) set in nibble n of value v
    return (k - 1) / 4 == n && ((v >> (3 - (k - 1) % 4)) & 1);
}

constexpr Pc1Tables MakePc1Tables() {
    Pc1Tables t{};
    for (int n = 0; n < 16; ++n)
        for (int v = 0; v < 16; ++v)
            for (int i = 0; i < 28; ++i) {
                if (KeyBitIn(kPC1C[i], n, v)) t.c[n][v] |= u32{1} << (27 - i);
                if (KeyBitIn(kPC1D[i], n, v)) t.d[n][v] |= u32{1} << (27 - i);
            }
    return t;
}

constexpr Pc1Tables kPc1 = MakePc1Tables();

// PC-2 picks subkey bits 1-24 from C and 25-48 from D only.
constexpr bool Pc2SplitsCAndD() {
    for (int j = 0; j < 48; ++j)
        if ((j < 24) != (kPC2[j] <= 28)) return false;
    return true;
}
static_assert(Pc2SplitsCAndD(), "PC-2 takes its first 24 bits from C, the rest from D");

// PC-2 by seven-bit group g (0 = bits 1-7) of C or of D: the packed subkey
// bits it gives. C only reaches the upper 16 bits of both packed words, D only
// the lower 16, so one entry holds both: for C, word 0's upper half above
// word 1's; for D, word 0's lower half above word 1's.
struct Pc2Tables {
    u32 c[4][128];
    u32 d[4][128];
};

constexpr Pc2Tables MakePc2Tables() {
    Pc2Tables t{};
    for (int g = 0; g < 4; ++g)
        for (int v = 0; v < 128; ++v)
            for (int j = 1; j <= 48; ++j) {
                const int p = j <= 24 ? kPC2[j - 1] : kPC2[j - 1] - 28;  // bit of C or D
                if ((p - 1) / 7 != g || !((v >> (6 - (p - 1) % 7)) & 1)) continue;
                const u32 bit = u32{1} << PackedShift(j);
                if (j <= 24)
                    t.c[g][v] |= PackedWord(j) == 0 ? bit : bit >> 16;
                else
                    t.d[g][v] |= PackedWord(j) == 0 ? bit << 16 : bit;
            }
    return t;
}

constexpr Pc2Tables kPc2 = MakePc2Tables();

// A six-bit group as six bit-bytes, most significant first, and two bytes of
// slack (m_bySubKey).
struct SixBits {
    unsigned char b[64][8];
};

constexpr SixBits MakeSixBits() {
    SixBits t{};
    for (int v = 0; v < 64; ++v)
        for (int i = 0; i < 6; ++i) t.b[v][i] = static_cast<unsigned char>((v >> (5 - i)) & 1);
    return t;
}

constexpr SixBits kSixBits = MakeSixBits();

constexpr u32 Rotl28(u32 v, int n) { return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFFu; }

// All 16 packed subkeys, round 1 first.
void PackedSchedule(const unsigned char* key, u32 ks[16][2]) {
    u32 c = 0, d = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned hi = key[i] >> 4, lo = key[i] & 15u;
        c |= kPc1.c[2 * i][hi] | kPc1.c[2 * i + 1][lo];
        d |= kPc1.d[2 * i][hi] | kPc1.d[2 * i + 1][lo];
    }
#pragma GCC unroll 16
    for (int round = 0; round < 16; ++round) {
        c = Rotl28(c, kShifts[round]);
        d = Rotl28(d, kShifts[round]);
        const u32 fromC =
            kPc2.c[0][c >> 21] | kPc2.c[1][(c >> 14) & 127] | kPc2.c[2][(c >> 7) & 127] | kPc2.c[3][c & 127];
        const u32 fromD =
            kPc2.d[0][d >> 21] | kPc2.d[1][(d >> 14) & 127] | kPc2.d[2][(d >> 7) & 127] | kPc2.d[3][d & 127];
        ks[round][0] = (fromC & 0xFFFF0000u) | (fromD >> 16);
        ks[round][1] = (fromC << 16) | (fromD & 0xFFFFu);
    }
}

// The packed schedule in the one-bit-per-byte form of m_bySubKey (16 rows of
// 48, taken as its 768 bytes). Each group is stored as 8 bytes, the two extra
// ones overwritten by the next group, save the very last group of all.
void SubKeyBits(const u32 ks[16][2], unsigned char* out) {
    for (int round = 0; round < 16; ++round, out += 48) {
        const u32 even = ks[round][0], odd = ks[round][1];
        std::memcpy(out + 0, kSixBits.b[even >> 24], 8);
        std::memcpy(out + 6, kSixBits.b[odd >> 24], 8);
        std::memcpy(out + 12, kSixBits.b[(even >> 16) & 63], 8);
        std::memcpy(out + 18, kSixBits.b[(odd >> 16) & 63], 8);
        std::memcpy(out + 24, kSixBits.b[(even >> 8) & 63], 8);
        std::memcpy(out + 30, kSixBits.b[(odd >> 8) & 63], 8);
        std::memcpy(out + 36, kSixBits.b[even & 63], 8);
        std::memcpy(out + 42, kSixBits.b[odd & 63], round < 15 ? 8 : 6);
    }
}

// One step of the permutation networks below: the bits of a selected by
// mask << shift trade places with the bits of b selected by mask. Applied
// twice it undoes itself.
constexpr void SwapBits(u32& a, u32& b, int shift, u32 mask) {
    const u32 t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

struct Halves {
    u32 l, r;
};

// IP of the block hi:lo (bit 1 the top bit of hi): L0 and R0, each rotated
// left by one.
constexpr Halves InitialPermutation(u32 hi, u32 lo) {
    u32 l = hi, r = lo;
    SwapBits(l, r, 4, 0x0F0F0F0Fu);
    SwapBits(l, r, 16, 0x0000FFFFu);
    SwapBits(r, l, 2, 0x33333333u);
    SwapBits(r, l, 8, 0x00FF00FFu);
    r = Rotl(r, 1);
    const u32 t = (l ^ r) & 0xAAAAAAAAu;
    l ^= t;
    r ^= t;
    l = Rotl(l, 1);
    return {l, r};
}

// IP-1 of the pre-output R16 L16, given as its two halves rotated left by
// one: the network above run backwards.
constexpr Halves FinalPermutation(u32 l, u32 r) {
    l = Rotr(l, 1);
    const u32 t = (l ^ r) & 0xAAAAAAAAu;
    l ^= t;
    r ^= t;
    r = Rotr(r, 1);
    SwapBits(r, l, 8, 0x00FF00FFu);
    SwapBits(r, l, 2, 0x33333333u);
    SwapBits(l, r, 16, 0x0000FFFFu);
    SwapBits(l, r, 4, 0x0F0F0F0Fu);
    return {l, r};
}

constexpr bool BitOf(const Halves& h, int q) { return q <= 32 ? (h.l & Bit32(q)) != 0 : (h.r & Bit32(q - 32)) != 0; }

// The networks move every single bit where IP and IP-1 of FIPS 46 put it.
constexpr bool NetworkMatches(const unsigned char table[64], bool initial) {
    for (int p = 1; p <= 64; ++p) {
        const u32 hi = p <= 32 ? Bit32(p) : 0, lo = p > 32 ? Bit32(p - 32) : 0;
        Halves h{};
        if (initial) {
            h = InitialPermutation(hi, lo);
            h = {Rotr(h.l, 1), Rotr(h.r, 1)};
        } else {
            h = FinalPermutation(Rotl(hi, 1), Rotl(lo, 1));
        }
        for (int q = 1; q <= 64; ++q)
            if (BitOf(h, q) != (table[q - 1] == p)) return false;
    }
    return true;
}
static_assert(NetworkMatches(kIP, true), "the IP network is FIPS 46 IP");
static_assert(NetworkMatches(kIPInverse, false), "the IP-1 network is FIPS 46 IP-1");

inline u32 RoundFunction(u32 r, const u32 k[2]) {
    u32 w = Rotr(r, 4) ^ k[0];
    u32 f = kSp.t[0][(w >> 24) & 63] ^ kSp.t[2][(w >> 16) & 63] ^ kSp.t[4][(w >> 8) & 63] ^ kSp.t[6][w & 63];
    w = r ^ k[1];
    f ^= kSp.t[1][(w >> 24) & 63] ^ kSp.t[3][(w >> 16) & 63] ^ kSp.t[5][(w >> 8) & 63] ^ kSp.t[7][w & 63];
    return f;
}

inline u32 Load32(const unsigned char* p) { return u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | u32{p[3]}; }

inline void Store32(unsigned char* p, u32 v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The 16 rounds on 8 bytes; subkey 17 - i in round i when decrypting. The
// whole input is read before anything is written.
void CryptBlock(const unsigned char* in, const u32 ks[16][2], bool decrypt, unsigned char* out) {
    Halves h = InitialPermutation(Load32(in), Load32(in + 4));
    u32 l = h.l, r = h.r;
    const u32(*k)[2] = decrypt ? ks + 15 : ks;
    const int step = decrypt ? -1 : 1;
    for (int round = 0; round < 16; round += 2) {
        l ^= RoundFunction(r, *k);
        k += step;
        r ^= RoundFunction(l, *k);
        k += step;
    }
    h = FinalPermutation(r, l);
    Store32(out, h.l);
    Store32(out + 4, h.r);
}

// A digit character's value as both PIN fields pack it: c - '0', kept to
// 8 bits; non-digits are not refused and give whatever that arithmetic gives.
unsigned PackPair(unsigned char c1, unsigned char c2) { return (((c1 - 0x30u) << 4) | (c2 - 0x30u)) & 0xFFu; }

// Account-number field: 00 00 and the characters at positions 4..15 packed
// two per byte. The positions are fixed whatever the length; characters that
// a shorter text lacks count as '0', so nothing past its NUL is read.
void PanField(const char* bpPan, unsigned char field[8]) {
    unsigned char digits[12];
    size_t len = bpPan ? strnlen(bpPan, 15) : 0;
    for (int i = 0; i < 12; ++i) {
        size_t pos = 3 + static_cast<size_t>(i);
        digits[i] = pos < len ? static_cast<unsigned char>(bpPan[pos]) : '0';
    }
    field[0] = 0;
    field[1] = 0;
    for (int i = 0; i < 6; ++i) field[2 + i] = static_cast<unsigned char>(PackPair(digits[2 * i], digits[2 * i + 1]));
}

}  // namespace

void CDes::Encrypt(const unsigned char* bpData, const unsigned char* bpKey) { Block(bpData, bpKey, 0); }

void CDes::Decrypt(const unsigned char* bpData, const unsigned char* bpKey) { Block(bpData, bpKey, 1); }

void CDes::Block(const unsigned char* bpData, const unsigned char* bpKey, int nDecrypt) {
    // memmove: the caller may hand us our own members.
    std::memmove(m_byKey, bpKey, 8);
    m_byKey[8] = 0;
    std::memmove(m_byData, bpData, 8);
    m_byData[8] = 0;
    Run(m_byData, m_byKey, nDecrypt);
}

void CDes::Run(const unsigned char* bpBlock, const unsigned char* bpKey, int nDecrypt) {
    // The schedule is derived anew for every block, and left in m_bySubKey
    // and m_byExpand as MakeSubKeys leaves it.
    u32 ks[16][2];
    PackedSchedule(bpKey, ks);
    SubKeyBits(ks, reinterpret_cast<unsigned char*>(&m_bySubKey));
    std::memcpy(m_byExpand, kE, sizeof m_byExpand);
    CryptBlock(bpBlock, ks, nDecrypt != 0, m_byResult);
    m_byResult[8] = 0;
    BinToHex(m_szResultHex, m_byResult, 8);
}

void CDes::EncryptHex(const char* bpDataHex, const char* bpKeyHex) {
    HexToBin(m_byKey, bpKeyHex, 8);
    HexToBin(m_byData, bpDataHex, 8);
    Encrypt(m_byData, m_byKey);
}

void CDes::DecryptHex(const char* bpDataHex, const char* bpKeyHex) {
    HexToBin(m_byKey, bpKeyHex, 8);
    HexToBin(m_byData, bpDataHex, 8);
    Decrypt(m_byData, m_byKey);
}

void CDes::PinEncrypt(const char* bpPin, const char* bpPan, const unsigned char* bpKey) {
    // Copied first: PinEncryptHex passes m_byData itself as the PIN text.
    unsigned char pin[6] = {};
    const size_t len = bpPin ? strnlen(bpPin, 6) : 0;
    if (len) std::memcpy(pin, bpPin, len);
    std::memmove(m_byKey, bpKey, 8);
    m_byKey[8] = 0;
    std::memcpy(m_byData, pin, len);
    m_byData[len] = 0;

    // PIN field: 0L, the digits two per byte, F padding. An odd last digit
    // takes the high nibble of its byte, F the low one.
    unsigned char block[8];
    std::memset(block, 0xFF, sizeof block);
    block[0] = static_cast<unsigned char>(len);
    for (size_t i = 0; i + 1 < len; i += 2) block[1 + i / 2] = static_cast<unsigned char>(PackPair(pin[i], pin[i + 1]));
    if (len % 2) block[1 + len / 2] = static_cast<unsigned char>(((pin[len - 1] - 0x30u) << 4 | 0x0Fu) & 0xFFu);

    unsigned char pan[8];
    PanField(bpPan, pan);
    for (int i = 0; i < 8; ++i) block[i] ^= pan[i];
    Run(block, m_byKey, 0);
}

void CDes::PinDecrypt(const unsigned char* bpBlock, const char* bpPan, const unsigned char* bpKey) {
    std::memmove(m_byKey, bpKey, 8);
    m_byKey[8] = 0;
    std::memmove(m_byData, bpBlock, 8);
    m_byData[8] = 0;
    Run(m_byData, m_byKey, 1);

    unsigned char field[8];
    unsigned char pan[8];
    PanField(bpPan, pan);
    for (int i = 0; i < 8; ++i) field[i] = m_byResult[i] ^ pan[i];

    // n pairs-worth of nibbles; an odd count takes the last digit from the
    // high nibble of the next byte, as PinEncrypt put it. No nibble is checked
    // for being a digit. Only the first 8 characters fit the result.
    const int n = field[0] & 0x0F;
    char digits[16];
    int count = 0;
    for (int i = 1; i < 8 && count < n; ++i) {
        digits[count++] = static_cast<char>('0' + (field[i] >> 4));
        if (count < n) digits[count++] = static_cast<char>('0' + (field[i] & 0x0F));
    }
    if (count > 8) count = 8;
    std::memset(m_byResult, 0, sizeof m_byResult);
    std::memcpy(m_byResult, digits, static_cast<size_t>(count));
    std::memset(m_szResultHex, 0, sizeof m_szResultHex);
    BinToHex(m_szResultHex, m_byResult, count);
}

void CDes::PinEncryptHex(const char* bpPinHex, const char* bpPan, const char* bpKeyHex) {
    HexToBin(m_byKey, bpKeyHex, 8);
    HexToBin(m_byData, bpPinHex, 8);
    PinEncrypt(reinterpret_cast<const char*>(m_byData), bpPan, m_byKey);
}

void CDes::PinDecryptHex(const char* bpBlockHex, const char* bpPan, const char* bpKeyHex) {
    HexToBin(m_byKey, bpKeyHex, 8);
    HexToBin(m_byData, bpBlockHex, 8);
    PinDecrypt(m_byData, bpPan, m_byKey);
}

void CDes::HexToBin(unsigned char* bpOut, const char* bpHex, int nLen) {
    if (nLen <= 0) {
        bpOut[0] = 0;
        return;
    }
    const size_t want = 2 * static_cast<size_t>(nLen);
    const size_t len = bpHex ? strnlen(bpHex, want) : 0;
    const size_t pad = want - len;
    auto value = [&](size_t i) -> unsigned {
        unsigned c = i < pad ? 0x30u : static_cast<unsigned char>(bpHex[i - pad]);
        unsigned v = c >= 0x61 ? c - 0x57 : c >= 0x41 ? c - 0x37 : c >= 0x30 ? c - 0x30 : c - 0x20;
        return (v & 0xFFu) % 16;
    };
    for (size_t k = 0; k < static_cast<size_t>(nLen); ++k)
        bpOut[k] = static_cast<unsigned char>(16 * value(2 * k) + value(2 * k + 1));
    bpOut[nLen] = 0;
}

void CDes::BinToHex(char* bpHex, const unsigned char* bpBin, int nLen) {
    int n = 0;
    auto digit = [](unsigned v) { return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10); };
    for (int i = 0; i < nLen; ++i) {
        bpHex[n++] = digit(bpBin[i] >> 4);
        bpHex[n++] = digit(bpBin[i] & 0x0Fu);
    }
    bpHex[n] = '\0';
}

void CDes::BytesToBits(const unsigned char* bpBytes, unsigned char* bpBits) {
    for (int i = 0; i < 64; ++i) bpBits[i] = (bpBytes[i / 8] >> (7 - i % 8)) & 1;
}

void CDes::BitsToBytes(const unsigned char* bpBits, unsigned char* bpBytes) {
    for (int i = 0; i < 8; ++i) {
        unsigned char b = 0;
        for (int j = 0; j < 8; ++j) b = static_cast<unsigned char>((b << 1) | (bpBits[8 * i + j] & 1));
        bpBytes[i] = b;
    }
}

void CDes::MakeSubKeys(const unsigned char* bpKeyBits) {
    unsigned char cd[56];  // C in 0..27, D in 28..55
    for (int i = 0; i < 28; ++i) {
        cd[i] = bpKeyBits[kPC1C[i] - 1];
        cd[28 + i] = bpKeyBits[kPC1D[i] - 1];
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            unsigned char c0 = cd[0], d0 = cd[28];
            std::memmove(cd, cd + 1, 27);
            cd[27] = c0;
            std::memmove(cd + 28, cd + 29, 27);
            cd[55] = d0;
        }
        for (int j = 0; j < 48; ++j) m_bySubKey[round][j] = cd[kPC2[j] - 1];
    }
    std::memcpy(m_byExpand, kE, sizeof m_byExpand);
}

void CDes::DesBlock(unsigned char* bpBits, int nDecrypt) const {
    unsigned char lr[64];     // after IP: L then R
    unsigned char right[32];  // R of the round
    unsigned char saved[32];
    unsigned char mixed[48];  // E(R) XOR subkey
    unsigned char sOut[32];
    for (int i = 0; i < 64; ++i) lr[i] = bpBits[kIP[i] - 1];
    unsigned char* left = lr;
    std::memcpy(right, lr + 32, 32);

    for (int round = 0; round < 16; ++round) {
        const unsigned char* subKey = m_bySubKey[nDecrypt ? 15 - round : round];
        std::memcpy(saved, right, 32);
        for (int i = 0; i < 48; ++i) mixed[i] = right[m_byExpand[i] - 1] ^ subKey[i];
        for (int j = 0; j < 8; ++j) {
            const unsigned char* b = mixed + 6 * j;
            int row = 2 * b[0] + b[5];
            int col = 8 * b[1] + 4 * b[2] + 2 * b[3] + b[4];
            unsigned char v = kS[j][16 * row + col];
            for (int k = 0; k < 4; ++k) sOut[4 * j + k] = (v >> (3 - k)) & 1;
        }
        for (int i = 0; i < 32; ++i) right[i] = left[i] ^ sOut[kP[i] - 1];
        std::memcpy(left, saved, 32);
    }

    unsigned char preOutput[64];  // R16 then L16
    std::memcpy(preOutput, right, 32);
    std::memcpy(preOutput + 32, left, 32);
    for (int i = 0; i < 64; ++i) bpBits[i] = preOutput[kIPInverse[i] - 1];
}

}  // namespace qd500
