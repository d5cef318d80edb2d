#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "crypto/md5.h"
#include "engine/cipher_choice.h"
#include "engine/gmp_memory.h"
#include "engine/key_exchange.h"
#include "engine/protocol.h"
#include "engine/secret_text.h"
#include "engine/seed_file.h"
#include "engine/system_random.h"
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
        host.trustAnyHostKey();
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
    // The block 00 02, padding, 00, input keeps RSA_MIN_RANDOM_PADDING random
    // bytes: 85 input bytes fit the 96-byte key, 86 do not.
    setKey(key, small);
    for (std::size_t inputBytes : {85u, 86u}) {
        Mpz longer;
        mpz_set_ui(longer.value, 1);
        mpz_mul_2exp(longer.value, longer.value, 8 * inputBytes - 1);
        bool done = rsaPublicEncrypt(output.value, longer.value, key, *pool);
        EXPECT_EQ(done, inputBytes == 85) << inputBytes;
        if (done) {
            EXPECT_EQ(unwrap(output.value, small), inputBytes);
        }
    }
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

// The wiping functions must be in place and must not lose a value as it grows.
TEST(GmpMemoryTest, ReallocationMovesToANewBlockAndKeepsTheValue) {
    useWipingGmpMemory();
    void* (*allocate)(std::size_t);
    void* (*reallocate)(void*, std::size_t, std::size_t);
    void (*release)(void*, std::size_t);
    mp_get_memory_functions(&allocate, &reallocate, &release);
    // A realloc in place (what the C library does when shrinking) could
    // leave the cut-off part unzeroed; ours always moves.
    auto* block = static_cast<unsigned char*>(allocate(64));
    std::memset(block, 0xA5, 64);
    auto* moved = static_cast<unsigned char*>(reallocate(block, 64, 32));
    EXPECT_NE(moved, block);
    EXPECT_EQ(std::count(moved, moved + 32, 0xA5), 32);
    release(moved, 32);

    Mpz grown(1), expected;
    for (int i = 0; i < 40; ++i) {
        mpz_mul_2exp(grown.value, grown.value, 100);
        mpz_add_ui(grown.value, grown.value, 1);
    }
    mpz_ui_pow_ui(expected.value, 2, 4100);
    mpz_sub_ui(expected.value, expected.value, 1);
    Mpz divisor;
    mpz_ui_pow_ui(divisor.value, 2, 100);
    mpz_sub_ui(divisor.value, divisor.value, 1);
    mpz_divexact(expected.value, expected.value, divisor.value);
    EXPECT_EQ(mpz_cmp(grown.value, expected.value), 0);
    // clearSecret zeroes the value and keeps it usable.
    clearSecret(grown.value);
    EXPECT_EQ(mpz_sgn(grown.value), 0);
    mpz_add_ui(grown.value, grown.value, 7);
    EXPECT_EQ(mpz_get_ui(grown.value), 7u);
}

// Characters removed (backspace, a shorter second answer) still sit in the
// capacity; the wipe must reach them. The check reads the string's own
// storage past its end, which the wipe leaves allocated.
TEST(SecretTextTest, WipeReachesTheWholeCapacity) {
    std::string typed = "a password long enough for the heap";
    std::size_t typedLength = typed.size();
    typed.resize(3);
    const char* storage = typed.data();
    wipeString(typed);
    EXPECT_TRUE(typed.empty());
    ASSERT_EQ(typed.data(), storage);
    EXPECT_EQ(std::count(storage, storage + typedLength, '\0'), long(typedLength));
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
    // L = 14, so 2 padding bytes (random under a cipher), the type, then the string.
    EXPECT_FALSE(wire[4] == 0 && wire[5] == 0);
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
    EXPECT_TRUE(status.contains("ERROR - Server and host key sizes differ by less than 128 bits\n"));
    EXPECT_FALSE(status.contains("Creating session key"));
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

TEST_F(KeyExchangeTest, AHostThatDoesNotTrustTheKeyEndsTheExchangeBeforeAnythingIsSent) {
    FixedSessionHost wary{"user", "secret", false, {24, 80, 640, 480}};
    // Unconnected: anything the exchange tried to send would fail it.
    SessionState waryState(std::make_unique<Transport>(), CIPHER_BLOWFISH, wary);
    PacketBuffer message;
    publicKeyMessage(message, small, large);
    auto serverKey = readServerKey(waryState, message);
    ASSERT_TRUE(serverKey);
    EXPECT_FALSE(completeKeyExchange(waryState, message, *serverKey));
    EXPECT_TRUE(status.contains("ERROR - Host key not accepted\n"));
    EXPECT_FALSE(status.contains("Computing session id"));
    EXPECT_FALSE(waryState.cipherTransport);
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

// --- the system's random bytes in the session key ---------------------------

// The source answers poolInit's call (the first) and the call right before
// the key is drawn (the later ones) with bytes of its own, or fails on one.
uint8_t firstCallByte = 0;
uint8_t laterCallByte = 0;
int sourceCalls = 0;
int failAtCall = -1;

bool countingSource(uint8_t* destination, std::size_t count) {
    int call = sourceCalls++;
    if (call == failAtCall)
        return false;
    std::memset(destination, call == 0 ? firstCallByte : laterCallByte, count);
    return true;
}

uint32_t frozenClock() { return 250; }

class SystemNoiseExchangeTest : public KeyExchangeTest {
protected:
    void SetUp() override {
        KeyExchangeTest::SetUp();
        setPoolMillisecondSource(frozenClock);
        setSystemRandomSource(countingSource);
    }
    void TearDown() override {
        setSystemRandomSource(nullptr);
        setPoolMillisecondSource(nullptr);
        KeyExchangeTest::TearDown();
    }

    void useSource(uint8_t first, uint8_t later, int failAt = -1) {
        firstCallByte = first;
        laterCallByte = later;
        sourceCalls = 0;
        failAtCall = failAt;
    }

    // One exchange from the same seed file, clock, pool record and name, so
    // only the system's bytes can differ; returns the key the server recovers.
    Bytes exchange(uint8_t first, uint8_t later) {
        useSource(first, later);
        Bytes stored(SEED_FILE_SIZE, 0x5a);
        EXPECT_TRUE(seedFileWrite(state->seedFileName.c_str(), stored.data(), stored.size()));
        poolWipe(state->pool);
        PacketBuffer message;
        publicKeyMessage(message, small, large);
        std::unique_ptr<RsaPublicKey> serverKey = readServerKey(*state, message);
        EXPECT_TRUE(completeKeyExchange(*state, message, *serverKey));
        Transport serverSide(pair.server);
        PacketBuffer received;
        EXPECT_EQ(serverSide.readPacket(received), MSG_CMSG_SESSION_KEY);
        uint8_t head[9];
        received.take(head, sizeof head);
        Mpz k;
        EXPECT_TRUE(received.getMpint(k.value));
        unwrap(k.value, large);
        unwrap(k.value, small);
        Bytes key = toBytes(k.value, 32);
        for (int i = 0; i < 16; ++i)
            key[i] ^= state->sessionId[i];
        return key;
    }
};

TEST_F(SystemNoiseExchangeTest, SessionKeyFollowsTheSystemBytesAtInitAndRightBeforeTheKey) {
    Bytes base = exchange(1, 1);
    EXPECT_EQ(exchange(1, 1), base); // everything else is held still
    EXPECT_NE(exchange(2, 1), base);
    EXPECT_NE(exchange(1, 2), base);
}

TEST_F(SystemNoiseExchangeTest, FailingSourceSendsNoSessionKey) {
    for (int failAt : {0, 1}) {
        test::SocketPair link;
        SessionState session(std::make_unique<Transport>(link.client), CIPHER_BLOWFISH, host);
        session.seedFileName = folder + "/seed-" + std::to_string(failAt);
        useSource(1, 1, failAt);
        PacketBuffer message;
        publicKeyMessage(message, small, large);
        std::unique_ptr<RsaPublicKey> serverKey = readServerKey(session, message);
        EXPECT_FALSE(completeKeyExchange(session, message, *serverKey));
        EXPECT_FALSE(session.cipherTransport);
        // No seed file from a pool that lacked the system's bytes.
        EXPECT_EQ(std::filesystem::exists(session.seedFileName), failAt != 0);
        // The peer sees the end of the stream, not a session-key message.
        session.plainTransport->stream().shutdownBoth();
        Transport serverSide(link.server);
        PacketBuffer received;
        EXPECT_EQ(serverSide.readPacket(received), READ_CONNECTION_LOST) << failAt;
    }
    EXPECT_TRUE(status.contains("ERROR - System random source failed (replaced source failed); "
                                "no session key sent\n"));
    EXPECT_FALSE(status.contains("Sending cipher/key"));
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
