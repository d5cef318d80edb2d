#include <gtest/gtest.h>

#include <random>

#include "engine/insertion_detector.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

using test::Bytes;

Bytes randomBlocks(std::size_t blocks, uint64_t seed) {
    std::mt19937_64 generator(seed);
    Bytes bytes(blocks * CIPHER_BLOCK_SIZE);
    for (uint8_t& byte : bytes)
        byte = uint8_t(generator());
    return bytes;
}

void copyBlock(Bytes& bytes, std::size_t from, std::size_t to) {
    std::copy_n(bytes.begin() + from * 8, 8, bytes.begin() + to * 8);
}

struct Splice {
    const char* name;
    std::size_t blocks;
    std::ptrdiff_t from, to; // -1: no copy
    bool attacked;
};

// From one block to the largest packet, a copy anywhere (first, middle, last
// block) is caught, and distinct blocks never are.
TEST(InsertionDetectorTest, CopiedBlocksAreCaughtAtEverySize) {
    const std::size_t largest = DETECTOR_MAX_BODY / CIPHER_BLOCK_SIZE;
    const Splice cases[] = {
        {"one block", 1, -1, -1, false},
        {"two blocks, copied", 2, 0, 1, true},
        {"512-byte packet", 65, -1, -1, false},
        {"512-byte packet, copy in the middle", 65, 3, 40, true},
        {"largest packet", largest, -1, -1, false},
        {"largest packet, first copied to last", largest, 0, std::ptrdiff_t(largest) - 1, true},
    };
    for (const Splice& c : cases) {
        InsertionDetector detector(0x1234);
        Bytes body = randomBlocks(c.blocks, c.blocks);
        if (c.from >= 0)
            copyBlock(body, std::size_t(c.from), std::size_t(c.to));
        EXPECT_EQ(detector.attacked(body.data(), body.size()), c.attacked) << c.name;
    }
}

// The block that chains into a packet counts: a one-block packet that
// repeats the previous packet's last block is caught, and a packet that was
// refused does not become the chain for the next.
TEST(InsertionDetectorTest, TheChainingBlockCounts) {
    InsertionDetector detector(99);
    Bytes zeros(8, 0); // the chain starts from a zero IV
    EXPECT_TRUE(detector.attacked(zeros.data(), zeros.size()));
    Bytes first = randomBlocks(3, 1), second = randomBlocks(1, 2);
    EXPECT_FALSE(detector.attacked(first.data(), first.size()));
    std::copy_n(first.end() - 8, 8, second.begin());
    EXPECT_TRUE(detector.attacked(second.data(), second.size()));
    Bytes third = randomBlocks(1, 3);
    EXPECT_FALSE(detector.attacked(third.data(), third.size()));
}

// Sizes the framing refuses are not the detector's to judge.
TEST(InsertionDetectorTest, BodiesOutsideTheFramingAreNotExamined) {
    InsertionDetector detector(5);
    Bytes body(DETECTOR_MAX_BODY + 8, 0);
    EXPECT_FALSE(detector.attacked(body.data(), 0));
    EXPECT_FALSE(detector.attacked(body.data(), 12));
    EXPECT_FALSE(detector.attacked(body.data(), body.size()));
}

// Every salt gives the same answers (the salt only spreads the table).
TEST(InsertionDetectorTest, AnswersDoNotDependOnTheSalt) {
    Bytes body = randomBlocks(300, 7);
    copyBlock(body, 10, 299);
    for (uint64_t salt : {uint64_t(0), ~uint64_t(0), detectorSalt()}) {
        InsertionDetector detector(salt);
        EXPECT_TRUE(detector.attacked(body.data(), body.size()));
    }
}

} // namespace
} // namespace kestrel
