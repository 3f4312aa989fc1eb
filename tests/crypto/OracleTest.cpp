// The engine and the exports against OpenSSL's DES on random keys and blocks.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto/Des.h"
#include "crypto/Vectors.h"
#include "qd500dll.h"

using qd500::CDes;
using namespace qd500test;

namespace {

// OpenSSL 3 keeps single DES in its legacy provider. Where that provider is
// missing, three-key EDE with K1 = K2 = K3 (default provider) is single DES.
class Oracle {
public:
    Oracle() {
        m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        m_default = OSSL_PROVIDER_load(nullptr, "default");
        m_des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
        m_ede3 = EVP_CIPHER_fetch(nullptr, "DES-EDE3-ECB", nullptr);
        m_ctx = EVP_CIPHER_CTX_new();
    }
    ~Oracle() {
        EVP_CIPHER_CTX_free(m_ctx);
        EVP_CIPHER_free(m_des);
        EVP_CIPHER_free(m_ede3);
        if (m_legacy) OSSL_PROVIDER_unload(m_legacy);
        if (m_default) OSSL_PROVIDER_unload(m_default);
    }
    bool ready() const { return m_ede3 && m_ctx; }
    bool native() const { return m_des != nullptr; }

    void Des(const unsigned char* key, const unsigned char* in, unsigned char* out, bool encrypt) {
        if (m_des) {
            Run(m_des, key, in, out, encrypt);
            return;
        }
        unsigned char k3[24];
        for (int i = 0; i < 3; ++i) std::memcpy(k3 + 8 * i, key, 8);
        Run(m_ede3, k3, in, out, encrypt);
    }
    // Two-key EDE: K1 K2 K1.
    void Ede2(const unsigned char* key, const unsigned char* in, unsigned char* out) {
        unsigned char k3[24];
        std::memcpy(k3, key, 16);
        std::memcpy(k3 + 16, key, 8);
        Run(m_ede3, k3, in, out, true);
    }

private:
    void Run(const EVP_CIPHER* cipher, const unsigned char* key, const unsigned char* in, unsigned char* out,
             bool encrypt) {
        int len = 0;
        ASSERT_EQ(EVP_CipherInit_ex2(m_ctx, cipher, key, nullptr, encrypt ? 1 : 0, nullptr), 1);
        EVP_CIPHER_CTX_set_padding(m_ctx, 0);
        ASSERT_EQ(EVP_CipherUpdate(m_ctx, out, &len, in, 8), 1);
        ASSERT_EQ(len, 8);
    }

    OSSL_PROVIDER* m_legacy = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
    EVP_CIPHER* m_des = nullptr;
    EVP_CIPHER* m_ede3 = nullptr;
    EVP_CIPHER_CTX* m_ctx = nullptr;
};

class OracleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_oracle.ready()) << "OpenSSL offers no DES";
        if (!m_oracle.native()) std::printf("legacy provider missing: single DES checked as EDE with equal keys\n");
    }
    void Fill(unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(m_rng());
    }
    // Hex text with each letter in a random case.
    std::string MixedHex(const unsigned char* p, size_t n) {
        std::string s = Hex(p, n);
        for (char& c : s)
            if (c >= 'A' && c <= 'F' && (m_rng() & 1)) c = static_cast<char>(c - 'A' + 'a');
        return s;
    }
    Oracle m_oracle;
    std::mt19937 m_rng{20240607};
};

TEST_F(OracleTest, SingleDesBothDirections) {
    CDes des;
    for (int n = 0; n < 3000; ++n) {
        unsigned char key[8], data[8], want[8];
        Fill(key, 8);
        Fill(data, 8);
        const bool encrypt = n % 2 == 0;
        m_oracle.Des(key, data, want, encrypt);
        if (encrypt)
            des.Encrypt(data, key);
        else
            des.Decrypt(data, key);
        ASSERT_EQ(Hex(des.m_byResult, 8), Hex(want, 8)) << "key " << Hex(key, 8) << " data " << Hex(data, 8);
        ASSERT_STREQ(des.m_szResultHex, Hex(want, 8).c_str());
    }
}

TEST_F(OracleTest, TriDesOnBytesAndText) {
    for (int n = 0; n < 2000; ++n) {
        unsigned char key[16], data[8], want[8], got[9];
        Fill(key, 16);
        Fill(data, 8);
        m_oracle.Ede2(key, data, want);
        gTriDes(data, key, got);
        ASSERT_EQ(Hex(got, 8), Hex(want, 8)) << "key " << Hex(key, 16) << " data " << Hex(data, 8);
        if (n % 2 == 0) {
            char text[17];
            ASSERT_EQ(gAscTriDes(MixedHex(data, 8).c_str(), MixedHex(key, 16).c_str(), text), 0);
            ASSERT_EQ(std::string(text), Hex(want, 8));
        }
    }
}

TEST_F(OracleTest, Diversity) {
    for (int n = 0; n < 1000; ++n) {
        unsigned char key[16], data[8], notData[8], left[8], right[8];
        Fill(key, 16);
        Fill(data, 8);
        for (int i = 0; i < 8; ++i) notData[i] = static_cast<unsigned char>(~data[i]);
        m_oracle.Ede2(key, data, left);
        m_oracle.Ede2(key, notData, right);
        char out[33];
        ASSERT_EQ(gAscDiversity(MixedHex(data, 8).c_str(), MixedHex(key, 16).c_str(), out), 0);
        ASSERT_EQ(std::string(out), Hex(left, 8) + Hex(right, 8)) << "key " << Hex(key, 16) << " data " << Hex(data, 8);
    }
}

}  // namespace
