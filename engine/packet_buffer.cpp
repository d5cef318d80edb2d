#include "engine/packet_buffer.h"

#include <algorithm>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/secure_zero.h"

namespace kestrel {

void PacketBuffer::reset() {
    storage_.clear();
    cursor_ = 0;
    limit_ = 0;
    failed_ = false;
}

void PacketBuffer::release() {
    wipe();
    storage_.shrink_to_fit();
}

void PacketBuffer::resizeTo(std::size_t size) {
    if (size > storage_.capacity()) {
        // The storage may hold a password or typed text: move it by hand so
        // the old block is zeroed before it goes back to the heap.
        std::vector<uint8_t> grown;
        grown.reserve(std::max(size, 2 * storage_.capacity()));
        grown.assign(storage_.begin(), storage_.end());
        storage_.resize(storage_.capacity());
        if (!storage_.empty())
            secureZero(storage_.data(), storage_.size());
        storage_.swap(grown);
    }
    storage_.resize(size);
}

void PacketBuffer::wipe() {
    // Bytes cut off by earlier shrinks still sit in the capacity.
    storage_.resize(storage_.capacity());
    if (!storage_.empty())
        secureZero(storage_.data(), storage_.size());
    reset();
}

void PacketBuffer::beginPacket(uint8_t type) {
    reset();
    resizeTo(POS_MESSAGE_TYPE + 1);
    storage_[POS_MESSAGE_TYPE] = type;
    cursor_ = storage_.size();
    limit_ = cursor_;
}

uint8_t* PacketBuffer::reserve(std::ptrdiff_t n) {
    if (n > 0) {
        resizeTo(cursor_ + std::size_t(n));
        limit_ = storage_.size();
    } else {
        std::size_t back = std::size_t(-n);
        cursor_ = back > cursor_ ? 0 : cursor_ - back;
    }
    return cursor();
}

void PacketBuffer::advance(std::ptrdiff_t n) {
    if (n >= 0)
        cursor_ = std::min(storage_.size(), cursor_ + std::size_t(n));
    else
        cursor_ = std::size_t(-n) > cursor_ ? 0 : cursor_ - std::size_t(-n);
}

std::size_t PacketBuffer::append(const void* bytes, std::size_t n) {
    resizeTo(cursor_ + n);
    if (n > 0)
        std::memcpy(storage_.data() + cursor_, bytes, n);
    cursor_ += n;
    limit_ = cursor_;
    return n;
}

bool PacketBuffer::take(void* destination, std::size_t n) {
    if (failed_ || n > remaining()) {
        failed_ = true;
        if (n > 0)
            std::memset(destination, 0, n);
        return false;
    }
    if (n > 0)
        std::memcpy(destination, storage_.data() + cursor_, n);
    cursor_ += n;
    return true;
}

void PacketBuffer::putUint32(uint32_t value) {
    uint8_t bytes[4];
    storeBe32(bytes, value);
    append(bytes, 4);
}

void PacketBuffer::putString(const char* text) {
    putBytesString(text, std::strlen(text));
}

void PacketBuffer::putBytesString(const void* bytes, std::size_t n) {
    putUint32(uint32_t(n));
    append(bytes, n);
}

bool PacketBuffer::putMpint(const mpz_t value) {
    std::size_t bits = mpz_sizeinbase(value, 2);
    if (mpz_sgn(value) < 0 || bits > MPINT_MAX_BITS)
        return false;
    std::size_t count = (bits + 7) / 8;
    uint8_t head[2] = {uint8_t(bits >> 8), uint8_t(bits)};
    append(head, 2);
    uint8_t* out = reserve(std::ptrdiff_t(count));
    std::size_t written = 0;
    mpz_export(out, &written, 1, 1, 1, 0, value);
    if (written == 0)
        out[0] = 0; // zero is one byte 00 after a bit count of 1
    cursor_ += count;
    return true;
}

uint8_t PacketBuffer::getByte() {
    uint8_t value = 0;
    take(&value, 1);
    return value;
}

uint32_t PacketBuffer::getUint32() {
    uint8_t bytes[4];
    take(bytes, 4);
    return loadBe32(bytes);
}

std::string PacketBuffer::getString() { return std::string(getStringView()); }

std::string_view PacketBuffer::getStringView() {
    uint32_t length = getUint32();
    // Checked before use: the length field is the peer's word.
    if (failed_ || length > remaining()) {
        failed_ = true;
        return {};
    }
    std::string_view text(reinterpret_cast<const char*>(storage_.data() + cursor_), length);
    cursor_ += length;
    return text;
}

bool PacketBuffer::getMpint(mpz_t value) {
    uint8_t head[2];
    if (!take(head, 2))
        return false;
    std::size_t bits = std::size_t(head[0]) << 8 | head[1];
    std::size_t count = (bits + 7) / 8;
    if (count > remaining()) {
        failed_ = true;
        return false;
    }
    // A bit count of 0 leaves the value as it was.
    if (count > 0)
        mpz_import(value, count, 1, 1, 1, 0, storage_.data() + cursor_);
    cursor_ += count;
    return true;
}

} // namespace kestrel
