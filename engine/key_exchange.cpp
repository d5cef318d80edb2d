#include "engine/key_exchange.h"

#include <cstring>
#include <vector>

#include "crypto/md5.h"
#include "crypto/secure_zero.h"
#include "engine/cipher_choice.h"
#include "engine/gmp_memory.h"
#include "engine/key_checks.h"
#include "engine/seed_file.h"
#include "engine/status_log.h"
#include "engine/system_random.h"

namespace kestrel {

namespace {

// Bytes of the seed file mixed in once more before the session key is drawn.
constexpr std::size_t SEED_REMIX_SIZE = 16;

constexpr const char* TEXT_KEY_UNREADABLE = "ERROR - Cannot read server public key\n";
constexpr const char* TEXT_KEY_REFUSED = "ERROR - Server public key rejected\n";
constexpr const char* TEXT_HOST_KEY_REFUSED = "ERROR - Host key not accepted\n";
constexpr const char* TEXT_NO_RANDOMNESS = "ERROR - System random source failed (";
constexpr const char* TEXT_NO_RANDOMNESS_END = "); no session key sent\n";

bool sizeUsable(uint32_t bits) { return bits > 0 && bits <= RSA_MAX_BITS; }

bool readKeyBody(PacketBuffer& buffer, RsaPublicKey& key) {
    key.bits = buffer.getUint32();
    buffer.getMpint(key.exponent);
    buffer.getMpint(key.modulus);
    return !buffer.failed();
}

std::size_t byteLength(const mpz_t value) { return (mpz_sizeinbase(value, 2) + 7) / 8; }

std::unique_ptr<CipherTransport> makeCipherTransport(SessionState& state) {
    Transport& plain = *state.plainTransport;
    switch (state.cipherType) {
    case CIPHER_TRIPLE_DES:
        return std::make_unique<TripleDesTransport>(plain, state.contexts);
    case CIPHER_BLOWFISH:
        return std::make_unique<BlowfishTransport>(plain, state.contexts);
    case CIPHER_DES:
        return std::make_unique<DesTransport>(plain, state.contexts);
    default:
        return std::make_unique<NullCipherTransport>(plain, state.contexts);
    }
}

// A key from a pool without system noise would rest on the seed file, the
// clock and addresses alone: the session is not started on it.
void reportNoRandomness() {
    logStatus(std::string(TEXT_NO_RANDOMNESS) + systemRandomFailure() + TEXT_NO_RANDOMNESS_END);
}

void remixSeed(SessionState& state) {
    uint8_t stored[SEED_REMIX_SIZE];
    std::intptr_t handleValue = -1;
    long got = seedFileRead(state.seedFileName.c_str(), stored, sizeof stored, handleValue);
    // A short file counts as missing, as in poolInit.
    if (got == long(sizeof stored)) {
        poolAddNoise(state.pool, stored, std::size_t(got));
        poolStir(state.pool);
    }
    secureZero(stored, sizeof stored);
}

// The pool prepared from the seed file and the system source, the key drawn,
// the seed file renewed. False (after a status line) without system noise.
bool drawSessionKey(SessionState& state, uint8_t (&sessionKey)[SESSION_KEY_SIZE]) {
    if (!poolInit(state.pool, state.seedFileName.c_str())) {
        reportNoRandomness();
        return false;
    }
    logStatus("Opening seedfile\n");
    remixSeed(state);
    logStatus("Creating session key\n");
    // Fresh noise right before the key: a first seed file written by
    // poolInit is pool output, and the key must not follow from what it shows.
    if (!poolAddSystemNoise(state.pool)) {
        reportNoRandomness();
        return false;
    }
    for (uint8_t& byte : sessionKey)
        byte = poolGetByte(state.pool);
    poolSave(state.pool, state.seedFileName.c_str());
    return true;
}

// Encrypts with the smaller key first so the outer block can hold the inner result.
bool encryptTwice(mpz_t k, SessionState& state, const RsaPublicKey& serverKey,
                  const RsaPublicKey& hostKey) {
    bool serverFirst = mpz_cmp(serverKey.modulus, hostKey.modulus) < 0;
    const RsaPublicKey& inner = serverFirst ? serverKey : hostKey;
    const RsaPublicKey& outer = serverFirst ? hostKey : serverKey;
    return rsaPublicEncrypt(k, k, inner, state.pool) && rsaPublicEncrypt(k, k, outer, state.pool);
}

} // namespace

void clearSecret(mpz_t value) {
    // All the allocated limbs: those above the current size may hold an
    // earlier, larger value.
    mp_size_t allocated = value->_mp_alloc;
    if (allocated > 0)
        secureZero(mpz_limbs_modify(value, allocated), std::size_t(allocated) * sizeof(mp_limb_t));
    mpz_set_ui(value, 0);
}

std::unique_ptr<RsaPublicKey> readServerKey(SessionState& state, PacketBuffer& buffer) {
    buffer.take(state.cookie, sizeof state.cookie);
    auto key = std::make_unique<RsaPublicKey>();
    if (!readKeyBody(buffer, *key) || !sizeUsable(key->bits))
        return nullptr;
    return key;
}

void integerToBytes(uint8_t* destination, std::size_t count, const mpz_t value) {
    std::size_t length = byteLength(value);
    std::vector<uint8_t> bytes(length + 1);
    std::size_t written = 0;
    mpz_export(bytes.data(), &written, 1, 1, 1, 0, value);
    // Shorter values are preceded by zeros; bits above count bytes are dropped.
    std::memset(destination, 0, count);
    std::size_t kept = written < count ? written : count;
    std::memcpy(destination + count - kept, bytes.data() + written - kept, kept);
}

void computeSessionId(uint8_t destination[16], const uint8_t cookie[8], uint32_t hostBits,
                      const mpz_t hostModulus, uint32_t serverBits, const mpz_t serverModulus) {
    std::size_t hostBytes = (std::size_t(hostBits) + 7) / 8;
    std::size_t serverBytes = (std::size_t(serverBits) + 7) / 8;
    std::vector<uint8_t> material(hostBytes + serverBytes + 8);
    integerToBytes(material.data(), hostBytes, hostModulus);
    integerToBytes(material.data() + hostBytes, serverBytes, serverModulus);
    std::memcpy(material.data() + hostBytes + serverBytes, cookie, 8);
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, material.data(), uint32_t(material.size()));
    md5Final(destination, md5);
}

bool rsaPublicEncrypt(mpz_t result, const mpz_t input, const RsaPublicKey& key, RandomPool& pool) {
    std::size_t inLength = byteLength(input);
    std::size_t keyLength = (std::size_t(key.bits) + 7) / 8;
    if (!sizeUsable(key.bits) || keyLength < inLength + RSA_PADDING_OVERHEAD + RSA_MIN_RANDOM_PADDING)
        return false;
    // The real modulus and exponent bound the cost of the arithmetic; a
    // server's word for the size does not.
    if (mpz_sizeinbase(key.modulus, 2) > RSA_MAX_BITS || mpz_cmp(key.exponent, key.modulus) >= 0)
        return false;
    mpz_t block;
    mpz_init_set_ui(block, 2);
    for (std::size_t i = 2; i < keyLength - inLength - 1; ++i) {
        uint8_t byte;
        do
            byte = poolGetByte(pool);
        while (byte == 0);
        mpz_mul_2exp(block, block, 8);
        mpz_add_ui(block, block, byte);
    }
    mpz_mul_2exp(block, block, 8 * (inLength + 1));
    mpz_add(block, block, input);
    // An announced size larger than the real modulus gives a block the
    // modulus cannot carry: the server could never decrypt it.
    bool fits = mpz_cmp(block, key.modulus) < 0;
    if (fits)
        mpz_powm(result, block, key.exponent, key.modulus);
    clearSecret(block);
    mpz_clear(block);
    return fits;
}

bool completeKeyExchange(SessionState& state, PacketBuffer& buffer, RsaPublicKey& serverKey) {
    state.cipherType = CIPHER_NEGOTIATING;
    RsaPublicKey hostKey;
    logStatus("Getting host key bits\n");
    hostKey.bits = buffer.getUint32();
    logStatus("Getting host key E\n");
    buffer.getMpint(hostKey.exponent);
    logStatus("Getting host key N\n");
    buffer.getMpint(hostKey.modulus);
    logStatus("Getting flags/ciphers/auth\n");
    buffer.getUint32(); // protocol flags: none this client acts on
    uint32_t cipherMask = buffer.getUint32();
    state.authMask = buffer.getUint32();
    if (buffer.failed()) {
        logStatus(TEXT_KEY_UNREADABLE);
        return false;
    }
    if (!sizeUsable(hostKey.bits)) {
        logStatus(TEXT_KEY_REFUSED);
        return false;
    }
    if (!checkServerKeys(serverKey, hostKey))
        return false;
    if (!state.host.acceptHostKey(hostKey)) {
        logStatus(TEXT_HOST_KEY_REFUSED);
        return false;
    }

    logStatus("Computing session id\n");
    computeSessionId(state.sessionId, state.cookie, hostKey.bits, hostKey.modulus, serverKey.bits,
                     serverKey.modulus);
    logStatus("Session id computed\n");

    uint8_t sessionKey[SESSION_KEY_SIZE];
    if (!drawSessionKey(state, sessionKey))
        return false;

    uint8_t mixed[SESSION_KEY_SIZE];
    std::memcpy(mixed, sessionKey, sizeof mixed);
    for (std::size_t i = 0; i < SESSION_ID_SIZE; ++i)
        mixed[i] ^= state.sessionId[i];
    mpz_t k;
    // Room for the largest result up front: a reallocation during the
    // encryptions would free the limbs holding the session key unzeroed.
    mpz_init2(k, RSA_MAX_BITS + 2 * GMP_NUMB_BITS);
    mpz_import(k, sizeof mixed, 1, 1, 1, 0, mixed);
    secureZero(mixed, sizeof mixed);

    logStatus("Encrypting key\n");
    bool encrypted = encryptTwice(k, state, serverKey, hostKey);
    // mpz_powm's scratch, with the padded key in it, was on the stack.
    scrubStack();
    if (!encrypted) {
        clearSecret(k);
        mpz_clear(k);
        secureZero(sessionKey, sizeof sessionKey);
        logStatus(TEXT_KEY_REFUSED);
        return false;
    }
    logStatus("Key encrypted\n");

    state.cipherType = uint8_t(state.cipherPreference);
    state.cipherType = chooseCipher(state, state.cipherType, cipherMask);

    logStatus("Sending cipher/key\n");
    PacketBuffer message;
    message.beginPacket(MSG_CMSG_SESSION_KEY);
    message.putByte(state.cipherType);
    message.append(state.cookie, sizeof state.cookie);
    message.putMpint(k);
    message.putUint32(0);
    clearSecret(k);
    mpz_clear(k);
    sendPacket(state, *state.plainTransport, message);

    std::unique_ptr<CipherTransport> cipher = makeCipherTransport(state);
    cipher->setSessionKey(sessionKey, sizeof sessionKey);
    secureZero(sessionKey, sizeof sessionKey);
    uint8_t paddingSeed[PaddingSource::SEED_SIZE];
    for (uint8_t& byte : paddingSeed)
        byte = poolGetByte(state.pool);
    cipher->padding().seed(paddingSeed, sizeof paddingSeed);
    secureZero(paddingSeed, sizeof paddingSeed);
    std::lock_guard<std::mutex> hold(state.sendLock);
    state.cipherTransport = std::move(cipher);
    return true;
}

} // namespace kestrel
