// Packet compression of protocol 1.5. Once the server has granted the
// request, each direction runs one zlib stream for the rest of the session:
// a packet's type and data are deflated with a partial flush before padding
// and check are added, and inflated after the check has passed. The streams
// carry state from packet to packet, so every packet of a direction must go
// through the same object, in order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/packet_buffer.h"

namespace kestrel {

constexpr int MSG_CMSG_REQUEST_COMPRESSION = 37;

constexpr int COMPRESSION_LEVEL_DEFAULT = 6;
constexpr int COMPRESSION_LEVEL_MIN = 1;
constexpr int COMPRESSION_LEVEL_MAX = 9;

// A packet may not expand beyond the protocol's own packet ceiling: a few
// bytes of deflate can stand for megabytes, and a peer that sends such a
// packet is attacking the client's memory, not sending a message.
constexpr std::size_t DECOMPRESSED_PACKET_LIMIT = 256 * 1024;

// readPacket results of a compressed session.
constexpr int READ_DECOMPRESSION_FAILED = -4;   // not a valid continuation of the stream
constexpr int READ_DECOMPRESSION_OVERSIZED = -5; // expands beyond DECOMPRESSED_PACKET_LIMIT

class PacketCompression {
public:
    explicit PacketCompression(int level);
    ~PacketCompression();
    PacketCompression(const PacketCompression&) = delete;
    PacketCompression& operator=(const PacketCompression&) = delete;

    // False when zlib could not set up its streams (out of memory).
    bool ready() const;

    // A message built with beginPacket and its puts: its type and data are
    // replaced by their deflated form, ready for framing. False on a zlib
    // failure (the stream is then unusable).
    bool compress(PacketBuffer& buffer);

    // A received packet whose check has passed, with the cursor just past
    // the (compressed) type byte: the buffer then holds the inflated type and
    // data, positioned as a plain packet would be. The message type, or one
    // of the READ_DECOMPRESSION_ results.
    int decompress(PacketBuffer& buffer);

    // Bytes that went into and came out of each stream (for measurements).
    uint64_t sentPlain() const { return sentPlain_; }
    uint64_t sentCompressed() const { return sentCompressed_; }

private:
    struct Streams;
    std::unique_ptr<Streams> streams_;
    // One each: the sending and the receiving thread work at the same time.
    std::vector<uint8_t> sendScratch_;
    std::vector<uint8_t> receiveScratch_;
    uint64_t sentPlain_ = 0;
    uint64_t sentCompressed_ = 0;
};

} // namespace kestrel
