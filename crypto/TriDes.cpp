// Two-key triple-DES and key diversity on bytes.
#include <cstring>

#include "crypto/Des.h"

namespace qd500 {

void TripleDes(const unsigned char* data, const unsigned char* key, unsigned char* out, bool decrypt) {
    // EDE with K1, K2, K1 (DED to decrypt); each step takes the previous
    // result as its data.
    CDes des;
    if (decrypt) {
        des.Decrypt(data, key);
        des.Encrypt(des.m_byResult, key + 8);
        des.Decrypt(des.m_byResult, key);
    } else {
        des.Encrypt(data, key);
        des.Decrypt(des.m_byResult, key + 8);
        des.Encrypt(des.m_byResult, key);
    }
    std::memcpy(out, des.m_byResult, 8);
}

void Diversify(const unsigned char* data, const unsigned char* key, unsigned char* out) {
    // The left half from the data, the right half from its complement.
    unsigned char complement[8];
    for (int i = 0; i < 8; ++i) complement[i] = static_cast<unsigned char>(~data[i]);
    TripleDes(data, key, out, false);
    TripleDes(complement, key, out + 8, false);
}

}  // namespace qd500
