// Arbitrary bytes as the compressed payloads of consecutive received
// packets (each one a two-byte big-endian length, then that many bytes), fed
// to one inflating stream as the transport feeds it after the check. Every
// message that inflates is then sent through a fresh deflating stream and
// back, which must give it unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/compression.h"

namespace {

// Lays a payload out as a checked packet is laid out: the cursor just past
// the first (compressed) byte, reads bounded by the payload's end.
void loadReceived(kestrel::PacketBuffer& buffer, const uint8_t* payload, std::size_t size) {
    buffer.reset();
    buffer.append(payload, size);
    buffer.reserve(-std::ptrdiff_t(size - 1));
    buffer.setReadLimit(size);
}

void roundTrip(kestrel::PacketCompression& sender, kestrel::PacketCompression& receiver, int type,
               kestrel::PacketBuffer& message) {
    std::size_t size = message.remaining();
    kestrel::PacketBuffer outgoing;
    outgoing.beginPacket(uint8_t(type));
    outgoing.append(message.cursor(), size);
    if (!sender.compress(outgoing))
        std::abort();
    std::size_t packed = outgoing.length() - kestrel::POS_MESSAGE_TYPE;
    kestrel::PacketBuffer incoming;
    loadReceived(incoming, outgoing.start() + kestrel::POS_MESSAGE_TYPE, packed);
    if (receiver.decompress(incoming) != type || incoming.remaining() != size ||
        std::memcmp(incoming.cursor(), message.cursor(), size) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kestrel::PacketCompression received(kestrel::COMPRESSION_LEVEL_DEFAULT);
    kestrel::PacketCompression sender(1 + size % kestrel::COMPRESSION_LEVEL_MAX);
    kestrel::PacketCompression receiver(kestrel::COMPRESSION_LEVEL_DEFAULT);
    kestrel::PacketBuffer buffer;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t length = std::size_t(data[at]) << 8 | data[at + 1];
        at += 2;
        if (length == 0 || length > size - at)
            break;
        loadReceived(buffer, data + at, length);
        at += length;
        int type = received.decompress(buffer);
        if (type < 0)
            break; // the session ends here; the stream is not used again
        if (buffer.remaining() + 1 > kestrel::DECOMPRESSED_PACKET_LIMIT)
            std::abort();
        roundTrip(sender, receiver, type, buffer);
    }
    return 0;
}
