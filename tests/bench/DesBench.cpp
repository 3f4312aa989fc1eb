// Single-DES blocks per second of CDes beside OpenSSL's DES, and key
// diversity calls per second. Each CDes operation derives its key schedule
// anew, so OpenSSL is measured both with its key set once and set per block.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>

#include "crypto/Des.h"
#include "qd500dll.h"

namespace {

const unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
const unsigned char kPlain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

void CDesEncrypt(benchmark::State& state) {
    qd500::CDes des;
    unsigned char block[8];
    std::memcpy(block, kPlain, 8);
    for (auto _ : state) {
        des.Encrypt(block, kKey);
        std::memcpy(block, des.m_byResult, 8);  // chained, so no call can be skipped
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CDesEncrypt);

// Single DES from the legacy provider, or EDE with three equal keys.
struct OpenSslDes {
    OpenSslDes() {
        legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        deflt = OSSL_PROVIDER_load(nullptr, "default");
        cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
        if (cipher) {
            std::memcpy(key, kKey, 8);
        } else {
            cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE3-ECB", nullptr);
            for (int i = 0; i < 3; ++i) std::memcpy(key + 8 * i, kKey, 8);
        }
        ctx = EVP_CIPHER_CTX_new();
    }
    ~OpenSslDes() {
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
        if (legacy) OSSL_PROVIDER_unload(legacy);
        if (deflt) OSSL_PROVIDER_unload(deflt);
    }
    bool Init() {
        if (!cipher || !ctx || EVP_EncryptInit_ex2(ctx, cipher, key, nullptr, nullptr) != 1) return false;
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        return true;
    }
    OSSL_PROVIDER* legacy = nullptr;
    OSSL_PROVIDER* deflt = nullptr;
    EVP_CIPHER* cipher = nullptr;
    EVP_CIPHER_CTX* ctx = nullptr;
    unsigned char key[24] = {};
};

void OpenSslDesEncrypt(benchmark::State& state) {
    OpenSslDes des;
    if (!des.Init()) {
        state.SkipWithError("OpenSSL offers no DES");
        return;
    }
    unsigned char block[8], out[8];
    std::memcpy(block, kPlain, 8);
    int len = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(des.ctx, out, &len, block, 8);
        std::memcpy(block, out, 8);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OpenSslDesEncrypt);

void OpenSslDesEncryptKeyPerBlock(benchmark::State& state) {
    OpenSslDes des;
    if (!des.Init()) {
        state.SkipWithError("OpenSSL offers no DES");
        return;
    }
    unsigned char block[8], out[8];
    std::memcpy(block, kPlain, 8);
    int len = 0;
    for (auto _ : state) {
        EVP_EncryptInit_ex2(des.ctx, nullptr, des.key, nullptr, nullptr);
        EVP_EncryptUpdate(des.ctx, out, &len, block, 8);
        std::memcpy(block, out, 8);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OpenSslDesEncryptKeyPerBlock);

void AscDiversity(benchmark::State& state) {
    char data[17] = "0123456789ABCDEF";
    char out[33];
    for (auto _ : state) {
        gAscDiversity(data, "0123456789ABCDEFFEDCBA9876543210", out);
        std::memcpy(data, out, 16);  // the next data is this left half
        benchmark::DoNotOptimize(data);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AscDiversity);

}  // namespace

BENCHMARK_MAIN();
