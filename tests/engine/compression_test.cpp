// Packet compression: both zlib streams over a real connection, the bound on
// what one packet may expand to, and the driver's request and its answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "engine/compression.h"
#include "engine/protocol.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

using test::Bytes;

Bytes textBytes(std::size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "drwxr-xr-x 2 root root 4096 Dec  7 15:43 entry-" + std::to_string(line) + "\n";
    return Bytes(text.begin(), text.begin() + std::ptrdiff_t(size));
}

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = uint8_t(generator());
    return bytes;
}

// One end of a session past the key exchange, without a cipher (what the
// wire carries is then exactly the compressed form).
struct End {
    explicit End(SocketHandle handle) : plain(handle), cipher(plain, contexts) {
        cipher.setSessionKey(nullptr, 0);
    }
    void compress(int level = COMPRESSION_LEVEL_DEFAULT) {
        cipher.startCompression(std::make_unique<PacketCompression>(level));
    }
    void send(int type, const Bytes& data) {
        PacketBuffer message;
        message.beginPacket(uint8_t(type));
        message.append(data.data(), data.size());
        ASSERT_EQ(cipher.writePacket(message), 0);
    }
    Bytes data() { return Bytes(received.cursor(), received.cursor() + received.remaining()); }

    CipherContexts contexts = {};
    Transport plain;
    NullCipherTransport cipher;
    PacketBuffer received;
};

struct Link {
    test::SocketPair pair;
    End client{pair.client};
    End server{pair.server};
};

TEST(PacketCompressionTest, MessagesKeepTypeAndDataThroughBothStreams) {
    struct Case {
        const char* name;
        int type;
        Bytes data;
    };
    const Case cases[] = {
        {"type only", MSG_SMSG_SUCCESS, {}},
        {"one byte", MSG_CMSG_STDIN_DATA, {'x'}},
        {"zero bytes", MSG_SMSG_STDOUT_DATA, Bytes(3000, 0)},
        {"text", MSG_SMSG_STDOUT_DATA, textBytes(100000)},
        {"random", MSG_SMSG_STDERR_DATA, randomBytes(200000, 7)},
        // A repeat deflates to a back reference into the earlier packet: the
        // stream must carry over from packet to packet.
        {"text again", MSG_SMSG_STDOUT_DATA, textBytes(100000)},
    };
    Link link;
    link.client.compress();
    link.server.compress();
    std::thread sender([&] {
        for (const Case& c : cases) {
            link.server.send(MSG_IGNORE, {0, 0, 0, 1, 'i'});
            link.server.send(c.type, c.data);
        }
        link.client.send(MSG_CMSG_EXEC_SHELL, textBytes(50)); // the other direction
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(link.client.cipher.readPacket(link.client.received), c.type); // ignore skipped
        EXPECT_EQ(link.client.data(), c.data);
    }
    ASSERT_EQ(link.server.cipher.readPacket(link.server.received), MSG_CMSG_EXEC_SHELL);
    EXPECT_EQ(link.server.data(), textBytes(50));
    sender.join();
    const PacketCompression& sent = *link.server.cipher.compression();
    EXPECT_EQ(sent.sentPlain(), 6 * 6u + 1 + 2 + 3001 + 2 * 100001 + 200001);
    // Text shrinks to a fraction, the repeat to almost nothing; random data
    // grows only by deflate's stored-block framing.
    EXPECT_LT(sent.sentCompressed(), 200000 + 200000 / 100 + 40000);
}

TEST(PacketCompressionTest, ExpansionIsBoundedByThePacketLimit) {
    struct Case {
        std::size_t dataSize;
        int expected;
    };
    // The limit counts the type byte, as the protocol's length field would.
    const Case cases[] = {
        {DECOMPRESSED_PACKET_LIMIT - 1, MSG_SMSG_STDOUT_DATA},
        {DECOMPRESSED_PACKET_LIMIT, READ_DECOMPRESSION_OVERSIZED},
        {8 * DECOMPRESSED_PACKET_LIMIT, READ_DECOMPRESSION_OVERSIZED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataSize);
        Link link;
        link.client.compress();
        link.server.compress();
        std::thread sender([&] { link.server.send(MSG_SMSG_STDOUT_DATA, Bytes(c.dataSize, 'A')); });
        EXPECT_EQ(link.client.cipher.readPacket(link.client.received), c.expected);
        if (c.expected >= 0) {
            EXPECT_EQ(link.client.received.remaining(), c.dataSize);
        }
        sender.join();
    }
}

TEST(PacketCompressionTest, DataThatIsNotTheStreamIsRefused) {
    const Bytes cases[] = {
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, // invalid block type
        {0x00},                          // stored block cut short: no output at all
    };
    for (const Bytes& wire : cases) {
        Link link;
        link.client.compress();
        std::thread sender([&] { link.server.send(wire[0], Bytes(wire.begin() + 1, wire.end())); });
        EXPECT_EQ(link.client.cipher.readPacket(link.client.received), READ_DECOMPRESSION_FAILED);
        sender.join();
    }
}

// The driver against a scripted server that grants or refuses compression.
class CompressedSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::scratchFolder("compression");
        host.trustAnyHostKey(); // the test plays the server with its own keys
        host.setCompressionLevel(4);
        state = new SessionState(std::make_unique<Transport>(link.pair.client), CIPHER_NONE, host);
        state->seedFileName = folder + "/seed";
        worker = std::thread([this] { end = runSession(*state); });
    }
    void TearDown() override {
        if (worker.joinable())
            worker.join();
        EXPECT_TRUE(destroySession(state));
        std::filesystem::remove_all(folder);
    }

    int serverRead() { return link.server.cipher.readPacket(link.server.received); }

    // Up to the compression request, which is answered by the test.
    void logIn() {
        std::string line;
        link.server.plain.stream().writeText("SSH-1.5-scripted\n");
        ASSERT_TRUE(link.server.plain.stream().readLine(line));
        PacketBuffer key;
        key.beginPacket(MSG_SMSG_PUBLIC_KEY);
        key.append("COOKIE!!", 8);
        for (const test::RsaKeyPair* k : {&test::smallKey(), &test::largeKey()}) {
            key.putUint32(k->bits);
            key.putMpint(k->e);
            key.putMpint(k->n);
        }
        key.putUint32(2), key.putUint32(0x49), key.putUint32(4);
        link.server.plain.writePacket(key);
        ASSERT_EQ(link.server.plain.readPacket(link.server.received), MSG_CMSG_SESSION_KEY);
        link.server.send(MSG_SMSG_SUCCESS, {});
        ASSERT_EQ(serverRead(), MSG_CMSG_USER);
        link.server.send(MSG_SMSG_SUCCESS, {});
        ASSERT_EQ(serverRead(), MSG_CMSG_REQUEST_COMPRESSION);
        EXPECT_EQ(link.server.data(), (Bytes{0, 0, 0, 4}));
    }

    void toShell() {
        ASSERT_EQ(serverRead(), MSG_CMSG_REQUEST_PTY);
        link.server.send(MSG_SMSG_SUCCESS, {});
        ASSERT_EQ(serverRead(), MSG_CMSG_EXEC_SHELL);
    }

    test::StatusRecorder status;
    Link link;
    FixedSessionHost host{"alice", "secret", false, {24, 80, 640, 384}};
    SessionState* state = nullptr;
    std::thread worker;
    SessionEnd end = END_MALFORMED;
    std::string folder;
};

TEST_F(CompressedSessionTest, GrantedCompressionCoversEveryLaterPacketBothWays) {
    logIn();
    link.server.send(MSG_SMSG_SUCCESS, {}); // this answer itself is not compressed
    link.server.compress(4);
    toShell(); // fails unless the client compresses from here on
    sendStdinData(*state, "ls\n");
    ASSERT_EQ(serverRead(), MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(link.server.data(), (Bytes{0, 0, 0, 3, 'l', 's', '\n'}));
    link.server.send(MSG_SMSG_STDOUT_DATA, {0, 0, 0, 4, 'd', 'o', 'n', 'e'});
    link.server.send(MSG_SMSG_EXITSTATUS, {0, 0, 0, 0});
    worker.join();
    EXPECT_EQ(end, END_SERVER_EXIT);
    EXPECT_TRUE(status.contains("Authorization successful.\nCompression enabled\nPTTY Allocated\ndone"));
}

TEST_F(CompressedSessionTest, RefusalLeavesTheSessionPlainWithAWarning) {
    logIn();
    link.server.send(MSG_SMSG_FAILURE, {});
    toShell(); // read without decompression: the client sends plain packets
    link.server.send(MSG_SMSG_EXITSTATUS, {0, 0, 0, 0});
    worker.join();
    EXPECT_EQ(end, END_SERVER_EXIT);
    EXPECT_TRUE(status.contains("Warning - Server refused compression\nPTTY Allocated\n"));
}

TEST_F(CompressedSessionTest, ABombEndsTheSessionWithAClearError) {
    logIn();
    link.server.send(MSG_SMSG_SUCCESS, {});
    link.server.compress(9);
    toShell();
    link.server.send(MSG_SMSG_STDOUT_DATA, Bytes(4 * DECOMPRESSED_PACKET_LIMIT, 'z'));
    worker.join();
    EXPECT_EQ(end, END_DECOMPRESSION);
    EXPECT_TRUE(status.contains("ERROR - Compressed packet expands beyond 262144 bytes\n"));
}

} // namespace
} // namespace kestrel
