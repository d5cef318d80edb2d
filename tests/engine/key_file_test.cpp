// Identity files: files from the black-box generator (tests/engine/keys),
// our writer reproducing them byte for byte, and every bound of the readers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "crypto/cipher_context.h"
#include "crypto/md5.h"

#include "engine/key_file.h"
#include "engine/key_generation.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

const std::string KEYS = KESTREL_TEST_KEYS;
constexpr const char* PASSPHRASE = "correct horse";

test::Bytes keyFile(const std::string& name) { return test::readFile(KEYS + "/" + name); }

std::string textFile(const std::string& name) {
    test::Bytes bytes = keyFile(name);
    return std::string(bytes.begin(), bytes.end());
}

// Hands out the bytes it was given, then fails: the check bytes of a known file.
test::Bytes cannedBytes;
bool cannedSource(uint8_t* destination, std::size_t count) {
    if (cannedBytes.size() < count)
        return false;
    std::memcpy(destination, cannedBytes.data(), count);
    cannedBytes.erase(cannedBytes.begin(), cannedBytes.begin() + long(count));
    return true;
}

// Where the part under the cipher starts: after the header, the cipher
// byte, the reserved word, the bits, n, e and the comment.
std::size_t secretOffset(const test::Bytes& file) {
    std::size_t at = sizeof KEY_FILE_HEADER + 1 + 4 + 4;
    for (int i = 0; i < 2; ++i)
        at += 2 + ((std::size_t(file[at]) << 8 | file[at + 1]) + 7) / 8;
    std::size_t comment = std::size_t(file[at]) << 24 | std::size_t(file[at + 1]) << 16 |
                          std::size_t(file[at + 2]) << 8 | file[at + 3];
    return at + 4 + comment;
}

struct Fixture {
    const char* key;
    const char* pub;
    const char* comment;
    bool encrypted;
};
const Fixture FIXTURES[] = {
    {"puttygen-clear.key", "puttygen-clear.pub", "puttygen clear key", false},
    {"puttygen-protected.key", "puttygen-protected.pub", "puttygen protected key", true},
};

TEST(KeyFileTest, GeneratorFilesLoadAndMatchTheirPublicLines) {
    for (const Fixture& fixture : FIXTURES) {
        SCOPED_TRACE(fixture.key);
        test::Bytes file = keyFile(fixture.key);
        KeyFilePublicPart part;
        ASSERT_EQ(readKeyFilePublic(file.data(), file.size(), part), KEY_FILE_OK);
        EXPECT_EQ(part.comment, fixture.comment);
        EXPECT_EQ(part.encrypted, fixture.encrypted);
        EXPECT_EQ(publicKeyLine(part.key, part.comment), textFile(fixture.pub));

        RsaPublicKey line;
        std::string lineComment;
        ASSERT_TRUE(parsePublicKeyLine(textFile(fixture.pub), line, lineComment));
        EXPECT_EQ(mpz_cmp(line.modulus, part.key.modulus), 0);
        EXPECT_EQ(lineComment, fixture.comment);

        RsaPrivateKey key;
        std::string comment;
        ASSERT_EQ(readKeyFilePrivate(file.data(), file.size(), PASSPHRASE, key, comment), KEY_FILE_OK);
        EXPECT_EQ(comment, fixture.comment);
        EXPECT_EQ(mpz_cmp(key.modulus, part.key.modulus), 0);
        EXPECT_EQ(key.bits, 1024u);
    }
}

TEST(KeyFileTest, WrongPassphraseIsToldApart) {
    test::Bytes file = keyFile("puttygen-protected.key");
    RsaPrivateKey key;
    std::string comment;
    for (const char* wrong : {"", "correct horse\n", "Correct horse", "correct hors"})
        EXPECT_EQ(readKeyFilePrivate(file.data(), file.size(), wrong, key, comment), KEY_FILE_WRONG_PASSPHRASE)
            << wrong;
    // A clear file takes no passphrase: whatever is given is ignored.
    test::Bytes clear = keyFile("puttygen-clear.key");
    EXPECT_EQ(readKeyFilePrivate(clear.data(), clear.size(), "anything", key, comment), KEY_FILE_OK);
}

// Given the generator's check bytes, the writer must produce its file
// exactly: layout, padding and the passphrase cipher all agree.
TEST(KeyFileTest, WriterReproducesTheGeneratorsFiles) {
    for (const Fixture& fixture : FIXTURES) {
        SCOPED_TRACE(fixture.key);
        test::Bytes file = keyFile(fixture.key);
        RsaPrivateKey key;
        std::string comment;
        ASSERT_EQ(readKeyFilePrivate(file.data(), file.size(), PASSPHRASE, key, comment), KEY_FILE_OK);
        // The check bytes as the writer drew them: decrypt the first block.
        std::size_t offset = secretOffset(file);
        test::Bytes first(file.begin() + long(offset), file.begin() + long(offset) + 8);
        if (fixture.encrypted) {
            CipherContext context;
            uint8_t digest[16];
            Md5Context md5;
            md5Init(md5);
            md5Update(md5, reinterpret_cast<const uint8_t*>(PASSPHRASE), uint32_t(std::strlen(PASSPHRASE)));
            md5Final(digest, md5);
            cipherKeyTripleDes(context, digest, sizeof digest);
            cipherDecrypt(context, first.data(), first.size());
            ASSERT_EQ(first[0], first[2]);
            ASSERT_EQ(first[1], first[3]);
        }
        cannedBytes = {first[0], first[1]};
        SecretBytes written;
        ASSERT_TRUE(writeKeyFile(key, comment, fixture.encrypted ? PASSPHRASE : "", cannedSource, written));
        EXPECT_EQ(written.bytes, file);
    }
}

bool countingSource(uint8_t* destination, std::size_t count) {
    // Not random, but never repeating: enough to make distinct primes.
    static uint64_t counter = 0;
    for (std::size_t i = 0; i < count; ++i) {
        counter = counter * 6364136223846793005ULL + 1442695040888963407ULL;
        destination[i] = uint8_t(counter >> 56);
    }
    return true;
}
bool failingSource(uint8_t*, std::size_t) { return false; }
bool constantSource(uint8_t* destination, std::size_t count) {
    std::memset(destination, 0x5a, count);
    return true;
}

TEST(KeyGenerationTest, KeysHaveTheSizeAskedForAndSurviveTheirFile) {
    for (uint32_t bits : {1024u, 1025u}) {
        RsaPrivateKey key;
        ASSERT_TRUE(generateRsaKey(bits, countingSource, key));
        EXPECT_EQ(key.bits, bits);
        EXPECT_EQ(mpz_sizeinbase(key.modulus, 2), bits);
        EXPECT_EQ(mpz_cmp_ui(key.publicExponent, KEYGEN_PUBLIC_EXPONENT), 0);
        EXPECT_TRUE(privateKeyConsistent(key));
        for (const char* passphrase : {"", "a passphrase"}) {
            SecretBytes file;
            ASSERT_TRUE(writeKeyFile(key, "made here", passphrase, countingSource, file));
            RsaPrivateKey again;
            std::string comment;
            ASSERT_EQ(readKeyFilePrivate(file.bytes.data(), file.bytes.size(), passphrase, again, comment),
                      KEY_FILE_OK);
            EXPECT_EQ(comment, "made here");
            for (auto [a, b] : {std::pair{key.modulus, again.modulus}, {key.privateExponent, again.privateExponent},
                                {key.p, again.p}, {key.q, again.q}, {key.u, again.u}})
                EXPECT_EQ(mpz_cmp(a, b), 0);
        }
    }
}

TEST(KeyGenerationTest, RefusesSizesOutOfRangeAndBrokenSources) {
    RsaPrivateKey key;
    EXPECT_FALSE(generateRsaKey(KEYGEN_MIN_BITS - 1, countingSource, key));
    EXPECT_FALSE(generateRsaKey(KEYGEN_MAX_BITS + 1, countingSource, key));
    EXPECT_FALSE(generateRsaKey(KEYGEN_DEFAULT_BITS, failingSource, key));
    // A source that repeats itself gives p = q every time.
    EXPECT_FALSE(generateRsaKey(KEYGEN_MIN_BITS, constantSource, key));
    SecretBytes file;
    EXPECT_FALSE(writeKeyFile(key, "", "", countingSource, file)); // no key in it
}

// Every prefix of a good file is refused, never read past its end.
TEST(KeyFileBoundsTest, TruncatedFilesAreRefused) {
    for (const Fixture& fixture : FIXTURES) {
        test::Bytes file = keyFile(fixture.key);
        for (std::size_t length = 0; length + 8 <= file.size(); ++length) {
            RsaPrivateKey key;
            std::string comment;
            KeyFileStatus status = readKeyFilePrivate(file.data(), length, PASSPHRASE, key, comment);
            EXPECT_NE(status, KEY_FILE_OK) << fixture.key << " cut at " << length;
        }
    }
}

void putBe16(test::Bytes& file, std::size_t at, unsigned value) {
    file[at] = uint8_t(value >> 8);
    file[at + 1] = uint8_t(value);
}

TEST(KeyFileBoundsTest, DamagedFieldsAreRefusedWithTheirReason) {
    const test::Bytes clear = keyFile("puttygen-clear.key");
    const std::size_t cipherAt = sizeof KEY_FILE_HEADER, bitsAt = cipherAt + 5, modulusAt = bitsAt + 4;
    const std::size_t commentAt = modulusAt + 2 + 128 + 2 + 3;
    struct Case {
        const char* what;
        std::function<void(test::Bytes&)> damage;
        KeyFileStatus expected;
    };
    const Case cases[] = {
        {"other header", [&](test::Bytes& f) { f[4] = 'X'; }, KEY_FILE_NOT_KEY_FILE},
        {"header without its zero", [&](test::Bytes& f) { f[cipherAt - 1] = ' '; }, KEY_FILE_NOT_KEY_FILE},
        {"cipher 1", [&](test::Bytes& f) { f[cipherAt] = 1; }, KEY_FILE_UNSUPPORTED_CIPHER},
        {"bits not the modulus's", [&](test::Bytes& f) { f[bitsAt + 3] = 1; }, KEY_FILE_MALFORMED},
        {"modulus above the bound", [&](test::Bytes& f) { putBe16(f, modulusAt, RSA_IDENTITY_MAX_BITS + 1); },
         KEY_FILE_MALFORMED},
        {"comment above the bound",
         [&](test::Bytes& f) {
             f[commentAt] = 0, f[commentAt + 1] = 0, f[commentAt + 2] = uint8_t((KEY_COMMENT_MAX + 1) >> 8);
             f[commentAt + 3] = uint8_t(KEY_COMMENT_MAX + 1);
             f.insert(f.begin() + long(commentAt + 4), KEY_COMMENT_MAX, 'c');
         },
         KEY_FILE_MALFORMED},
        {"check bytes differ", [&](test::Bytes& f) { f[secretOffset(f)] ^= 1; }, KEY_FILE_MALFORMED},
        {"q changed", [&](test::Bytes& f) { f[f.size() - 9] ^= 0x10; }, KEY_FILE_INCONSISTENT},
        {"larger than a key file", [&](test::Bytes& f) { f.resize(KEY_FILE_MAX_SIZE + 1); }, KEY_FILE_MALFORMED},
    };
    for (const Case& c : cases) {
        test::Bytes file = clear;
        c.damage(file);
        RsaPrivateKey key;
        std::string comment;
        EXPECT_EQ(readKeyFilePrivate(file.data(), file.size(), "", key, comment), c.expected) << c.what;
    }
    // A cipher text that is not whole blocks cannot be the cipher's.
    test::Bytes protectedFile = keyFile("puttygen-protected.key");
    protectedFile.pop_back();
    RsaPrivateKey key;
    std::string comment;
    EXPECT_EQ(readKeyFilePrivate(protectedFile.data(), protectedFile.size(), PASSPHRASE, key, comment),
              KEY_FILE_MALFORMED);
}

TEST(PublicKeyLineTest, AcceptsOnlyTheAuthorizedKeysForm) {
    std::string good = textFile("puttygen-clear.pub");
    good.pop_back();
    std::string numbers = good.substr(0, good.rfind(" puttygen"));
    std::string modulus = numbers.substr(numbers.rfind(' ') + 1);
    struct Case {
        std::string line;
        bool accepted;
        const char* comment;
    };
    const Case cases[] = {
        {good + "\n", true, "puttygen clear key"},
        {good + "\r\n", true, "puttygen clear key"},
        {numbers, true, ""},
        {numbers + "\t two  words ", true, "two  words "},
        {"1023" + numbers.substr(4), false, ""},                 // bits not the modulus's
        {"1024 65536 " + modulus, false, ""},                    // even exponent
        {"1024 65537", false, ""},                                // no modulus
        {"1024 6553x " + modulus, false, ""},                     // not decimal
        {"001024 65537 " + modulus, false, ""},                   // bits with six digits
        {"1024 65537 " + modulus + "\nsecond line", false, ""},   // two lines
        {numbers + " " + std::string(PUBLIC_KEY_LINE_MAX, 'c'), false, ""},
        {"1024 65537 " + std::string(5000, '9'), false, ""},      // more digits than the largest modulus
        {"", false, ""},
    };
    // The identity size bounds: 2^(bits-1) + 1 has exactly bits bits.
    for (uint32_t bits : {RSA_IDENTITY_MIN_BITS - 1, RSA_IDENTITY_MIN_BITS, RSA_IDENTITY_MAX_BITS,
                          RSA_IDENTITY_MAX_BITS + 1}) {
        mpz_t n;
        mpz_init(n);
        mpz_setbit(n, bits - 1);
        mpz_setbit(n, 0);
        std::vector<char> digits(mpz_sizeinbase(n, 10) + 2);
        mpz_get_str(digits.data(), 10, n);
        mpz_clear(n);
        RsaPublicKey key;
        std::string comment;
        bool inside = bits >= RSA_IDENTITY_MIN_BITS && bits <= RSA_IDENTITY_MAX_BITS;
        EXPECT_EQ(parsePublicKeyLine(std::to_string(bits) + " 3 " + digits.data(), key, comment), inside) << bits;
    }
    for (const Case& c : cases) {
        RsaPublicKey key;
        std::string comment;
        EXPECT_EQ(parsePublicKeyLine(c.line, key, comment), c.accepted) << c.line.substr(0, 40);
        if (c.accepted) {
            EXPECT_EQ(comment, c.comment);
        }
    }
}

} // namespace
} // namespace kestrel
