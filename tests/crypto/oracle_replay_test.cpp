// Replays the reference vectors that crypto_oracle_gen computed with an
// independent implementation. Portable: it reads a file, so it runs in the
// Windows build too, where that implementation does not exist.
// Usage: crypto_oracle_replay_test [gtest flags] <vectors file>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/cipher_context.h"
#include "crypto/md5.h"
#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

using test::fromHex;
using test::toHex;

std::string vectorsPath;

struct Packet {
    std::string plain;
    std::string wire;
};

struct Stream {
    std::string cipher; // "tdes", "des" or "bf"
    std::vector<uint8_t> key;
    std::vector<Packet> packets;
};

struct Digest {
    std::string message;
    std::string digest;
};

struct Vectors {
    std::vector<Stream> streams;
    std::vector<Digest> digests;
    bool complete = false;
};

std::vector<uint8_t> bytesOf(const std::string& hex) {
    return hex == "-" ? std::vector<uint8_t>{} : fromHex(hex);
}

Vectors load() {
    Vectors v;
    std::ifstream in(vectorsPath);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, a, b;
        fields >> kind >> a >> b;
        if (kind == "tdes" || kind == "des" || kind == "bf") {
            v.streams.push_back({kind, bytesOf(a), {}});
        } else if (kind == "p" && !v.streams.empty()) {
            v.streams.back().packets.push_back({a, b});
        } else if (kind == "md5") {
            v.digests.push_back({a, b});
        } else if (kind == "end") {
            v.complete = true;
        }
    }
    return v;
}

const Vectors& vectors() {
    static const Vectors v = load();
    return v;
}

void keyContext(CipherContext& c, const Stream& s) {
    if (s.cipher == "tdes") {
        cipherKeyTripleDes(c, s.key.data(), s.key.size());
    } else if (s.cipher == "des") {
        cipherKeyDes(c, s.key.data(), s.key.size());
    } else {
        cipherKeyBlowfish(c, s.key.data(), s.key.size());
    }
}

TEST(OracleReplay, FileIsComplete) {
    ASSERT_TRUE(vectors().complete) << "no complete vectors file at '" << vectorsPath << "'";
    EXPECT_GE(vectors().streams.size(), 20u);
    EXPECT_GE(vectors().digests.size(), 20u);
}

// A sender context and a separate receiver context, both keyed once, carry
// their chains over every packet of the stream, as in a session.
TEST(OracleReplay, CipherStreamsAgreeByteForByte) {
    ASSERT_TRUE(vectors().complete);
    auto sender = std::make_unique<CipherContext>();
    auto receiver = std::make_unique<CipherContext>();
    int checked = 0;
    for (const auto& s : vectors().streams) {
        SCOPED_TRACE(s.cipher + " key " + toHex(s.key));
        keyContext(*sender, s);
        keyContext(*receiver, s);
        for (std::size_t p = 0; p < s.packets.size(); ++p) {
            auto data = bytesOf(s.packets[p].plain);
            cipherEncrypt(*sender, data.data(), data.size());
            ASSERT_EQ(toHex(data), s.packets[p].wire) << "packet " << p;
            cipherDecrypt(*receiver, data.data(), data.size());
            ASSERT_EQ(toHex(data), s.packets[p].plain) << "packet " << p;
            ++checked;
        }
    }
    EXPECT_GT(checked, 40);
}

// A file from an older generator lacks them; the check must not pass unseen.
TEST(OracleReplay, EveryCipherHasStreams) {
    ASSERT_TRUE(vectors().complete);
    for (const char* cipher : {"tdes", "des", "bf"}) {
        int streams = 0;
        for (const auto& s : vectors().streams)
            streams += s.cipher == cipher ? 1 : 0;
        EXPECT_GE(streams, 5) << cipher;
    }
}

TEST(OracleReplay, Md5DigestsAgree) {
    ASSERT_TRUE(vectors().complete);
    for (const auto& d : vectors().digests) {
        const auto message = bytesOf(d.message);
        Md5Context context;
        md5Init(context);
        // Two uneven pieces, so the buffering path is replayed as well.
        const std::size_t cut = message.size() / 3;
        md5Update(context, message.data(), uint32_t(cut));
        md5Update(context, message.data() + cut, uint32_t(message.size() - cut));
        uint8_t digest[16];
        md5Final(digest, context);
        EXPECT_EQ(toHex(digest, 16), d.digest) << "length " << message.size();
    }
}

} // namespace
} // namespace kestrel

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        kestrel::vectorsPath = argv[argc - 1];
    }
    return RUN_ALL_TESTS();
}
