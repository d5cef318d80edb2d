// RSA authentication against a scripted server in the same process (no
// cipher), with identities from the black-box generator's files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "crypto/md5.h"
#include "engine/key_exchange.h"
#include "engine/key_file.h"
#include "engine/rsa_auth.h"
#include "engine/rsa_identity.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

const std::string KEYS = KESTREL_TEST_KEYS;
constexpr uint32_t MASK_PASSWORD = 1 << 3;
constexpr uint32_t MASK_RSA_AND_PASSWORD = 1 << AUTH_RSA | MASK_PASSWORD;
const char COOKIE[] = "COOKIE!!";

class FileIdentity : public RsaIdentity {
public:
    FileIdentity(const std::string& file, std::string passphrase)
        : name_(file), bytes_(test::readFile(KEYS + "/" + file)), passphrase_(std::move(passphrase)) {}
    std::string name() const override { return name_; }
    bool publicKey(RsaPublicKey& key) override {
        KeyFilePublicPart part;
        if (readKeyFilePublic(bytes_.data(), bytes_.size(), part) != KEY_FILE_OK)
            return false;
        mpz_set(key.modulus, part.key.modulus);
        mpz_set(key.exponent, part.key.exponent);
        key.bits = part.key.bits;
        return true;
    }
    bool privateKey(RsaPrivateKey& key) override {
        ++privateAsked;
        std::string comment;
        return readKeyFilePrivate(bytes_.data(), bytes_.size(), passphrase_, key, comment) == KEY_FILE_OK;
    }
    int privateAsked = 0;

private:
    std::string name_;
    test::Bytes bytes_;
    std::string passphrase_;
};

// 00 02, nonzero padding, 00, the payload: a block of the modulus's size.
test::Bytes paddedBlock(const test::Bytes& payload, std::size_t size = 128) {
    test::Bytes block(size, 0x5a);
    block[0] = 0;
    block[1] = 2;
    block[size - payload.size() - 1] = 0;
    std::copy(payload.begin(), payload.end(), block.end() - long(payload.size()));
    return block;
}

// One login from the client's first packet to where a test lets it go.
class ScriptedLogin {
public:
    ScriptedLogin() {
        folder = test::scratchFolder("rsa-auth");
        host.trustAnyHostKey(); // the script plays the server with its own keys
        // The script reads the password packet itself, not the ones hiding it.
        host.setPasswordCamouflage(PasswordCamouflage::None);
        state = new SessionState(std::make_unique<Transport>(pair.client), CIPHER_NONE, host);
        state->seedFileName = folder + "/seed";
    }
    ~ScriptedLogin() {
        server.stream().shutdownBoth();
        if (worker.joinable())
            worker.join();
        EXPECT_TRUE(destroySession(state));
        std::filesystem::remove_all(folder);
    }
    SessionEnd finish() {
        worker.join();
        return end;
    }

    FileIdentity& identity(const std::string& file, const std::string& passphrase) {
        auto made = std::make_unique<FileIdentity>(file, passphrase);
        FileIdentity& kept = *made;
        host.addIdentity(std::move(made));
        return kept;
    }

    // Up to the server's failure after the user name.
    void start(uint32_t authMask) {
        worker = std::thread([this] { end = runSession(*state); });
        std::string line;
        server.stream().writeText("SSH-1.5-scripted\n");
        ASSERT_TRUE(server.stream().readLine(line));
        send(MSG_SMSG_PUBLIC_KEY, [&](PacketBuffer& m) {
            m.append(COOKIE, 8);
            for (const test::RsaKeyPair* key : {&test::smallKey(), &test::largeKey()}) {
                m.putUint32(key->bits);
                m.putMpint(key->e);
                m.putMpint(key->n);
            }
            m.putUint32(2);
            m.putUint32(1);
            m.putUint32(authMask);
        });
        expect(MSG_CMSG_SESSION_KEY);
        send(MSG_SMSG_SUCCESS);
        expect(MSG_CMSG_USER);
        send(MSG_SMSG_FAILURE);
    }

    void send(int type, const std::function<void(PacketBuffer&)>& fill = {}) {
        PacketBuffer message;
        message.beginPacket(uint8_t(type));
        if (fill)
            fill(message);
        server.writePacket(message);
    }
    void expect(int type) { ASSERT_EQ(server.readPacket(last), type); }

    // The offered modulus must be the identity's.
    void expectOffer(const std::string& pubFile) {
        expect(MSG_CMSG_AUTH_RSA);
        Mpz offered;
        last.getMpint(offered.value);
        test::Bytes line = test::readFile(KEYS + "/" + pubFile);
        RsaPublicKey key;
        std::string comment;
        ASSERT_TRUE(parsePublicKeyLine(std::string(line.begin(), line.end()), key, comment));
        EXPECT_EQ(mpz_cmp(offered.value, key.modulus), 0);
        mpz_set(challengeKey.modulus, key.modulus);
        mpz_set(challengeKey.exponent, key.exponent);
    }

    void sendChallenge(const test::Bytes& block) {
        Mpz value;
        mpz_import(value.value, block.size(), 1, 1, 1, 0, block.data());
        mpz_powm(value.value, value.value, challengeKey.exponent, challengeKey.modulus);
        send(MSG_SMSG_AUTH_RSA_CHALLENGE, [&](PacketBuffer& m) { m.putMpint(value.value); });
    }

    // MD5 of the 32 challenge bytes and the session id, as the server checks it.
    test::Bytes expectedResponse(const test::Bytes& challenge) {
        uint8_t sessionId[16];
        computeSessionId(sessionId, reinterpret_cast<const uint8_t*>(COOKIE), test::largeKey().bits,
                         test::largeKey().n, test::smallKey().bits, test::smallKey().n);
        Md5Context md5;
        md5Init(md5);
        md5Update(md5, challenge.data(), uint32_t(challenge.size()));
        md5Update(md5, sessionId, 16);
        test::Bytes digest(16);
        md5Final(digest.data(), md5);
        return digest;
    }

    test::Bytes response() {
        expect(MSG_CMSG_AUTH_RSA_RESPONSE);
        test::Bytes bytes(last.remaining());
        last.take(bytes.data(), bytes.size());
        return bytes;
    }

    struct Mpz {
        Mpz() { mpz_init(value); }
        ~Mpz() { mpz_clear(value); }
        mpz_t value;
    };

    test::StatusRecorder status;
    test::SocketPair pair;
    FixedSessionHost host{"alice", "secret", false, {24, 80, 640, 480}};
    SessionState* state = nullptr;
    Transport server{pair.server};
    PacketBuffer last;
    RsaPublicKey challengeKey;
    std::thread worker;
    SessionEnd end = END_MALFORMED;
    std::string folder;
};

test::Bytes challengeBytes(uint8_t first) {
    test::Bytes bytes(RSA_CHALLENGE_SIZE);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(first + 7 * i);
    return bytes;
}

TEST(RsaAuthTest, RefusedKeyGoesToTheNextWhichIsAccepted) {
    ScriptedLogin login;
    FileIdentity& first = login.identity("puttygen-clear.key", "");
    FileIdentity& second = login.identity("puttygen-protected.key", "correct horse");
    login.start(MASK_RSA_AND_PASSWORD);
    login.expectOffer("puttygen-clear.pub");
    login.send(MSG_SMSG_FAILURE);
    login.expectOffer("puttygen-protected.pub");
    test::Bytes challenge = challengeBytes(0x81);
    login.sendChallenge(paddedBlock(challenge));
    EXPECT_EQ(login.response(), login.expectedResponse(challenge));
    login.send(MSG_SMSG_SUCCESS);
    login.expect(MSG_CMSG_REQUEST_PTY); // no password
    login.server.stream().shutdownBoth();
    login.finish();
    // The refused key's passphrase was never needed.
    EXPECT_EQ(first.privateAsked, 0);
    EXPECT_EQ(second.privateAsked, 1);
    EXPECT_TRUE(login.status.contains("Trying RSA authentication with puttygen-clear.key\nServer refused our key.\n"));
    EXPECT_TRUE(login.status.contains("Received RSA challenge from server.\nRSA authentication accepted.\n"
                                "Authorization successful.\n"));
}

// Whatever goes wrong on the client's side, the server gets an answer
// (zeros, which no challenge has) and the login moves on to the password.
TEST(RsaAuthTest, ChallengesAnsweredOrRefusedByTheirForm) {
    test::Bytes challenge = challengeBytes(0x11), shortChallenge(challenge.begin() + 1, challenge.end());
    test::Bytes zeroFirst = shortChallenge;
    zeroFirst.insert(zeroFirst.begin(), 0);
    test::Bytes typeOne = paddedBlock(challenge), noSeparator(128, 0x5a), tooLong = paddedBlock(test::Bytes(33, 1));
    typeOne[1] = 1;
    noSeparator[0] = 0, noSeparator[1] = 2;
    test::Bytes shortPadding = paddedBlock(test::Bytes(128 - 3 - 7, 1));
    struct Case {
        const char* what;
        test::Bytes block;
        const char* passphrase;
        test::Bytes expected;
    };
    const Case cases[] = {
        {"a leading zero is kept", paddedBlock(shortChallenge), "correct horse", {}},
        {"wrong passphrase", paddedBlock(challenge), "wrong", test::Bytes(16, 0)},
        {"block type 1", typeOne, "correct horse", test::Bytes(16, 0)},
        {"no separator", noSeparator, "correct horse", test::Bytes(16, 0)},
        {"33 bytes", tooLong, "correct horse", test::Bytes(16, 0)},
        {"7 bytes of padding", shortPadding, "correct horse", test::Bytes(16, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLogin login;
        login.identity("puttygen-protected.key", c.passphrase);
        login.start(MASK_RSA_AND_PASSWORD);
        login.expectOffer("puttygen-protected.pub");
        login.sendChallenge(c.block);
        bool refused = !c.expected.empty();
        EXPECT_EQ(login.response(), refused ? c.expected : login.expectedResponse(zeroFirst));
        login.send(refused ? MSG_SMSG_FAILURE : MSG_SMSG_SUCCESS);
        if (refused) {
            login.expect(MSG_CMSG_AUTH_PASSWORD);
            EXPECT_EQ(login.last.getString(), "secret");
        } else {
            login.expect(MSG_CMSG_REQUEST_PTY);
        }
    }
}

TEST(RsaAuthTest, ServerWithoutRsaGetsThePasswordAtOnce) {
    ScriptedLogin login;
    FileIdentity& only = login.identity("puttygen-clear.key", "");
    login.start(MASK_PASSWORD);
    login.expect(MSG_CMSG_AUTH_PASSWORD);
    EXPECT_EQ(only.privateAsked, 0);
    EXPECT_FALSE(login.status.contains("Trying RSA"));
}

TEST(RsaAuthTest, RepliesOutsideTheExchangeEndTheSession) {
    struct Case {
        const char* what;
        std::function<void(ScriptedLogin&)> reply;
        SessionEnd end;
        const char* shown;
    };
    const Case cases[] = {
        {"disconnect",
         [](ScriptedLogin& t) {
             t.send(MSG_DISCONNECT, [](PacketBuffer& m) { m.putString("Keys are for staff only"); });
         },
         END_LOGIN_REFUSED, "Server response: Keys are for staff only\n"},
        {"success instead of a challenge", [](ScriptedLogin& t) { t.send(MSG_SMSG_SUCCESS); }, END_MALFORMED,
         "ERROR - Unexpected reply to RSA authentication\n"},
        {"challenge without its integer", [](ScriptedLogin& t) { t.send(MSG_SMSG_AUTH_RSA_CHALLENGE); },
         END_MALFORMED, "ERROR - Malformed packet received\n"},
        {"hang-up", [](ScriptedLogin& t) { t.server.stream().shutdownBoth(); }, END_CONNECTION_LOST,
         "ERROR - Connection lost during RSA authentication\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLogin login;
        login.identity("puttygen-clear.key", "");
        login.start(MASK_RSA_AND_PASSWORD);
        login.expectOffer("puttygen-clear.pub");
        c.reply(login);
        EXPECT_EQ(login.finish(), c.end);
        EXPECT_TRUE(login.status.contains(c.shown)) << login.status.text();
    }
}

TEST(RsaPrivateKeyTest, CrtDecryptionAgreesWithThePlainPower) {
    test::Bytes file = test::readFile(KEYS + "/puttygen-clear.key");
    RsaPrivateKey key;
    std::string comment;
    ASSERT_EQ(readKeyFilePrivate(file.data(), file.size(), "", key, comment), KEY_FILE_OK);
    mpz_t input, fast, plain;
    mpz_inits(input, fast, plain, nullptr);
    for (unsigned long seed : {0ul, 1ul, 2ul, 12345ul}) {
        mpz_set_ui(input, seed);
        mpz_pow_ui(input, input, 97);
        mpz_mod(input, input, key.modulus);
        ASSERT_TRUE(rsaPrivateDecrypt(fast, input, key));
        mpz_powm(plain, input, key.privateExponent, key.modulus);
        EXPECT_EQ(mpz_cmp(fast, plain), 0) << seed;
    }
    EXPECT_FALSE(rsaPrivateDecrypt(fast, key.modulus, key)); // not below the modulus
    mpz_clears(input, fast, plain, nullptr);
}

} // namespace
} // namespace kestrel
