#include <gtest/gtest.h>

#include <random>

#include "engine/insertion_detector.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

test::Bytes randomBlocks(std::size_t blocks, uint64_t seed) {
    std::mt19937_64 generator(seed);
    test::Bytes bytes(blocks * CIPHER_BLOCK_SIZE);
    for (uint8_t& byte : bytes)
        byte = uint8_t(generator());
    return bytes;
}

// From one block to the largest packet, a copied block anywhere is caught
// and distinct blocks never are, whatever the salt.
TEST(InsertionDetectorTest, CopiedBlocksAreCaughtAtEverySize) {
    const std::size_t largest = DETECTOR_MAX_BODY / CIPHER_BLOCK_SIZE;
    struct { std::size_t blocks, from, to; } cases[] = {
        {1, 0, 0}, {2, 0, 1}, {66, 0, 0}, {66, 3, 40}, {largest, 0, 0}, {largest, 0, largest - 1}};
    for (auto c : cases) {
        for (uint64_t salt : {uint64_t(0), ~uint64_t(0), detectorSalt()}) {
            InsertionDetector detector(salt);
            test::Bytes body = randomBlocks(c.blocks, c.blocks);
            std::copy_n(body.begin() + c.from * 8, 8, body.begin() + c.to * 8);
            EXPECT_EQ(detector.attacked(body.data(), body.size()), c.from != c.to) << c.blocks << " " << c.to;
        }
    }
}

// The block that chains into a packet counts, a refused packet does not
// become the chain, and sizes the framing refuses are not examined.
TEST(InsertionDetectorTest, TheChainingBlockCountsAndOddSizesAreLeftAlone) {
    InsertionDetector detector(99);
    test::Bytes zeros(DETECTOR_MAX_BODY + 8, 0); // the chain starts from a zero IV
    EXPECT_TRUE(detector.attacked(zeros.data(), 8));
    EXPECT_FALSE(detector.attacked(zeros.data(), 12));
    EXPECT_FALSE(detector.attacked(zeros.data(), zeros.size()));
    test::Bytes first = randomBlocks(3, 1), second = randomBlocks(1, 2), third = randomBlocks(1, 3);
    EXPECT_FALSE(detector.attacked(first.data(), first.size()));
    std::copy_n(first.end() - 8, 8, second.begin());
    EXPECT_TRUE(detector.attacked(second.data(), second.size()));
    EXPECT_FALSE(detector.attacked(third.data(), third.size()));
}

} // namespace
} // namespace kestrel
