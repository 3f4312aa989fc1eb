// DES, triple-DES, key diversity and ISO 9564-1 format 0 PIN blocks on
// bytes, for the handle API; no reader involved.
#include <cstring>

#include "crypto/Des.h"
#include "qd500.h"

using qd500::CDes;

namespace {

// One block under a single-DES key (8 bytes) or a two-key triple-DES key (16).
bool Cipher(const unsigned char* key, size_t keyLen, const unsigned char* in, unsigned char* out, bool decrypt) {
    if (keyLen == 16) {
        qd500::TripleDes(in, key, out, decrypt);
        return true;
    }
    if (keyLen != 8) return false;
    CDes des;
    if (decrypt)
        des.Decrypt(in, key);
    else
        des.Encrypt(in, key);
    std::memcpy(out, des.m_byResult, 8);
    return true;
}

bool Digits(const char* text, size_t min, size_t max, size_t* len) {
    if (!text) return false;
    size_t n = strnlen(text, max + 1);
    if (n < min || n > max) return false;
    for (size_t i = 0; i < n; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    *len = n;
    return true;
}

// 0000 and the 12 digits of the account number before its check digit.
bool PanField(const char* pan, unsigned char field[8]) {
    size_t len;
    if (!Digits(pan, 13, 19, &len)) return false;
    const char* twelve = pan + len - 13;
    std::memset(field, 0, 8);
    for (int i = 0; i < 12; ++i) {
        int nibble = twelve[i] - '0';
        field[2 + i / 2] |= static_cast<unsigned char>(i % 2 ? nibble : nibble << 4);
    }
    return true;
}

}  // namespace

extern "C" {

QD500_C_API int QD500_CDECL qd500_des_encrypt(const unsigned char key[8], const unsigned char in[8],
                                              unsigned char out[8]) {
    if (!key || !in || !out) return QD500_E_PARAM;
    return Cipher(key, 8, in, out, false) ? 0 : QD500_E_PARAM;
}

QD500_C_API int QD500_CDECL qd500_des_decrypt(const unsigned char key[8], const unsigned char in[8],
                                              unsigned char out[8]) {
    if (!key || !in || !out) return QD500_E_PARAM;
    return Cipher(key, 8, in, out, true) ? 0 : QD500_E_PARAM;
}

QD500_C_API int QD500_CDECL qd500_3des_encrypt(const unsigned char key[16], const unsigned char in[8],
                                               unsigned char out[8]) {
    if (!key || !in || !out) return QD500_E_PARAM;
    return Cipher(key, 16, in, out, false) ? 0 : QD500_E_PARAM;
}

QD500_C_API int QD500_CDECL qd500_3des_decrypt(const unsigned char key[16], const unsigned char in[8],
                                               unsigned char out[8]) {
    if (!key || !in || !out) return QD500_E_PARAM;
    return Cipher(key, 16, in, out, true) ? 0 : QD500_E_PARAM;
}

QD500_C_API int QD500_CDECL qd500_diversify(const unsigned char key[16], const unsigned char data[8],
                                            unsigned char out[16]) {
    if (!key || !data || !out) return QD500_E_PARAM;
    qd500::Diversify(data, key, out);
    return 0;
}

QD500_C_API int QD500_CDECL qd500_pin_block(const char* pin, const char* pan, const unsigned char* key, size_t key_len,
                                            unsigned char out[8]) {
    size_t digits;
    unsigned char block[8], panField[8];
    if (!out || !key || !Digits(pin, 4, 12, &digits) || !PanField(pan, panField)) return QD500_E_PARAM;
    // 0 L, the digits, F padding.
    std::memset(block, 0xFF, sizeof block);
    block[0] = static_cast<unsigned char>(digits);
    for (size_t i = 0; i < digits; ++i) {
        unsigned char& byte = block[1 + i / 2];
        int nibble = pin[i] - '0';
        byte = static_cast<unsigned char>(i % 2 ? (byte & 0xF0) | nibble : (nibble << 4) | (byte & 0x0F));
    }
    for (int i = 0; i < 8; ++i) block[i] ^= panField[i];
    return Cipher(key, key_len, block, out, false) ? 0 : QD500_E_PARAM;
}

QD500_C_API int QD500_CDECL qd500_pin_from_block(const unsigned char block[8], const char* pan,
                                                 const unsigned char* key, size_t key_len, char* pin, size_t cap) {
    unsigned char clear[8], panField[8];
    if (!block || !key || !pin || !PanField(pan, panField)) return QD500_E_PARAM;
    if (cap < 13) return QD500_E_BUFFER;
    if (!Cipher(key, key_len, block, clear, true)) return QD500_E_PARAM;
    for (int i = 0; i < 8; ++i) clear[i] ^= panField[i];
    const int digits = clear[0] & 0x0F;
    if ((clear[0] >> 4) != 0 || digits < 4 || digits > 12) return QD500_E_PROTOCOL;
    for (int i = 0; i < 14; ++i) {
        int nibble = (clear[1 + i / 2] >> (i % 2 ? 0 : 4)) & 0x0F;
        if (i < digits ? nibble > 9 : nibble != 0x0F) return QD500_E_PROTOCOL;
        if (i < digits) pin[i] = static_cast<char>('0' + nibble);
    }
    pin[digits] = '\0';
    return 0;
}

}  // extern "C"
