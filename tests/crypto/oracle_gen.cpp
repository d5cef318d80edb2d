// Writes reference vectors computed by OpenSSL's libcrypto, an implementation
// independent of ours: the protocol's three-chain Triple-DES built from three
// DES-CBC contexts that keep their own IVs across packets, single DES-CBC,
// Blowfish-CBC with
// every 4-byte group reversed on the way in and out, and MD5. The portable
// replay test checks our code against the file, also in builds that have no
// OpenSSL. Usage: crypto_oracle_gen <output file> [random_seed]
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "crypto_oracle_gen: %s\n", what);
    std::exit(1);
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = b.empty() ? "-" : "";
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(rng());
    return b;
}

// One direction of a cipher: a DES-CBC or BF-CBC context whose IV carries on
// from packet to packet, as a session's chain does.
struct Chain {
    EVP_CIPHER_CTX* ctx = nullptr;
    bool encrypt = true;

    Chain(const char* name, const Bytes& key, bool enc) : encrypt(enc) {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
        ctx = EVP_CIPHER_CTX_new();
        if (cipher == nullptr || ctx == nullptr) die("cannot fetch cipher (legacy provider?)");
        const unsigned char iv[8] = {};
        if (EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, enc ? 1 : 0, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_key_length(ctx, int(key.size())) != 1 ||
            EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv, enc ? 1 : 0, nullptr) != 1) {
            die("cipher init failed");
        }
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CIPHER_free(cipher);
    }
    ~Chain() { EVP_CIPHER_CTX_free(ctx); }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    void run(Bytes& data) {
        Bytes out(data.size() + 16);
        int n = 0;
        if (EVP_CipherUpdate(ctx, out.data(), &n, data.data(), int(data.size())) != 1 ||
            n != int(data.size())) {
            die("cipher update failed or held data back");
        }
        std::copy(out.begin(), out.begin() + n, data.begin());
    }
};

// The DES key bytes the protocol takes from a key of any length.
Bytes desKeyPart(const Bytes& key, std::size_t from) {
    Bytes part(8, 0);
    for (std::size_t i = 0; i < 8 && from + i < std::min<std::size_t>(key.size(), 32); ++i) {
        part[i] = key[from + i];
    }
    return part;
}

void reverseWords(Bytes& b) {
    for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::reverse(b.begin() + long(i), b.begin() + long(i) + 4);
    }
}

Bytes randomPacket(std::mt19937& rng) {
    // Packet payloads as the transport hands them over: 8 to 512 bytes, whole blocks.
    return randomBytes(rng, 8 * (1 + rng() % 64));
}

void writeTripleDesStream(std::FILE* f, std::mt19937& rng, std::size_t keyLength) {
    const Bytes key = randomBytes(rng, keyLength);
    Chain pass1("DES-CBC", desKeyPart(key, 0), true);
    Chain pass2("DES-CBC", desKeyPart(key, 8), false);
    Chain pass3("DES-CBC", desKeyPart(key, keyLength > 16 ? 16 : 0), true);
    std::fprintf(f, "tdes %s\n", hex(key).c_str());
    const int packets = 1 + int(rng() % 8);
    for (int p = 0; p < packets; ++p) {
        const Bytes plain = randomPacket(rng);
        Bytes wire = plain;
        pass1.run(wire);
        pass2.run(wire);
        pass3.run(wire);
        std::fprintf(f, "p %s %s\n", hex(plain).c_str(), hex(wire).c_str());
    }
}

// Single DES-CBC keyed with the first 8 bytes of the key, one chain per
// direction like the others.
void writeDesStream(std::FILE* f, std::mt19937& rng, std::size_t keyLength) {
    const Bytes key = randomBytes(rng, keyLength);
    Chain chain("DES-CBC", desKeyPart(key, 0), true);
    std::fprintf(f, "des %s\n", hex(key).c_str());
    const int packets = 1 + int(rng() % 8);
    for (int p = 0; p < packets; ++p) {
        const Bytes plain = randomPacket(rng);
        Bytes wire = plain;
        chain.run(wire);
        std::fprintf(f, "p %s %s\n", hex(plain).c_str(), hex(wire).c_str());
    }
}

void writeBlowfishStream(std::FILE* f, std::mt19937& rng, std::size_t keyLength) {
    const Bytes key = randomBytes(rng, keyLength);
    Chain chain("BF-CBC", key, true);
    std::fprintf(f, "bf %s\n", hex(key).c_str());
    const int packets = 1 + int(rng() % 8);
    for (int p = 0; p < packets; ++p) {
        const Bytes plain = randomPacket(rng);
        Bytes wire = plain;
        reverseWords(wire);
        chain.run(wire);
        reverseWords(wire);
        std::fprintf(f, "p %s %s\n", hex(plain).c_str(), hex(wire).c_str());
    }
}

void writeMd5(std::FILE* f, std::mt19937& rng, std::size_t length) {
    const Bytes message = randomBytes(rng, length);
    Bytes digest(16);
    unsigned int n = 0;
    if (EVP_Digest(message.data(), message.size(), digest.data(), &n, EVP_md5(), nullptr) != 1) {
        die("md5 failed");
    }
    std::fprintf(f, "md5 %s %s\n", hex(message).c_str(), hex(digest).c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) die("usage: crypto_oracle_gen <output file> [random_seed]");
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20261206ul;
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    if (legacy == nullptr || standard == nullptr) die("cannot load the OpenSSL providers");

    const std::string temporary = std::string(argv[1]) + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) die("cannot write the output file");
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::fprintf(f, "# OpenSSL %s, seed %lu\n", OPENSSL_VERSION_TEXT, seed);
    // Session keys are 32 bytes; the other lengths exercise the key rules.
    for (std::size_t length : {32, 32, 32, 32, 32, 32, 24, 17, 16, 9, 8, 5, 40}) {
        writeTripleDesStream(f, rng, length);
    }
    // Session keys are 32 bytes; shorter ones leave key bytes zero.
    for (std::size_t length : {32, 32, 32, 32, 32, 8, 5}) {
        writeDesStream(f, rng, length);
    }
    for (std::size_t length : {32, 32, 32, 32, 32, 32, 1, 3, 7, 16, 56, 72}) {
        writeBlowfishStream(f, rng, length);
    }
    for (std::size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, 4097}) {
        writeMd5(f, rng, length);
    }
    for (int i = 0; i < 20; ++i) writeMd5(f, rng, rng() % 300);
    std::fprintf(f, "end\n");
    const bool written = std::fclose(f) == 0;
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(standard);
    // Readers never see a half-written file.
    if (!written || std::rename(temporary.c_str(), argv[1]) != 0) die("cannot finish the output file");
    return 0;
}
