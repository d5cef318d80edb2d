// Throughput of our primitives beside OpenSSL's on the same 8 KiB buffers, in
// one run, so that the ratios compare like with like on this machine.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/cipher_context.h"
#include "crypto/crc32.h"
#include "crypto/des.h"
#include "crypto/md5.h"

namespace {

using namespace kestrel;

constexpr std::size_t BUFFER_BYTES = 8192;

std::vector<uint8_t> patternBuffer() {
    std::vector<uint8_t> b(BUFFER_BYTES);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 131 + 7);
    return b;
}

constexpr std::array<uint8_t, 32> KEY = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                         12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                         23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

void ourTripleDes(benchmark::State& st) {
    static CipherContext context;
    cipherKeyTripleDes(context, KEY.data(), KEY.size());
    auto buf = patternBuffer();
    for (auto _ : st) {
        tripleDesEncrypt(context.state.tripleDes, buf.data(), buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}

void ourBlowfish(benchmark::State& st) {
    static CipherContext context;
    cipherKeyBlowfish(context, KEY.data(), KEY.size());
    auto buf = patternBuffer();
    for (auto _ : st) {
        blowfishCbcEncrypt(context.state.blowfish, buf.data(), buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}

void ourMd5(benchmark::State& st) {
    auto buf = patternBuffer();
    Md5Context context;
    md5Init(context);
    for (auto _ : st) {
        md5Update(context, buf.data(), uint32_t(buf.size()));
        benchmark::DoNotOptimize(context.state);
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}

void ourCrc32(benchmark::State& st) {
    auto buf = patternBuffer();
    for (auto _ : st) {
        benchmark::DoNotOptimize(crc32(buf.data(), buf.size()));
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}

void loadProviders() {
    static const bool loaded = [] {
        return OSSL_PROVIDER_load(nullptr, "legacy") != nullptr &&
               OSSL_PROVIDER_load(nullptr, "default") != nullptr;
    }();
    if (!loaded) std::abort();
}

void opensslCipher(benchmark::State& st, const char* name) {
    loadProviders();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (cipher == nullptr || ctx == nullptr) std::abort();
    const uint8_t iv[8] = {};
    EVP_EncryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_set_key_length(ctx, EVP_CIPHER_get_key_length(cipher) > 16 ? 24 : 16);
    EVP_EncryptInit_ex2(ctx, nullptr, KEY.data(), iv, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    auto buf = patternBuffer();
    int outLength = 0;
    for (auto _ : st) {
        EVP_EncryptUpdate(ctx, buf.data(), &outLength, buf.data(), int(buf.size()));
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

void opensslTripleDes(benchmark::State& st) { opensslCipher(st, "DES-EDE3-CBC"); }
void opensslBlowfish(benchmark::State& st) { opensslCipher(st, "BF-CBC"); }

void opensslMd5(benchmark::State& st) {
    loadProviders();
    EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) std::abort();
    EVP_DigestInit_ex(ctx, md, nullptr);
    auto buf = patternBuffer();
    for (auto _ : st) {
        EVP_DigestUpdate(ctx, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

BENCHMARK(ourTripleDes);
BENCHMARK(opensslTripleDes);
BENCHMARK(ourBlowfish);
BENCHMARK(opensslBlowfish);
BENCHMARK(ourMd5);
BENCHMARK(opensslMd5);
BENCHMARK(ourCrc32);

} // namespace

BENCHMARK_MAIN();
