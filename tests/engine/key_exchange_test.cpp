#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "crypto/md5.h"
#include "engine/cipher_choice.h"
#include "engine/key_exchange.h"
#include "engine/protocol.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

using test::Bytes;
using test::Mpz;

void setKey(RsaPublicKey& key, const test::RsaKeyPair& pair, uint32_t announcedBits = 0) {
    mpz_set(key.exponent, pair.e);
    mpz_set(key.modulus, pair.n);
    key.bits = announcedBits != 0 ? announcedBits : pair.bits;
}

Bytes toBytes(const mpz_t value, std::size_t count) {
    Bytes bytes(count);
    integerToBytes(bytes.data(), count, value);
    return bytes;
}

// Undoes one encryption, checks the type-2 block (00 02, nonzero padding,
// 00) and leaves the input in value; returns the input's length.
std::size_t unwrap(mpz_t value, const test::RsaKeyPair& key) {
    Mpz block;
    mpz_powm(block.value, value, key.d, key.n);
    std::size_t keyLength = (key.bits + 7) / 8;
    Bytes bytes = toBytes(block.value, keyLength);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x02);
    std::size_t separator = 2;
    while (separator < keyLength && bytes[separator] != 0)
        ++separator;
    EXPECT_LT(separator, keyLength);
    mpz_import(value, keyLength - separator - 1, 1, 1, 1, 0, bytes.data() + separator + 1);
    return keyLength - separator - 1;
}

class KeyExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::scratchFolder("kex");
        pool = std::make_unique<RandomPool>();
        poolInit(*pool, (folder + "/ssh_seedfile").c_str());
        state = std::make_unique<SessionState>(std::make_unique<Transport>(pair.client), CIPHER_BLOWFISH,
                                               host);
        state->seedFileName = folder + "/seed";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    const test::RsaKeyPair& small = test::smallKey();
    const test::RsaKeyPair& large = test::largeKey();
    std::string folder;
    std::unique_ptr<RandomPool> pool;
    test::StatusRecorder status;
    test::SocketPair pair;
    FixedSessionHost host{"user", "secret", false, {24, 80, 640, 480}};
    std::unique_ptr<SessionState> state;
};

TEST(IntegerToBytesTest, PadsAndTruncatesFromTheTop) {
    Mpz value;
    mpz_set_str(value.value, "0102030405", 16);
    EXPECT_EQ(toBytes(value.value, 7), (Bytes{0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(toBytes(value.value, 3), (Bytes{3, 4, 5}));
    mpz_set_ui(value.value, 0);
    EXPECT_EQ(toBytes(value.value, 2), (Bytes{0, 0}));
}

TEST_F(KeyExchangeTest, SessionIdUsesTheAnnouncedSizes) {
    uint8_t cookie[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t id[16];
    computeSessionId(id, cookie, 1023 + 8, large.n, 700, small.n);
    Bytes material = toBytes(large.n, 129); // 1031 bits announced: 129 bytes
    Bytes server = toBytes(small.n, 88);    // 700 bits: 88 bytes, top bytes dropped
    material.insert(material.end(), server.begin(), server.end());
    material.insert(material.end(), cookie, cookie + 8);
    Md5Context md5;
    uint8_t expected[16];
    md5Init(md5);
    md5Update(md5, material.data(), uint32_t(material.size()));
    md5Final(expected, md5);
    EXPECT_EQ(Bytes(id, id + 16), Bytes(expected, expected + 16));
    EXPECT_EQ(material[0], 0);
}

TEST_F(KeyExchangeTest, KeysThatCannotCarryTheInputAreRefused) {
    RsaPublicKey key;
    Mpz input, output;
    // 32-byte input, announced 34-byte key: one byte short of 00 02 .. 00.
    mpz_set_str(input.value, "ff", 16);
    mpz_mul_2exp(input.value, input.value, 31 * 8);
    setKey(key, small, 34 * 8);
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, key, *pool));
    // Announced larger than the real modulus: the block would not fit below it.
    setKey(key, small, 1024);
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, key, *pool));
    // An exponent as large as the modulus (the cost of powm grows with it).
    setKey(key, large);
    mpz_set(key.exponent, key.modulus);
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, key, *pool));
    // A modulus far larger than any announced size would be as costly.
    mpz_set_ui(key.exponent, 3);
    mpz_ui_pow_ui(key.modulus, 2, RSA_MAX_BITS + 8);
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, key, *pool));
    // A zero modulus (and zero size) must not reach the arithmetic.
    RsaPublicKey empty;
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, empty, *pool));
    empty.bits = 768;
    EXPECT_FALSE(rsaPublicEncrypt(output.value, input.value, empty, *pool));
}

// --- the whole exchange over a connection ----------------------------------

void putKey(PacketBuffer& message, const test::RsaKeyPair& key, uint32_t bits) {
    message.putUint32(bits);
    message.putMpint(key.e);
    message.putMpint(key.n);
}

void publicKeyMessage(PacketBuffer& message, const test::RsaKeyPair& server, const test::RsaKeyPair& host,
                      long hostBits = -1) {
    const uint8_t cookie[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    message.reset();
    message.append(cookie, 8);
    putKey(message, server, server.bits);
    putKey(message, host, hostBits >= 0 ? uint32_t(hostBits) : host.bits);
    message.putUint32(2);
    message.putUint32(0x48);
    message.putUint32(4);
    message.advance(-std::ptrdiff_t(message.length()));
}

class FullExchangeTest : public KeyExchangeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FullExchangeTest, SessionKeyRecoveredWithThePrivateKeysKeysTheTransport) {
    bool serverSmaller = GetParam();
    const test::RsaKeyPair& server = serverSmaller ? small : large;
    const test::RsaKeyPair& hostKey = serverSmaller ? large : small;
    Bytes seedBefore = test::readFile(state->seedFileName);

    PacketBuffer message;
    publicKeyMessage(message, server, hostKey);
    std::unique_ptr<RsaPublicKey> serverKey = readServerKey(*state, message);
    ASSERT_TRUE(serverKey);
    ASSERT_TRUE(completeKeyExchange(*state, message, *serverKey));
    EXPECT_EQ(state->cipherType, CIPHER_BLOWFISH);
    ASSERT_TRUE(state->cipherTransport);
    EXPECT_NE(test::readFile(state->seedFileName), seedBefore);

    Transport serverSide(pair.server);
    PacketBuffer received;
    ASSERT_EQ(serverSide.readPacket(received), MSG_CMSG_SESSION_KEY);
    EXPECT_EQ(received.getByte(), CIPHER_BLOWFISH);
    uint8_t cookie[8];
    received.take(cookie, 8);
    EXPECT_EQ(std::memcmp(cookie, state->cookie, 8), 0);
    Mpz k;
    ASSERT_TRUE(received.getMpint(k.value));
    EXPECT_EQ(received.getUint32(), 0u);
    EXPECT_FALSE(received.failed());

    // Outer layer first: the larger key was applied last.
    const test::RsaKeyPair& outer = serverSmaller ? hostKey : server;
    const test::RsaKeyPair& inner = serverSmaller ? server : hostKey;
    EXPECT_LE(unwrap(k.value, outer), (inner.bits + 7) / 8);
    EXPECT_LE(unwrap(k.value, inner), 32u);
    Bytes sessionKey = toBytes(k.value, 32);
    for (int i = 0; i < 16; ++i)
        sessionKey[i] ^= state->sessionId[i];

    // The cipher is keyed with the raw 32 bytes.
    auto oracle = std::make_unique<CipherContext>();
    cipherKeyBlowfish(*oracle, sessionKey.data(), 32);
    PacketBuffer out;
    out.beginPacket(MSG_CMSG_STDIN_DATA);
    out.putString("hello");
    state->cipherTransport->writePacket(out);
    Bytes wire(4 + 16);
    ASSERT_EQ(SocketStream(pair.server).receiveExactly(wire.data(), wire.size()), long(wire.size()));
    cipherDecrypt(*oracle, wire.data() + 4, 16);
    // L = 14, so 2 padding bytes, the type, then the string.
    EXPECT_EQ(wire[6], MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(std::string(wire.begin() + 11, wire.begin() + 16), "hello");

    EXPECT_TRUE(status.contains("Encrypting key\nKey encrypted\n"));
}

INSTANTIATE_TEST_SUITE_P(BothOrders, FullExchangeTest, ::testing::Values(true, false));

TEST_F(KeyExchangeTest, UnusableHostKeysEndTheExchangeWithAStatusLine) {
    PacketBuffer message;
    // Server key only 8 bits shorter than the host key: no room for padding.
    test::RsaKeyPair close(1016, 13);
    publicKeyMessage(message, close, large);
    auto serverKey = readServerKey(*state, message);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(completeKeyExchange(*state, message, *serverKey));
    EXPECT_TRUE(status.contains("ERROR - Server public key rejected\n"));
    EXPECT_FALSE(state->cipherTransport);

    // Host key announced with zero bits.
    publicKeyMessage(message, small, large, 0);
    serverKey = readServerKey(*state, message);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(completeKeyExchange(*state, message, *serverKey));
    // A message cut short inside the host key's size.
    publicKeyMessage(message, small, large);
    serverKey = readServerKey(*state, message);
    message.setReadLimit(message.length() + 2);
    EXPECT_FALSE(completeKeyExchange(*state, message, *serverKey));
    EXPECT_TRUE(status.contains("ERROR - Cannot read server public key\n"));
}

TEST_F(KeyExchangeTest, AbsurdServerKeySizesAreRefused) {
    PacketBuffer message;
    for (uint32_t bits : {0u, RSA_MAX_BITS + 1}) {
        message.reset();
        message.append("cookie!!", 8);
        putKey(message, small, bits);
        message.advance(-std::ptrdiff_t(message.length()));
        EXPECT_FALSE(readServerKey(*state, message)) << bits;
    }
}

// --- the cipher the session key message names ------------------------------

std::string tried(const std::string& name) { return "Attempting cipher type '" + name + "'...\n"; }
std::string refused(const std::string& name) {
    return tried(name) + "Cipher type '" + name + "' not supported by server.\n";
}
std::string taken(const std::string& name) { return tried(name) + "Cipher '" + name + "' selected.\n"; }

struct ChoiceCase {
    uint8_t preference;
    uint32_t mask;
    uint8_t sent;
    std::string lines;
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << int(c.preference) << "/" << c.mask; }

class CipherChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(CipherChoiceTest, SendsTheCipherAndShowsEachAttempt) {
    const ChoiceCase& c = GetParam();
    test::StatusRecorder status;
    FixedSessionHost host("u", "p", false, {24, 80, 0, 0});
    SessionState state(std::make_unique<Transport>(), c.preference, host);
    EXPECT_EQ(chooseCipher(state, c.preference, c.mask), c.sent);
    EXPECT_EQ(status.text(), c.lines);
}

// Mask 0x48 offers Triple-DES and Blowfish; 0x02 only bit 1; 0x40 only
// Blowfish. A Triple-DES preference always ends in Triple-DES (the second
// attempt is taken regardless), and only the user's own choice sends none.
const std::string BLOWFISH_REFUSED = refused("BLOWFISH") + refused("BLOWFISHCBC");
const std::string TRIPLE_DES_AGAIN = refused("3DES") + taken("3DESCBC");

INSTANTIATE_TEST_SUITE_P(
    Choices, CipherChoiceTest,
    ::testing::Values(
        ChoiceCase{3, 0x48, 3, taken("3DES")}, ChoiceCase{6, 0x48, 6, taken("BLOWFISH")},
        // An unknown stored preference behaves as the default.
        ChoiceCase{77, 0x48, 3, taken("3DES")},
        ChoiceCase{6, 0x08, 3, BLOWFISH_REFUSED + taken("3DES")},
        ChoiceCase{3, 0x02, 3, TRIPLE_DES_AGAIN}, ChoiceCase{3, 0x40, 3, TRIPLE_DES_AGAIN},
        ChoiceCase{3, 0x00, 3, TRIPLE_DES_AGAIN},
        ChoiceCase{0, 0x48, 0, tried("NONE") + "No cipher selected. Encryption disabled.\n"},
        ChoiceCase{6, 0x00, 3, BLOWFISH_REFUSED + TRIPLE_DES_AGAIN},
        // Single DES (mask bit 0x04) only when asked for; refused, the
        // stronger Triple-DES follows; offered alone, never taken unasked.
        ChoiceCase{2, 0x4C, 2, taken("DES")}, ChoiceCase{2, 0x48, 3, refused("DES") + taken("3DES")},
        ChoiceCase{3, 0x04, 3, TRIPLE_DES_AGAIN}, ChoiceCase{6, 0x04, 3, BLOWFISH_REFUSED + TRIPLE_DES_AGAIN},
        // Starting at the second Triple-DES attempt runs out of candidates
        // before 3DESCBC could follow a refused 3DES; still never none.
        ChoiceCase{9, 0x00, 3,
                   refused("3DESCBC") + refused("3DES") + BLOWFISH_REFUSED +
                       "Server offers no known cipher; trying '3DES'.\n"}));

} // namespace
} // namespace kestrel
