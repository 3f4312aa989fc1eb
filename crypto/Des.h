// Single-DES engine with hex-text wrappers and the ISO 9564-1 format 0
// PIN-block operations. Every operation derives its key schedule anew; the
// block operations run on combined S-box and P tables (SP tables) computed at
// compile time, and keep their working state on the stack, so two threads may
// use two objects at once. The bit-per-byte forms (BytesToBits, MakeSubKeys,
// DesBlock) stay as the class describes them.
#pragma once

namespace qd500 {

class CDes {
public:
    CDes() = default;
    virtual ~CDes() = default;

    // One 8-byte block under one 8-byte key. The inputs are copied before
    // anything is written, so m_byResult may be passed as the next data. The
    // subkeys are left in m_bySubKey and E in m_byExpand, as MakeSubKeys
    // leaves them.
    void Encrypt(const unsigned char* bpData, const unsigned char* bpKey);
    void Decrypt(const unsigned char* bpData, const unsigned char* bpKey);

    // The same on 16-digit hex texts (either case, see HexToBin).
    void EncryptHex(const char* bpDataHex, const char* bpKeyHex);
    void DecryptHex(const char* bpDataHex, const char* bpKeyHex);

    // PIN block for a PIN of up to 6 digits and an account number whose
    // characters 4 to 15 are used.
    void PinEncrypt(const char* bpPin, const char* bpPan, const unsigned char* bpKey);
    // m_byResult receives the PIN digits as a NUL-terminated text (at most 8).
    void PinDecrypt(const unsigned char* bpBlock, const char* bpPan, const unsigned char* bpKey);
    // bpPinHex is the hex form of the PIN text's bytes, zero bytes after it.
    void PinEncryptHex(const char* bpPinHex, const char* bpPan, const char* bpKeyHex);
    void PinDecryptHex(const char* bpBlockHex, const char* bpPan, const char* bpKeyHex);

    // nLen bytes and a zero byte from hex text: a short text is filled with
    // '0' on the left, a long one cut to 2 * nLen characters; every character
    // has a value, so nothing is refused.
    static void HexToBin(unsigned char* bpOut, const char* bpHex, int nLen);
    // 2 * nLen upper-case digits and a NUL.
    static void BinToHex(char* bpHex, const unsigned char* bpBin, int nLen);
    // 8 bytes <-> 64 bit-bytes, most significant bit first.
    static void BytesToBits(const unsigned char* bpBytes, unsigned char* bpBits);
    static void BitsToBytes(const unsigned char* bpBits, unsigned char* bpBytes);

    // Key schedule of a 64-bit-byte key into m_bySubKey (and E into m_byExpand).
    void MakeSubKeys(const unsigned char* bpKeyBits);
    // The 16 rounds on a 64-bit-byte block, in place, under m_bySubKey with E
    // read from m_byExpand (the bit-per-byte reference; Encrypt and Decrypt
    // do not go through it).
    void DesBlock(unsigned char* bpBits, int nDecrypt) const;

    unsigned char m_byResult[9] = {};
    char m_szResultHex[17] = {};
    unsigned char m_byKey[9] = {};
    unsigned char m_byData[9] = {};
    unsigned char m_bySubKey[16][48] = {};
    unsigned char m_byExpand[48] = {};

private:
    // Key schedule (into m_bySubKey and m_byExpand as well), block and both
    // result members, leaving m_byKey and m_byData alone (the PIN operations
    // keep the PIN text in m_byData).
    void Run(const unsigned char* bpBlock, const unsigned char* bpKey, int nDecrypt);
    void Block(const unsigned char* bpData, const unsigned char* bpKey, int nDecrypt);
};

// Two-key triple-DES of one 8-byte block: EDE with K1, K2, K1 (the 16-byte
// key K1 K2), or its inverse.
void TripleDes(const unsigned char* data, const unsigned char* key, unsigned char* out, bool decrypt);

// A 16-byte key diversified from 8 bytes of data under a 16-byte key: the
// triple-DES of the data, then of its complement.
void Diversify(const unsigned char* data, const unsigned char* key, unsigned char* out);

}  // namespace qd500
