#include "engine/compression.h"

#include <algorithm>
#include <zlib.h>

#include "crypto/secure_zero.h"

namespace kestrel {

namespace {

// Room for a packet's deflated form before the first growth; most packets
// of a session (keystrokes, terminal output) fit.
constexpr std::size_t SCRATCH_START = 16 * 1024;

} // namespace

struct PacketCompression::Streams {
    z_stream deflater = {};
    z_stream inflater = {};
    bool deflating = false;
    bool inflating = false;
};

PacketCompression::PacketCompression(int level) : streams_(std::make_unique<Streams>()) {
    streams_->deflating = deflateInit(&streams_->deflater, level) == Z_OK;
    streams_->inflating = inflateInit(&streams_->inflater) == Z_OK;
}

PacketCompression::~PacketCompression() {
    if (streams_->deflating)
        deflateEnd(&streams_->deflater);
    if (streams_->inflating)
        inflateEnd(&streams_->inflater);
    if (!sendScratch_.empty())
        secureZero(sendScratch_.data(), sendScratch_.size());
    if (!receiveScratch_.empty())
        secureZero(receiveScratch_.data(), receiveScratch_.size());
}

bool PacketCompression::ready() const { return streams_->deflating && streams_->inflating; }

bool PacketCompression::compress(PacketBuffer& buffer) {
    if (!streams_->deflating)
        return false;
    std::size_t plain = buffer.length() - POS_MESSAGE_TYPE;
    z_stream& z = streams_->deflater;
    z.next_in = buffer.start() + POS_MESSAGE_TYPE;
    z.avail_in = uInt(plain);
    if (sendScratch_.size() < SCRATCH_START)
        sendScratch_.resize(SCRATCH_START);
    std::size_t produced = 0;
    // A partial flush ends the packet's data on a byte boundary the peer can
    // inflate at once; zlib says it is done when output room is left over.
    for (;;) {
        z.next_out = sendScratch_.data() + produced;
        z.avail_out = uInt(sendScratch_.size() - produced);
        int result = deflate(&z, Z_PARTIAL_FLUSH);
        produced = sendScratch_.size() - z.avail_out;
        if (result != Z_OK && result != Z_BUF_ERROR) {
            streams_->deflating = false;
            deflateEnd(&z);
            return false;
        }
        if (z.avail_out > 0 && z.avail_in == 0)
            break;
        sendScratch_.resize(sendScratch_.size() * 2);
    }
    buffer.reserve(-std::ptrdiff_t(plain));
    buffer.append(sendScratch_.data(), produced);
    // The deflated copy of typed text is no business of the heap's.
    secureZero(sendScratch_.data(), produced);
    sentPlain_ += plain;
    sentCompressed_ += produced;
    return true;
}

int PacketCompression::decompress(PacketBuffer& buffer) {
    if (!streams_->inflating)
        return READ_DECOMPRESSION_FAILED;
    buffer.advance(-1);
    z_stream& z = streams_->inflater;
    z.next_in = buffer.cursor();
    z.avail_in = uInt(buffer.remaining());
    if (receiveScratch_.size() < SCRATCH_START)
        receiveScratch_.resize(SCRATCH_START);
    std::size_t produced = 0;
    // One byte of room past the limit tells an oversized packet from one
    // that fills the limit exactly.
    for (;;) {
        z.next_out = receiveScratch_.data() + produced;
        z.avail_out = uInt(receiveScratch_.size() - produced);
        int result = inflate(&z, Z_SYNC_FLUSH);
        produced = receiveScratch_.size() - z.avail_out;
        if (produced > DECOMPRESSED_PACKET_LIMIT)
            return READ_DECOMPRESSION_OVERSIZED;
        bool stuck = result == Z_BUF_ERROR && z.avail_in > 0 && z.avail_out > 0;
        if ((result != Z_OK && result != Z_BUF_ERROR) || stuck)
            return READ_DECOMPRESSION_FAILED;
        if (z.avail_out > 0)
            break;
        receiveScratch_.resize(std::min(receiveScratch_.size() * 2, DECOMPRESSED_PACKET_LIMIT + 1));
    }
    if (produced == 0)
        return READ_DECOMPRESSION_FAILED;
    buffer.reset();
    buffer.append(receiveScratch_.data(), produced);
    buffer.reserve(-std::ptrdiff_t(produced));
    buffer.setReadLimit(produced);
    return buffer.getByte();
}

} // namespace kestrel
