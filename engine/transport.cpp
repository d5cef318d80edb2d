#include "engine/transport.h"

#include <atomic>
#include <cstring>

#include "crypto/blowfish.h"
#include "crypto/byte_order.h"
#include "crypto/crc32.h"
#include "crypto/des.h"
#include "crypto/md5.h"
#include "crypto/secure_zero.h"
#include "engine/status_log.h"

namespace kestrel {

namespace {

// The encrypted part of a framed packet: everything after the length field.
uint8_t* packetBody(PacketBuffer& buffer) { return buffer.start() + 4; }
std::size_t packetBodySize(PacketBuffer& buffer) { return buffer.size() - 4; }

uint32_t paddingFor(uint32_t length) { return 8 - length % 8; }

std::atomic<bool> insertionCheck{true};

// A frame that reads as a valid packet of the given type without decryption.
bool plainFrameOfType(PacketBuffer& buffer, int type) {
    std::size_t end = buffer.size();
    const uint8_t* start = buffer.start();
    uint32_t length = loadBe32(start);
    return start[4 + paddingFor(length)] == type &&
           loadBe32(start + end - 4) == crc32(start + 4, end - 8);
}

} // namespace

void setInsertionCheck(bool enabled) { insertionCheck.store(enabled); }

PaddingSource::~PaddingSource() {
    secureZero(seed_, sizeof seed_);
    secureZero(block_, sizeof block_);
}

void PaddingSource::seed(const uint8_t* bytes, std::size_t count) {
    std::size_t kept = count < SEED_SIZE ? count : SEED_SIZE;
    std::memcpy(seed_, bytes, kept);
    used_ = sizeof block_;
}

void PaddingSource::nextBlock() {
    uint8_t count[8];
    storeBe32(count, uint32_t(counter_ >> 32));
    storeBe32(count + 4, uint32_t(counter_));
    ++counter_;
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, seed_, sizeof seed_);
    md5Update(md5, count, sizeof count);
    md5Final(block_, md5);
    secureZero(&md5, sizeof md5);
    used_ = 0;
}

void PaddingSource::fill(uint8_t* destination, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (used_ == sizeof block_)
            nextBlock();
        destination[i] = block_[used_++];
    }
}

void Transport::frame(PacketBuffer& buffer, PaddingSource* padding) {
    std::size_t total = buffer.length();
    uint32_t length = uint32_t(total - 8);
    uint32_t shortfall = length % 8;
    uint8_t* start = buffer.start();
    if (shortfall > 0) {
        std::memmove(start + 4, start + 4 + shortfall, total - 4 - shortfall);
        buffer.reserve(-std::ptrdiff_t(shortfall));
        start = buffer.start();
    }
    storeBe32(start, length);
    if (padding != nullptr)
        padding->fill(start + 4, paddingFor(length));
    uint8_t check[4];
    storeBe32(check, crc32(start + 4, buffer.length() - 4));
    buffer.append(check, 4);
}

int Transport::receiveFrame(PacketBuffer& buffer) {
    // Text the sink holds back is shown before the worker waits for more.
    if (!packetWaiting())
        flushStatus();
    buffer.reset();
    if (stream_.receiveExactly(buffer.reserve(4), 4) < 0)
        return READ_CONNECTION_LOST;
    uint32_t length = buffer.getUint32();
    if (length < MIN_PACKET_LENGTH || length > MAX_PACKET_LENGTH)
        return READ_CORRUPT;
    uint32_t body = length + paddingFor(length);
    if (stream_.receiveExactly(buffer.reserve(body), body) < 0)
        return READ_CONNECTION_LOST;
    return 0;
}

bool Transport::packetWaiting() const {
    std::size_t held = stream_.readAheadCount();
    if (held < 4)
        return false;
    uint32_t length = loadBe32(stream_.readAheadData());
    if (length < MIN_PACKET_LENGTH || length > MAX_PACKET_LENGTH)
        return true;
    return held >= 4 + std::size_t(length) + paddingFor(length);
}

int Transport::finishFrame(PacketBuffer& buffer) {
    // The length was read, so the body is whole: padding, type, data, check.
    std::size_t end = buffer.size();
    uint32_t received = loadBe32(buffer.start() + end - 4);
    if (received != crc32(buffer.start() + 4, end - 8))
        return READ_CORRUPT;
    uint32_t length = loadBe32(buffer.start());
    buffer.setReadLimit(end - 4);
    buffer.advance(paddingFor(length));
    return buffer.getByte();
}

int Transport::readPacket(PacketBuffer& buffer) {
    for (;;) {
        int result = receiveFrame(buffer);
        if (result < 0)
            return result;
        int type = finishFrame(buffer);
        if (type != MSG_IGNORE && type != MSG_DEBUG)
            return type;
    }
}

int Transport::writePacket(PacketBuffer& buffer) {
    frame(buffer);
    return stream_.sendBytes(buffer.start(), buffer.length()) ? 0 : -1;
}

// Under a chaining cipher the ciphertext is checked for spliced blocks before
// anything in it is trusted; without a cipher there is no chain to splice.
int CipherTransport::decryptFrame(PacketBuffer& buffer) {
    if (contexts_.receive.type != CIPHER_NONE && insertionCheck.load(std::memory_order_relaxed) &&
        detector_.attacked(packetBody(buffer), packetBodySize(buffer)))
        return READ_INSERTION_ATTACK;
    decrypt(buffer);
    int type = finishFrame(buffer);
    return type >= 0 && compression_ ? compression_->decompress(buffer) : type;
}

int CipherTransport::readPacket(PacketBuffer& buffer) {
    for (;;) {
        int result = receiveFrame(buffer);
        if (result < 0)
            return result;
        int type = decryptFrame(buffer);
        if (type != MSG_IGNORE && type != MSG_DEBUG)
            return type;
    }
}

int CipherTransport::readKeyConfirmation(PacketBuffer& buffer) {
    int result = receiveFrame(buffer);
    if (result < 0)
        return result;
    // A real answer passes this test only by a 2^-32 accident of its CRC.
    if (plainFrameOfType(buffer, MSG_DISCONNECT))
        return finishFrame(buffer);
    int type = decryptFrame(buffer);
    return type == MSG_IGNORE || type == MSG_DEBUG ? readPacket(buffer) : type;
}

int CipherTransport::writePacket(PacketBuffer& buffer) {
    if (compression_ && !compression_->compress(buffer))
        return -1;
    // Without encryption the padding is left as zeros, as the protocol has it.
    frame(buffer, contexts_.send.type != CIPHER_NONE ? &padding_ : nullptr);
    encrypt(buffer);
    return stream().sendBytes(buffer.start(), buffer.length()) ? 0 : -1;
}

void CipherTransport::setSessionKey(const uint8_t* key, std::size_t length) {
    setKey(contexts_.receive, key, length, DIRECTION_RECEIVE);
    setKey(contexts_.send, key, length, DIRECTION_SEND);
}

void TripleDesTransport::setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                                int) {
    cipherKeyTripleDes(context, key, length);
}

void TripleDesTransport::encrypt(PacketBuffer& buffer) {
    uint8_t* body = packetBody(buffer);
    tripleDesEncrypt(contexts_.send.state.tripleDes, body, body, packetBodySize(buffer));
}

void TripleDesTransport::decrypt(PacketBuffer& buffer) {
    uint8_t* body = packetBody(buffer);
    tripleDesDecrypt(contexts_.receive.state.tripleDes, body, body, packetBodySize(buffer));
}

void DesTransport::setKey(CipherContext& context, const uint8_t* key, std::size_t length, int) {
    cipherKeyDes(context, key, length);
}

void DesTransport::encrypt(PacketBuffer& buffer) {
    cipherEncrypt(contexts_.send, packetBody(buffer), packetBodySize(buffer));
}

void DesTransport::decrypt(PacketBuffer& buffer) {
    cipherDecrypt(contexts_.receive, packetBody(buffer), packetBodySize(buffer));
}

void BlowfishTransport::setKey(CipherContext& context, const uint8_t* key, std::size_t length,
                               int) {
    cipherKeyBlowfish(context, key, length);
}

void BlowfishTransport::encrypt(PacketBuffer& buffer) {
    uint8_t* body = packetBody(buffer);
    blowfishCbcEncrypt(contexts_.send.state.blowfish, body, body, packetBodySize(buffer));
}

void BlowfishTransport::decrypt(PacketBuffer& buffer) {
    uint8_t* body = packetBody(buffer);
    blowfishCbcDecrypt(contexts_.receive.state.blowfish, body, body, packetBodySize(buffer));
}

void NullCipherTransport::setKey(CipherContext& context, const uint8_t*, std::size_t, int) {
    cipherKeyNone(context);
}

void NullCipherTransport::setSessionKey(const uint8_t*, std::size_t) {
    // Nothing to key; the contexts are still marked as carrying no cipher.
    cipherKeyNone(contexts_.receive);
    cipherKeyNone(contexts_.send);
}

void NullCipherTransport::encrypt(PacketBuffer&) {}

void NullCipherTransport::decrypt(PacketBuffer&) {}

} // namespace kestrel
