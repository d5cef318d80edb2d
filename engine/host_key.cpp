#include "engine/host_key.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "crypto/md5.h"

namespace kestrel {

namespace {

std::string decimal(const mpz_t value) {
    std::unique_ptr<char, void (*)(void*)> text(mpz_get_str(nullptr, 10, value), std::free);
    return text.get();
}

std::vector<uint8_t> bytesOf(const mpz_t value) {
    std::vector<uint8_t> bytes((mpz_sizeinbase(value, 2) + 7) / 8);
    std::size_t written = 0;
    mpz_export(bytes.data(), &written, 1, 1, 1, 0, value);
    bytes.resize(written);
    return bytes;
}

bool decimalField(const std::string& text, std::size_t& at, mpz_t value) {
    if (at > text.size())
        return false;
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos)
        end = text.size();
    std::string field = text.substr(at, end - at);
    at = end + 1;
    return !field.empty() && field.size() <= HOST_KEY_TEXT_LIMIT &&
           field.find_first_not_of("0123456789") == std::string::npos &&
           mpz_set_str(value, field.c_str(), 10) == 0;
}

} // namespace

uint32_t modulusBits(const RsaPublicKey& key) {
    return mpz_sgn(key.modulus) == 0 ? 0 : uint32_t(mpz_sizeinbase(key.modulus, 2));
}

std::string hostKeyFingerprint(const RsaPublicKey& key) {
    std::vector<uint8_t> material = bytesOf(key.modulus);
    std::vector<uint8_t> exponent = bytesOf(key.exponent);
    material.insert(material.end(), exponent.begin(), exponent.end());
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, material.data(), uint32_t(material.size()));
    uint8_t digest[16];
    md5Final(digest, md5);
    std::string text = "MD5";
    char hex[4];
    for (uint8_t byte : digest) {
        std::snprintf(hex, sizeof hex, ":%02x", byte);
        text += hex;
    }
    return text;
}

std::string hostKeyText(const RsaPublicKey& key) {
    return std::to_string(modulusBits(key)) + " " + decimal(key.exponent) + " " + decimal(key.modulus);
}

bool readStoredKey(const std::string& stored, RsaPublicKey& read) {
    if (stored.size() > HOST_KEY_TEXT_LIMIT)
        return false;
    mpz_t bits;
    mpz_init(bits);
    std::size_t at = 0;
    bool parsed = decimalField(stored, at, bits) && decimalField(stored, at, read.exponent) &&
                  decimalField(stored, at, read.modulus) && at == stored.size() + 1 &&
                  mpz_cmp_ui(bits, modulusBits(read)) == 0 && mpz_sgn(read.modulus) != 0;
    mpz_clear(bits);
    read.bits = parsed ? modulusBits(read) : 0;
    return parsed;
}

StoredKeyMatch compareStoredKey(const std::string& stored, const RsaPublicKey& key) {
    RsaPublicKey read;
    if (!readStoredKey(stored, read))
        return StoredKeyMatch::Unreadable;
    bool same = mpz_cmp(read.modulus, key.modulus) == 0 && mpz_cmp(read.exponent, key.exponent) == 0;
    return same ? StoredKeyMatch::Same : StoredKeyMatch::Different;
}

} // namespace kestrel
