// The buffer every message is built in and every received packet is parsed
// from. One cursor serves as the write end while building and the read
// position while parsing. Reads never go past the read limit (the received
// data, less the check field): a short packet fails the parse, sticky, and the
// gets then return zero values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <gmp.h>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Offset of the type byte in a message being built: 4 length bytes and the
// 8 padding placeholders come first.
constexpr std::size_t POS_MESSAGE_TYPE = 12;

// An mpint carries a 16-bit bit count.
constexpr std::size_t MPINT_MAX_BITS = 0xFFFF;

class PacketBuffer {
public:
    PacketBuffer() { reset(); }
    ~PacketBuffer() { wipe(); }
    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;

    void beginPacket(uint8_t type);
    void reset();
    // Frees the storage; the buffer may be used again after reset or beginPacket.
    void release();
    // Zeroes the storage before it is dropped (messages that carried secrets).
    void wipe();

    uint8_t* start() { return storage_.data(); }
    const uint8_t* start() const { return storage_.data(); }
    uint8_t* cursor() { return storage_.data() + cursor_; }
    std::size_t length() const { return cursor_; }
    std::size_t size() const { return storage_.size(); }

    // n > 0: grows the storage by n bytes past the cursor (cursor offset kept).
    // n <= 0: moves the cursor back by -n. Returns the cursor.
    uint8_t* reserve(std::ptrdiff_t n);
    void advance(std::ptrdiff_t n);
    // Cuts the storage at the cursor, then appends there.
    std::size_t append(const void* bytes, std::size_t n);
    // Copies n bytes from the cursor; false (and zeroes) when fewer remain.
    bool take(void* destination, std::size_t n);

    void putByte(uint8_t value) { append(&value, 1); }
    void putUint32(uint32_t value);
    void putString(const char* text);
    void putBytesString(const void* bytes, std::size_t n);
    // False for values that do not fit the 16-bit bit count (nothing appended).
    bool putMpint(const mpz_t value);

    uint8_t getByte();
    uint32_t getUint32();
    std::string getString();
    // The same string without a copy: it points into the buffer and lasts
    // until the buffer changes.
    std::string_view getStringView();
    bool getMpint(mpz_t value);

    // Parsing stops at this offset (set by the transport to exclude the check).
    void setReadLimit(std::size_t limit) { limit_ = limit; }
    std::size_t remaining() const { return limit_ > cursor_ ? limit_ - cursor_ : 0; }
    bool failed() const { return failed_; }

private:
    // Every size change goes through here (growth never leaves a copy behind).
    void resizeTo(std::size_t size);

    std::vector<uint8_t> storage_;
    std::size_t cursor_ = 0;
    std::size_t limit_ = 0;
    bool failed_ = false;
};

} // namespace kestrel
