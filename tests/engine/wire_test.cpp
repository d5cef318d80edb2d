#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "crypto/crc32.h"
#include "engine/packet_buffer.h"
#include "engine/transport.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

using test::Bytes;
using test::Mpz;

Bytes contents(PacketBuffer& buffer) { return Bytes(buffer.start(), buffer.start() + buffer.length()); }

PacketBuffer& loaded(PacketBuffer& buffer, const Bytes& bytes) {
    buffer.reset();
    buffer.append(bytes.data(), bytes.size());
    buffer.advance(-std::ptrdiff_t(bytes.size()));
    return buffer;
}

TEST(PacketBufferTest, PutsEncodeAsTheProtocolSays) {
    PacketBuffer buffer;
    buffer.putUint32(1);
    buffer.putString("");
    Mpz v255(255), v256(256), zero;
    EXPECT_TRUE(buffer.putMpint(v255.value));
    EXPECT_TRUE(buffer.putMpint(v256.value));
    EXPECT_TRUE(buffer.putMpint(zero.value));
    EXPECT_EQ(contents(buffer), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0x00, 0x08, 0xFF, 0x00, 0x09, 0x01,
                                      0x00, 0x00, 0x01, 0x00}));
    // The bit count is 16 bits wide; a larger value is refused, not wrapped.
    Mpz huge;
    mpz_setbit(huge.value, MPINT_MAX_BITS);
    EXPECT_FALSE(buffer.putMpint(huge.value));
    EXPECT_EQ(buffer.length(), 18u);
}

TEST(PacketBufferTest, GetsDecodeAsTheProtocolSays) {
    PacketBuffer buffer;
    EXPECT_EQ(loaded(buffer, {0xFF, 0xFF, 0xFF, 0xFE}).getUint32(), 4294967294u);
    EXPECT_EQ(loaded(buffer, {0, 0, 0, 3, 'a', 'b', 'c'}).getString(), "abc");
    Mpz value;
    ASSERT_TRUE(loaded(buffer, {0x00, 0x09, 0x01, 0x00}).getMpint(value.value));
    EXPECT_EQ(mpz_get_ui(value.value), 256u);
    Mpz fresh;
    loaded(buffer, {0x00, 0x00, 0x7F});
    ASSERT_TRUE(buffer.getMpint(fresh.value));
    EXPECT_EQ(mpz_get_ui(fresh.value), 0u);
    EXPECT_EQ(buffer.remaining(), 1u); // only the two count bytes were taken
    EXPECT_FALSE(buffer.failed());
}

TEST(PacketBufferTest, GetsNeverReadPastTheData) {
    PacketBuffer buffer;
    // String length far past the end: refused before any allocation.
    EXPECT_EQ(loaded(buffer, {0x7F, 0xFF, 0xFF, 0xFF, 'x'}).getString(), "");
    EXPECT_TRUE(buffer.failed());
    // Mpint whose magnitude is one byte short.
    Mpz value(7);
    EXPECT_FALSE(loaded(buffer, {0x00, 0x10, 0x01}).getMpint(value.value));
    EXPECT_EQ(mpz_get_ui(value.value), 7u);
    // A truncated integer reads as zero and stays failed for later gets.
    loaded(buffer, {0x01, 0x02});
    EXPECT_EQ(buffer.getUint32(), 0u);
    EXPECT_EQ(buffer.getByte(), 0u);
    EXPECT_TRUE(buffer.failed());
    // The read limit hides the bytes after it (the packet's check field).
    loaded(buffer, {0, 0, 0, 2, 'o', 'k', 0xAA, 0xBB});
    buffer.setReadLimit(5);
    EXPECT_EQ(buffer.getString(), "");
    EXPECT_TRUE(buffer.failed());
}

// --- framing -------------------------------------------------------------

Bytes receiveAll(SocketHandle from, std::size_t count) {
    Bytes bytes(count);
    EXPECT_EQ(SocketStream(from).receiveExactly(bytes.data(), count), long(count));
    return bytes;
}

void sendRaw(SocketHandle to, const Bytes& bytes) { SocketStream(to).sendBytes(bytes.data(), bytes.size()); }

// A well-formed plain packet as a peer would frame it.
Bytes framed(uint8_t type, const Bytes& data, uint8_t padByte = 0) {
    uint32_t length = uint32_t(data.size() + 5);
    uint32_t padding = 8 - length % 8;
    Bytes packet = {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
    packet.insert(packet.end(), padding, padByte);
    packet.push_back(type);
    packet.insert(packet.end(), data.begin(), data.end());
    uint32_t check = crc32(packet.data() + 4, packet.size() - 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        packet.push_back(uint8_t(check >> shift));
    return packet;
}

class FramingTest : public ::testing::Test {
protected:
    test::SocketPair pair;
    Transport transport{pair.client};
    PacketBuffer buffer;
};

TEST_F(FramingTest, WritePacketPadsToWholeBlocks) {
    buffer.beginPacket(MSG_CMSG_EXEC_SHELL);
    ASSERT_EQ(transport.writePacket(buffer), 0);
    EXPECT_EQ(receiveAll(pair.server, 12), framed(MSG_CMSG_EXEC_SHELL, {}));

    buffer.beginPacket(MSG_CMSG_STDIN_DATA);
    buffer.append("abc", 3);
    transport.writePacket(buffer);
    Bytes wire = receiveAll(pair.server, 20);
    EXPECT_EQ(wire, framed(MSG_CMSG_STDIN_DATA, {'a', 'b', 'c'}));
    EXPECT_EQ(wire[3], 8); // L = 8 takes a full block of padding
}

TEST_F(FramingTest, ReadPacketSkipsIgnoreAndDebug) {
    Bytes stream = framed(MSG_IGNORE, {0, 0, 0, 1, 'x'});
    for (const Bytes& more : {framed(MSG_DEBUG, {0, 0, 0, 0}), framed(MSG_SMSG_SUCCESS, {9, 8, 7}, 0x5A)})
        stream.insert(stream.end(), more.begin(), more.end());
    sendRaw(pair.server, stream);
    ASSERT_EQ(transport.readPacket(buffer), MSG_SMSG_SUCCESS);
    EXPECT_EQ(buffer.getByte(), 9);
    EXPECT_EQ(buffer.remaining(), 2u); // the check field is not data
}

TEST_F(FramingTest, ReadPacketRefusesBadFramesAndNoticesTheEnd) {
    Bytes corrupt = framed(MSG_SMSG_SUCCESS, {1});
    corrupt.back() ^= 1;
    sendRaw(pair.server, corrupt);
    EXPECT_EQ(transport.readPacket(buffer), READ_CORRUPT);

    // Just above the protocol's limit: refused on the length alone.
    sendRaw(pair.server, {0x00, 0x04, 0x00, 0x01});
    EXPECT_EQ(transport.readPacket(buffer), READ_CORRUPT);
    EXPECT_LT(buffer.size(), 64u);

    sendRaw(pair.server, {0x00, 0x00, 0x00, 0x04});
    EXPECT_EQ(transport.readPacket(buffer), READ_CORRUPT);

    // The peer leaving mid-packet is a lost connection, and stays one.
    Bytes half = framed(MSG_SMSG_SUCCESS, {1, 2, 3, 4, 5, 6});
    half.resize(half.size() / 2);
    sendRaw(pair.server, half);
    pair.closeServer();
    EXPECT_EQ(transport.readPacket(buffer), READ_CONNECTION_LOST);
    EXPECT_EQ(transport.readPacket(buffer), READ_CONNECTION_LOST);
}

TEST(SocketStreamTest, ReadLineStopsAtLineFeedAndFailsCleanly) {
    test::SocketPair pair;
    SocketStream client(pair.client);
    sendRaw(pair.server, {'S', 'S', 'H', '-', '1', '\n', 'X'});
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "SSH-1\n");
    char next = 0;
    EXPECT_EQ(client.receiveExactly(&next, 1), 1);
    EXPECT_EQ(next, 'X');

    // A line that fills the buffer exactly, "\n" included, is whole; one
    // byte more is not a line.
    Bytes fullLine(LINE_BUFFER_SIZE, 'a');
    fullLine.back() = '\n';
    sendRaw(pair.server, fullLine);
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line.size(), LINE_BUFFER_SIZE);
    Bytes longLine(LINE_BUFFER_SIZE + 10, 'a');
    sendRaw(pair.server, longLine);
    EXPECT_FALSE(client.readLine(line));
    EXPECT_LE(line.size(), LINE_BUFFER_SIZE);

    pair.closeServer();
    EXPECT_FALSE(client.readLine(line));
}

TEST(SocketStreamTest, ClosedStreamsAndUnknownHosts) {
    SocketStream stream;
    EXPECT_EQ(stream.handle(), SOCKET_CLOSED);
    stream.close();
    EXPECT_EQ(stream.handle(), SOCKET_CLOSED);
    EXPECT_TRUE(stream.sendBytes("x", 1));
    EXPECT_EQ(stream.receiveExactly(nullptr, 0), 0);
    socketLayerStart();
    EXPECT_EQ(stream.open("no-such-host.invalid", 22), -1);
    EXPECT_EQ(stream.handle(), SOCKET_CLOSED); // no socket was made
    EXPECT_EQ(stream.open("1.2.3.x", 22), -1);
    // Dotted text is converted as the platform's classic converter does,
    // short forms included.
    test::SocketPair shortForm("127.1");
    EXPECT_NE(shortForm.server, SOCKET_CLOSED);
}

// The user's disconnect wakes a worker in the middle of its read, on every
// platform, without releasing the handle.
TEST(SocketStreamTest, ShutdownWakesABlockedReader) {
    test::SocketPair pair;
    SocketStream client(pair.client);
    std::promise<long> result;
    std::future<long> got = result.get_future();
    std::thread reader([&] {
        char byte;
        result.set_value(client.receiveExactly(&byte, 1));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let it block
    client.shutdownBoth();
    bool woke = got.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!woke) {
        client.close(); // releases the reader so the test can end
        pair.client = SOCKET_CLOSED;
    }
    reader.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(got.get(), -1);
    EXPECT_EQ(client.handle(), pair.client);
    // A read that starts after the shutdown fails at once.
    char byte;
    EXPECT_EQ(client.receiveExactly(&byte, 1), -1);
}

// --- cipher transports -----------------------------------------------------

class CipherTransportTest : public ::testing::TestWithParam<uint32_t> {};

std::unique_ptr<CipherTransport> makeTransport(uint32_t cipher, Transport& plain, CipherContexts& contexts) {
    if (cipher == CIPHER_TRIPLE_DES)
        return std::make_unique<TripleDesTransport>(plain, contexts);
    if (cipher == CIPHER_BLOWFISH)
        return std::make_unique<BlowfishTransport>(plain, contexts);
    return std::make_unique<NullCipherTransport>(plain, contexts);
}

void keyOracle(CipherContext& context, uint32_t cipher, const uint8_t* key) {
    if (cipher == CIPHER_TRIPLE_DES)
        cipherKeyTripleDes(context, key, 32);
    else if (cipher == CIPHER_BLOWFISH)
        cipherKeyBlowfish(context, key, 32);
    else
        cipherKeyNone(context);
}

TEST_P(CipherTransportTest, PacketsMatchTheCipherOracleAndWrongKeysShowAsCorrupt) {
    uint32_t cipher = GetParam();
    uint8_t key[32];
    for (int i = 0; i < 32; ++i)
        key[i] = uint8_t(i * 7 + 1);
    test::SocketPair pair;
    Transport plain(pair.client);
    auto contexts = std::make_unique<CipherContexts>();
    auto transport = makeTransport(cipher, plain, *contexts);
    transport->setSessionKey(key, sizeof key);

    auto oracle = std::make_unique<CipherContexts>();
    keyOracle(oracle->receive, cipher, key);
    keyOracle(oracle->send, cipher, key);

    PacketBuffer buffer;
    std::vector<Bytes> paddings;
    for (int round = 0; round < 4; ++round) {
        // Client to server: the oracle decrypts the wire, chained across
        // packets, to the plain framing; only the padding is the sender's.
        Bytes data(size_t(round * 11 + 1), uint8_t(round));
        buffer.beginPacket(MSG_CMSG_STDIN_DATA);
        buffer.append(data.data(), data.size());
        transport->writePacket(buffer);
        Bytes expected = framed(MSG_CMSG_STDIN_DATA, data);
        Bytes wire = receiveAll(pair.server, expected.size());
        cipherDecrypt(oracle->send, wire.data() + 4, wire.size() - 4);
        std::size_t padding = 8 - (data.size() + 5) % 8;
        paddings.emplace_back(wire.begin() + 4, wire.begin() + 4 + padding);
        std::copy(paddings.back().begin(), paddings.back().end(), expected.begin() + 4);
        uint32_t check = crc32(expected.data() + 4, expected.size() - 8);
        for (int i = 0; i < 4; ++i)
            expected[expected.size() - 4 + i] = uint8_t(check >> (24 - 8 * i));
        EXPECT_EQ(wire, expected) << "round " << round;

        // Server to client: the transport decrypts what the oracle encrypts.
        Bytes reply = framed(MSG_SMSG_STDOUT_DATA, {0, 0, 0, 2, 'o', uint8_t('0' + round)});
        cipherEncrypt(oracle->receive, reply.data() + 4, reply.size() - 4);
        sendRaw(pair.server, reply);
        ASSERT_EQ(transport->readPacket(buffer), MSG_SMSG_STDOUT_DATA);
        EXPECT_EQ(buffer.getString(), std::string("o") + char('0' + round));
    }
    // Random padding under a cipher (a known first block is what the
    // insertion attack needs), zeros without one.
    for (const Bytes& padding : paddings) {
        bool allZero = std::all_of(padding.begin(), padding.end(), [](uint8_t b) { return b == 0; });
        EXPECT_EQ(allZero, cipher == CIPHER_NONE);
    }
    if (cipher == CIPHER_NONE)
        return;
    // Packets differ in their padding (compared over the shorter one's length).
    for (std::size_t i = 0; i < paddings.size(); ++i)
        for (std::size_t j = i + 1; j < paddings.size(); ++j) {
            std::size_t common = std::min(paddings[i].size(), paddings[j].size());
            if (common >= 2) {
                EXPECT_FALSE(std::equal(paddings[i].begin(), paddings[i].begin() + common,
                                        paddings[j].begin()))
                    << i << " " << j;
            }
        }
    // A peer keyed differently shows as a damaged packet, never as data.
    uint8_t other[32] = {2};
    CipherContext wrong;
    keyOracle(wrong, cipher, other);
    Bytes reply = framed(MSG_SMSG_SUCCESS, {});
    cipherEncrypt(wrong, reply.data() + 4, reply.size() - 4);
    sendRaw(pair.server, reply);
    EXPECT_EQ(transport->readPacket(buffer), READ_CORRUPT);
}

// The cipher transport takes over what the plain one read ahead; under a
// chaining cipher a packet with a copied ciphertext block is refused before
// it is decrypted, and a clear-text refusal of the session key is read as one.
TEST_P(CipherTransportTest, TakesOverReadAheadAndRefusesSplicedBlocks) {
    uint32_t cipher = GetParam();
    uint8_t key[32] = {9, 8, 7};
    test::SocketPair pair;
    Transport plain(pair.client);
    auto oracle = std::make_unique<CipherContexts>();
    keyOracle(oracle->receive, cipher, key);
    Bytes wire = framed(MSG_SMSG_PUBLIC_KEY, {1});
    Bytes confirm = framed(MSG_SMSG_SUCCESS, {});
    Bytes text = {0, 0, 0, 24};
    text.resize(28, 'x');
    Bytes spliced = framed(MSG_SMSG_STDOUT_DATA, text);
    for (Bytes* packet : {&confirm, &spliced}) {
        cipherEncrypt(oracle->receive, packet->data() + 4, packet->size() - 4);
        wire.insert(wire.end(), packet->begin(), packet->end());
    }
    std::copy_n(wire.end() - 16, 8, wire.end() - 8); // the last block repeats the one before
    sendRaw(pair.server, wire);
    sendRaw(pair.server, framed(MSG_DISCONNECT, {0, 0, 0, 3, 'n', 'o', '!'}));

    PacketBuffer buffer;
    ASSERT_EQ(plain.readPacket(buffer), MSG_SMSG_PUBLIC_KEY);
    auto contexts = std::make_unique<CipherContexts>();
    auto transport = makeTransport(cipher, plain, *contexts);
    transport->setSessionKey(key, sizeof key);
    EXPECT_EQ(transport->readKeyConfirmation(buffer), MSG_SMSG_SUCCESS);
    EXPECT_EQ(transport->readPacket(buffer), cipher == CIPHER_NONE ? READ_CORRUPT : READ_INSERTION_ATTACK);
    EXPECT_EQ(transport->readKeyConfirmation(buffer), MSG_DISCONNECT);
    EXPECT_EQ(buffer.getString(), "no!");
}

INSTANTIATE_TEST_SUITE_P(Ciphers, CipherTransportTest,
                         ::testing::Values(CIPHER_TRIPLE_DES, CIPHER_BLOWFISH, CIPHER_NONE));

} // namespace
} // namespace kestrel
