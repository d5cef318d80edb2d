// Recognises packets shaped by the CRC-32 compensation attack on CBC
// channels (published 1998). The check field is a CRC under encryption, and
// a CRC is linear: an attacker who has seen ciphertext blocks whose
// plaintext he knows can splice copies of them into a packet and add a run
// of further copies that cancels their effect on the CRC, without the key.
// Cancelling 32 bits of CRC with the few known blocks he has takes the same
// ciphertext block several times in one packet. Under a good cipher in CBC
// mode two equal ciphertext blocks in one packet are all but impossible
// (about n^2 / 2^65 for n blocks: below 2^-35 for the largest packet), so a
// repeated block is taken as the attack.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel {

constexpr std::size_t CIPHER_BLOCK_SIZE = 8;
// The largest encrypted body: the 256 KiB length limit plus a full block of
// padding. With the chaining block before it, every block index fits the
// table's 16-bit slots.
constexpr std::size_t DETECTOR_MAX_BODY = 256 * 1024 + CIPHER_BLOCK_SIZE;
constexpr std::size_t DETECTOR_MAX_BLOCKS = DETECTOR_MAX_BODY / CIPHER_BLOCK_SIZE + 1;
// Open addressing stays fast while about half the slots are used; the table
// for the largest packet is 64 Ki slots of 2 bytes (128 KiB), and a small
// packet clears and uses only the slots it needs.
constexpr std::size_t DETECTOR_MAX_SLOTS = 64 * 1024;

class InsertionDetector {
public:
    // The salt keys the table's hash so that a sender cannot choose blocks
    // that all land in one chain and make the check slow.
    explicit InsertionDetector(uint64_t salt);

    // The encrypted body of one received packet, before it is decrypted.
    // True when a ciphertext block repeats in it (the chaining block that
    // precedes it counts too). Bodies that are not whole blocks or exceed
    // DETECTOR_MAX_BODY are the framing's to refuse and are not examined.
    // A clean packet's last block becomes the chaining block of the next.
    bool attacked(const uint8_t* body, std::size_t length);

private:
    bool repeats(const uint8_t* body, std::size_t blocks);
    std::size_t slotOf(uint64_t block, unsigned bits) const;

    uint64_t salt_;
    uint8_t previous_[CIPHER_BLOCK_SIZE] = {}; // the chain starts from a zero IV
    std::vector<uint16_t> slots_; // block index + 1; 0 is free
};

// A fresh salt from the platform's random source.
uint64_t detectorSalt();

} // namespace kestrel
