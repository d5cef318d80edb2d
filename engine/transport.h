// Binary packets of protocol 1.5 over one connection: a plain transport for
// the handshake, then a cipher transport for everything after the session
// key. The transports hold no key material; the cipher forms run the two
// contexts they are given.
#pragma once
#include <cstddef>
#include <cstdint>

#include <memory>

#include "crypto/cipher_context.h"
#include "engine/compression.h"
#include "engine/insertion_detector.h"
#include "engine/packet_buffer.h"
#include "engine/socket_stream.h"

namespace kestrel {

constexpr int MSG_DISCONNECT = 1;
constexpr int MSG_SMSG_PUBLIC_KEY = 2;
constexpr int MSG_CMSG_SESSION_KEY = 3;
constexpr int MSG_CMSG_USER = 4;
constexpr int MSG_CMSG_AUTH_PASSWORD = 9;
constexpr int MSG_CMSG_REQUEST_PTY = 10;
constexpr int MSG_CMSG_WINDOW_SIZE = 11;
constexpr int MSG_CMSG_EXEC_SHELL = 12;
constexpr int MSG_CMSG_EXEC_CMD = 13;
constexpr int MSG_SMSG_SUCCESS = 14;
constexpr int MSG_SMSG_FAILURE = 15;
constexpr int MSG_CMSG_STDIN_DATA = 16;
constexpr int MSG_SMSG_STDOUT_DATA = 17;
constexpr int MSG_SMSG_STDERR_DATA = 18;
constexpr int MSG_CMSG_EOF = 19;
constexpr int MSG_SMSG_EXITSTATUS = 20;
constexpr int MSG_IGNORE = 32;
constexpr int MSG_CMSG_EXIT_CONFIRMATION = 33;
constexpr int MSG_DEBUG = 36;

// readPacket results besides a message type.
constexpr int READ_CONNECTION_LOST = -1;
// Length out of bounds or check mismatch (a wrong key ends up here too).
constexpr int READ_CORRUPT = -2;
// Ciphertext spliced the way the CRC-32 compensation attack splices it.
constexpr int READ_INSERTION_ATTACK = -3;

// The protocol's own ceiling on the length field; anything larger is refused
// before memory is reserved for it.
constexpr uint32_t MAX_PACKET_LENGTH = 256 * 1024;
// Type byte plus check field: a shorter length cannot frame a message.
constexpr uint32_t MIN_PACKET_LENGTH = 5;

constexpr int DIRECTION_RECEIVE = 0;
constexpr int DIRECTION_SEND = 1;

// The keyed state of both directions of one session.
struct CipherContexts {
    CipherContext receive;
    CipherContext send;
};

// Padding bytes for packets under a cipher. Zero padding would hand an
// attacker a known first block in every packet (what the CRC-32 insertion
// attack feeds on). The pool belongs to the worker thread, so the key
// exchange seeds this from it and whichever thread sends draws from it
// (under the session's send lock): MD5 of the seed and a counter.
class PaddingSource {
public:
    PaddingSource() = default;
    ~PaddingSource();
    PaddingSource(const PaddingSource&) = delete;
    PaddingSource& operator=(const PaddingSource&) = delete;

    void seed(const uint8_t* bytes, std::size_t count);
    void fill(uint8_t* destination, std::size_t count);

    static constexpr std::size_t SEED_SIZE = 32;

private:
    void nextBlock();

    uint8_t seed_[SEED_SIZE] = {};
    uint64_t counter_ = 0;
    uint8_t block_[16] = {};
    std::size_t used_ = sizeof block_;
};

class Transport {
public:
    Transport() { stream_.enableReadAhead(); }
    explicit Transport(SocketHandle handle) : stream_(handle) { stream_.enableReadAhead(); }
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // The message type, READ_CONNECTION_LOST or READ_CORRUPT. On success the
    // cursor stands on the first data byte and reads stop before the check.
    virtual int readPacket(PacketBuffer& buffer);
    // Frames (and under a cipher encrypts) the buffer in place and sends it.
    // 0, or -1 when the connection failed.
    virtual int writePacket(PacketBuffer& buffer);

    SocketStream& stream() { return stream_; }
    // True when the next readPacket can be served without waiting for the
    // connection (or fails at once on an impossible length).
    bool packetWaiting() const;

protected:
    int receiveFrame(PacketBuffer& buffer);
    static int finishFrame(PacketBuffer& buffer);
    // Zero padding without a source, random padding from it otherwise.
    static void frame(PacketBuffer& buffer, PaddingSource* padding = nullptr);

private:
    SocketStream stream_;
};

class CipherTransport : public Transport {
public:
    // Takes over the reading of the plain transport's connection, with
    // whatever it had already received.
    CipherTransport(Transport& plain, CipherContexts& contexts)
        : Transport(plain.stream().handle()), contexts_(contexts), detector_(detectorSalt()) {
        plain.stream().passReadAheadTo(stream());
    }

    int readPacket(PacketBuffer& buffer) override;
    // The answer to the session key. A server that refuses the key or the
    // cipher has no key to answer with and sends its disconnect in clear;
    // that one is returned as MSG_DISCONNECT, positioned on its reason.
    int readKeyConfirmation(PacketBuffer& buffer);
    int writePacket(PacketBuffer& buffer) override;

    virtual void setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                        int direction) = 0;
    virtual void setSessionKey(const uint8_t* key, std::size_t length);
    virtual void encrypt(PacketBuffer& buffer) = 0;
    virtual void decrypt(PacketBuffer& buffer) = 0;

    // Seeded by the key exchange; unseeded, the padding still varies from
    // packet to packet but is not secret.
    PaddingSource& padding() { return padding_; }

    // From here on every packet both ways goes through the compression
    // streams. Called under the send lock, between a read and the next send.
    void startCompression(std::unique_ptr<PacketCompression> compression) {
        compression_ = std::move(compression);
    }
    const PacketCompression* compression() const { return compression_.get(); }

protected:
    CipherContexts& contexts_;

private:
    int decryptFrame(PacketBuffer& buffer);

    PaddingSource padding_;
    std::unique_ptr<PacketCompression> compression_;

    InsertionDetector detector_;
};

// Only for measuring what the insertion check costs: while it is off,
// received packets skip it. The client never turns it off.
void setInsertionCheck(bool enabled);

class TripleDesTransport : public CipherTransport {
public:
    using CipherTransport::CipherTransport;
    void setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                int direction) override;
    void encrypt(PacketBuffer& buffer) override;
    void decrypt(PacketBuffer& buffer) override;
};

// Single DES: weak, for equipment that offers nothing else.
class DesTransport : public CipherTransport {
public:
    using CipherTransport::CipherTransport;
    void setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                int direction) override;
    void encrypt(PacketBuffer& buffer) override;
    void decrypt(PacketBuffer& buffer) override;
};

class BlowfishTransport : public CipherTransport {
public:
    using CipherTransport::CipherTransport;
    void setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                int direction) override;
    void encrypt(PacketBuffer& buffer) override;
    void decrypt(PacketBuffer& buffer) override;
};

class NullCipherTransport : public CipherTransport {
public:
    using CipherTransport::CipherTransport;
    void setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                int direction) override;
    void setSessionKey(const uint8_t* key, std::size_t length) override;
    void encrypt(PacketBuffer& buffer) override;
    void decrypt(PacketBuffer& buffer) override;
};

} // namespace kestrel
