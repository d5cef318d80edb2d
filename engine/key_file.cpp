#include "engine/key_file.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/cipher_context.h"
#include "crypto/md5.h"
#include "crypto/secure_zero.h"
#include "engine/key_exchange.h"

namespace kestrel {

namespace {

// The header text, its zero byte, the cipher byte and the reserved word.
constexpr std::size_t HEADER_SIZE = sizeof KEY_FILE_HEADER; // text and its zero byte
constexpr std::size_t RESERVED_SIZE = 4;
constexpr std::size_t CIPHER_BLOCK = 8;
// Decimal digits of the largest modulus (16384 bits: 4933 digits).
constexpr std::size_t MAX_DECIMAL_DIGITS = RSA_IDENTITY_MAX_BITS * 30103 / 100000 + 1;
constexpr std::size_t MAX_BITS_DIGITS = 5;

// Bounded reads over a byte range: a field that runs past the end, or an
// mpint or string above its limit, fails the read, sticky.
class FieldReader {
public:
    FieldReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool failed() const { return failed_; }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return size_ - position_; }

    bool take(void* destination, std::size_t count) {
        if (failed_ || count > remaining()) {
            failed_ = true;
            return false;
        }
        std::memcpy(destination, data_ + position_, count);
        position_ += count;
        return true;
    }
    uint8_t byte() {
        uint8_t value = 0;
        take(&value, 1);
        return value;
    }
    uint32_t uint32() {
        uint8_t bytes[4] = {};
        return take(bytes, 4) ? loadBe32(bytes) : 0;
    }
    void mpint(mpz_t value, std::size_t maxBits) {
        uint8_t head[2] = {};
        if (!take(head, 2))
            return;
        std::size_t bits = std::size_t(head[0]) << 8 | head[1];
        std::size_t count = (bits + 7) / 8;
        if (bits > maxBits || count > remaining()) {
            failed_ = true;
            return;
        }
        mpz_import(value, count, 1, 1, 1, 0, data_ + position_);
        position_ += count;
    }
    void string(std::string& text, std::size_t maxLength) {
        uint32_t length = uint32();
        if (failed_ || length > maxLength || length > remaining()) {
            failed_ = true;
            return;
        }
        text.assign(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

// Appends into storage reserved up front, so key material is never copied
// by a reallocation.
class FieldWriter {
public:
    explicit FieldWriter(std::vector<uint8_t>& out) : out_(out) {}
    void bytes(const void* data, std::size_t count) {
        const uint8_t* from = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), from, from + count);
    }
    void byte(uint8_t value) { out_.push_back(value); }
    void uint32(uint32_t value) {
        uint8_t bytes[4];
        storeBe32(bytes, value);
        this->bytes(bytes, 4);
    }
    void mpint(const mpz_t value) {
        std::size_t bits = mpz_sgn(value) == 0 ? 0 : mpz_sizeinbase(value, 2);
        byte(uint8_t(bits >> 8));
        byte(uint8_t(bits));
        std::size_t start = out_.size();
        out_.resize(start + (bits + 7) / 8);
        if (bits > 0)
            mpz_export(out_.data() + start, nullptr, 1, 1, 1, 0, value);
    }
    void string(std::string_view text) {
        uint32(uint32_t(text.size()));
        bytes(text.data(), text.size());
    }

private:
    std::vector<uint8_t>& out_;
};

std::size_t mpintSize(const mpz_t value) { return 2 + (mpz_sizeinbase(value, 2) + 7) / 8; }

bool identitySize(std::size_t bits) { return bits >= RSA_IDENTITY_MIN_BITS && bits <= RSA_IDENTITY_MAX_BITS; }

void keyCipher(CipherContext& context, std::string_view passphrase) {
    uint8_t digest[16];
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, reinterpret_cast<const uint8_t*>(passphrase.data()), uint32_t(passphrase.size()));
    md5Final(digest, md5);
    cipherKeyTripleDes(context, digest, sizeof digest);
    secureZero(digest, sizeof digest);
}

// The clear part; reader ends where the part under the cipher begins.
KeyFileStatus readClearPart(FieldReader& reader, KeyFilePublicPart& part, uint8_t& cipher) {
    char header[HEADER_SIZE] = {};
    if (!reader.take(header, HEADER_SIZE) || std::memcmp(header, KEY_FILE_HEADER, HEADER_SIZE) != 0)
        return KEY_FILE_NOT_KEY_FILE;
    cipher = reader.byte();
    uint8_t reserved[RESERVED_SIZE];
    reader.take(reserved, sizeof reserved);
    part.key.bits = reader.uint32();
    reader.mpint(part.key.modulus, RSA_IDENTITY_MAX_BITS);
    reader.mpint(part.key.exponent, RSA_IDENTITY_MAX_BITS);
    reader.string(part.comment, KEY_COMMENT_MAX);
    if (reader.failed())
        return KEY_FILE_MALFORMED;
    std::size_t size = mpz_sizeinbase(part.key.modulus, 2);
    if (part.key.bits != size || !identitySize(size) || mpz_even_p(part.key.exponent) ||
        mpz_cmp(part.key.exponent, part.key.modulus) >= 0)
        return KEY_FILE_MALFORMED;
    if (cipher != KEY_CIPHER_NONE && cipher != KEY_CIPHER_TRIPLE_DES)
        return KEY_FILE_UNSUPPORTED_CIPHER;
    part.encrypted = cipher == KEY_CIPHER_TRIPLE_DES;
    return KEY_FILE_OK;
}

KeyFileStatus readSecretPart(const uint8_t* data, std::size_t size, bool encrypted, std::string_view passphrase,
                             RsaPrivateKey& key) {
    if (encrypted && size % CIPHER_BLOCK != 0)
        return KEY_FILE_MALFORMED;
    SecretBytes plain;
    plain.bytes.assign(data, data + size);
    if (encrypted) {
        CipherContext context;
        keyCipher(context, passphrase);
        cipherDecrypt(context, plain.bytes.data(), plain.bytes.size());
        cipherClear(context);
    }
    FieldReader reader(plain.bytes.data(), plain.bytes.size());
    uint8_t check[KEY_CHECK_SIZE] = {};
    reader.take(check, sizeof check);
    if (reader.failed())
        return KEY_FILE_MALFORMED;
    if (check[0] != check[2] || check[1] != check[3])
        return encrypted ? KEY_FILE_WRONG_PASSPHRASE : KEY_FILE_MALFORMED;
    for (mpz_ptr value : {key.privateExponent, key.u, key.p, key.q})
        reader.mpint(value, RSA_IDENTITY_MAX_BITS);
    secureZero(check, sizeof check);
    return reader.failed() ? KEY_FILE_MALFORMED : KEY_FILE_OK;
}

bool decimalField(std::string_view text, std::size_t maxDigits, mpz_t value) {
    if (text.empty() || text.size() > maxDigits || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return mpz_set_str(value, std::string(text).c_str(), 10) == 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view nextWord(std::string_view& rest) {
    std::size_t start = 0;
    while (start < rest.size() && isBlank(rest[start]))
        ++start;
    std::size_t end = start;
    while (end < rest.size() && !isBlank(rest[end]))
        ++end;
    std::string_view word = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return word;
}

} // namespace

void SecretBytes::wipe() {
    if (!bytes.empty())
        secureZero(bytes.data(), bytes.size());
    bytes.clear();
}

const char* keyFileStatusText(KeyFileStatus status) {
    switch (status) {
    case KEY_FILE_OK:
        return "loaded";
    case KEY_FILE_NOT_KEY_FILE:
        return "not a protocol 1 private key file";
    case KEY_FILE_MALFORMED:
        return "damaged or unusable key file";
    case KEY_FILE_UNSUPPORTED_CIPHER:
        return "protected by a cipher other than 3DES";
    case KEY_FILE_WRONG_PASSPHRASE:
        return "wrong passphrase";
    case KEY_FILE_INCONSISTENT:
        return "the key's parts do not belong together (damaged file or wrong passphrase)";
    }
    return "unknown";
}

KeyFileStatus readKeyFilePublic(const uint8_t* data, std::size_t size, KeyFilePublicPart& part) {
    if (size > KEY_FILE_MAX_SIZE)
        return KEY_FILE_MALFORMED;
    FieldReader reader(data, size);
    uint8_t cipher = 0;
    return readClearPart(reader, part, cipher);
}

KeyFileStatus readKeyFilePrivate(const uint8_t* data, std::size_t size, std::string_view passphrase,
                                 RsaPrivateKey& key, std::string& comment) {
    if (size > KEY_FILE_MAX_SIZE)
        return KEY_FILE_MALFORMED;
    FieldReader reader(data, size);
    KeyFilePublicPart part;
    uint8_t cipher = 0;
    KeyFileStatus status = readClearPart(reader, part, cipher);
    if (status != KEY_FILE_OK)
        return status;
    status = readSecretPart(data + reader.position(), reader.remaining(), part.encrypted, passphrase, key);
    if (status != KEY_FILE_OK)
        return status;
    mpz_set(key.modulus, part.key.modulus);
    mpz_set(key.publicExponent, part.key.exponent);
    key.bits = part.key.bits;
    if (!privateKeyConsistent(key))
        return KEY_FILE_INCONSISTENT;
    comment = std::move(part.comment);
    return KEY_FILE_OK;
}

bool writeKeyFile(const RsaPrivateKey& key, std::string_view comment, std::string_view passphrase,
                  RandomSource random, SecretBytes& file) {
    file.wipe();
    if (!privateKeyConsistent(key) || comment.size() > KEY_COMMENT_MAX)
        return false;
    uint8_t check[KEY_CHECK_SIZE];
    if (!random(check, 2))
        return false;
    check[2] = check[0];
    check[3] = check[1];
    std::size_t clearSize = HEADER_SIZE + 1 + RESERVED_SIZE + 4 + mpintSize(key.modulus) +
                            mpintSize(key.publicExponent) + 4 + comment.size();
    std::size_t secretSize = KEY_CHECK_SIZE + mpintSize(key.privateExponent) + mpintSize(key.u) +
                             mpintSize(key.p) + mpintSize(key.q);
    secretSize += (CIPHER_BLOCK - secretSize % CIPHER_BLOCK) % CIPHER_BLOCK;
    file.bytes.reserve(clearSize + secretSize);

    bool encrypted = !passphrase.empty();
    FieldWriter out(file.bytes);
    out.bytes(KEY_FILE_HEADER, HEADER_SIZE);
    out.byte(encrypted ? KEY_CIPHER_TRIPLE_DES : KEY_CIPHER_NONE);
    out.uint32(0);
    out.uint32(key.bits);
    out.mpint(key.modulus);
    out.mpint(key.publicExponent);
    out.string(comment);
    out.bytes(check, sizeof check);
    secureZero(check, sizeof check);
    for (mpz_srcptr value : {key.privateExponent, key.u, key.p, key.q})
        out.mpint(value);
    while (file.bytes.size() < clearSize + secretSize)
        out.byte(0);
    if (encrypted) {
        CipherContext context;
        keyCipher(context, passphrase);
        cipherEncrypt(context, file.bytes.data() + clearSize, secretSize);
        cipherClear(context);
    }
    return true;
}

std::string publicKeyLine(const RsaPublicKey& key, std::string_view comment) {
    std::string line = std::to_string(key.bits);
    for (mpz_srcptr value : {key.exponent, key.modulus}) {
        std::vector<char> digits(mpz_sizeinbase(value, 10) + 2);
        mpz_get_str(digits.data(), 10, value);
        line += ' ';
        line += digits.data();
    }
    if (!comment.empty()) {
        line += ' ';
        line.append(comment);
    }
    line += '\n';
    return line;
}

bool parsePublicKeyLine(std::string_view line, RsaPublicKey& key, std::string& comment) {
    if (line.size() > PUBLIC_KEY_LINE_MAX)
        return false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.find_first_of("\r\n") != std::string_view::npos)
        return false;
    std::string_view rest = line;
    std::string_view bitsText = nextWord(rest);
    mpz_t bits;
    mpz_init(bits);
    bool numbers = decimalField(bitsText, MAX_BITS_DIGITS, bits) &&
                   decimalField(nextWord(rest), MAX_DECIMAL_DIGITS, key.exponent) &&
                   decimalField(nextWord(rest), MAX_DECIMAL_DIGITS, key.modulus);
    key.bits = uint32_t(mpz_get_ui(bits));
    mpz_clear(bits);
    std::size_t size = mpz_sgn(key.modulus) > 0 ? mpz_sizeinbase(key.modulus, 2) : 0;
    if (!numbers || key.bits != size || !identitySize(size) || mpz_even_p(key.exponent) ||
        mpz_cmp(key.exponent, key.modulus) >= 0)
        return false;
    while (!rest.empty() && isBlank(rest.front()))
        rest.remove_prefix(1);
    comment.assign(rest);
    return true;
}

} // namespace kestrel
