#include "engine/insertion_detector.h"

#include <cstring>
#include <random>

namespace kestrel {

namespace {

uint64_t loadBlock(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

static_assert(DETECTOR_MAX_BLOCKS + 1 < DETECTOR_MAX_SLOTS, "a full table would never end a probe");
static_assert(DETECTOR_MAX_SLOTS <= 0x10000, "block indexes live in 16-bit slots");

// Twice the entries, so probe chains stay short; the largest packet fills
// the largest table just over half.
unsigned slotBitsFor(std::size_t entries) {
    unsigned bits = 4;
    while ((std::size_t(1) << bits) < 2 * entries && (std::size_t(1) << bits) < DETECTOR_MAX_SLOTS)
        ++bits;
    return bits;
}

} // namespace

InsertionDetector::InsertionDetector(uint64_t salt) : salt_(salt) {}

std::size_t InsertionDetector::slotOf(uint64_t block, unsigned bits) const {
    // Multiplicative hashing: the high bits of the product mix every input bit.
    return std::size_t(((block ^ salt_) * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// The table holds the body's blocks (index + 1); the chaining block is a
// single value, compared directly.
bool InsertionDetector::repeats(const uint8_t* body, std::size_t blocks) {
    unsigned bits = slotBitsFor(blocks + 1);
    std::size_t size = std::size_t(1) << bits;
    if (slots_.size() < size)
        slots_.resize(size);
    uint16_t* slots = slots_.data();
    std::memset(slots, 0, size * sizeof slots[0]);
    std::size_t mask = size - 1;
    uint64_t chain = loadBlock(previous_);
    for (std::size_t index = 0; index < blocks; ++index) {
        uint64_t block = loadBlock(body + index * CIPHER_BLOCK_SIZE);
        if (block == chain)
            return true;
        for (std::size_t slot = slotOf(block, bits);; slot = (slot + 1) & mask) {
            uint16_t held = slots[slot];
            if (held == 0) {
                slots[slot] = uint16_t(index + 1);
                break;
            }
            if (loadBlock(body + (held - 1) * CIPHER_BLOCK_SIZE) == block)
                return true;
        }
    }
    return false;
}

bool InsertionDetector::attacked(const uint8_t* body, std::size_t length) {
    if (length == 0 || length % CIPHER_BLOCK_SIZE != 0 || length > DETECTOR_MAX_BODY)
        return false;
    if (repeats(body, length / CIPHER_BLOCK_SIZE))
        return true;
    std::memcpy(previous_, body + length - CIPHER_BLOCK_SIZE, CIPHER_BLOCK_SIZE);
    return false;
}

uint64_t detectorSalt() {
    std::random_device source;
    return (uint64_t(source()) << 32) ^ source();
}

} // namespace kestrel
