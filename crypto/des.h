// DES (FIPS 46-3) and the protocol's three-pass Triple-DES: three complete
// DES-CBC passes over the buffer, each with its own key and running IV. This is
// not EDE3-CBC; a peer using one cannot read the other.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel {

// 16 round keys, two 32-bit words each, packed for the table-driven round.
struct DesKeySchedule {
    uint32_t subkeys[32];
};

// Single DES in CBC mode, the protocol's cipher 2: one key, one running IV.
struct SingleDesState {
    DesKeySchedule schedule;
    uint8_t iv[8];
};

struct TripleDesState {
    DesKeySchedule schedule1;
    uint8_t iv1[8];
    DesKeySchedule schedule2;
    uint8_t iv2[8];
    DesKeySchedule schedule3;
    uint8_t iv3[8];
};

// Parity bits are ignored; weak keys are accepted (the protocol never checks).
void desSetKey(const uint8_t key[8], DesKeySchedule& schedule);

// length is a multiple of 8; destination may equal source. iv is updated.
void desCbcEncrypt(const DesKeySchedule& schedule, uint8_t iv[8], uint8_t* destination,
                   const uint8_t* source, std::size_t length);
void desCbcDecrypt(const DesKeySchedule& schedule, uint8_t iv[8], uint8_t* destination,
                   const uint8_t* source, std::size_t length);

void tripleDesEncrypt(TripleDesState& state, uint8_t* destination, const uint8_t* source,
                      std::size_t length);
void tripleDesDecrypt(TripleDesState& state, uint8_t* destination, const uint8_t* source,
                      std::size_t length);

} // namespace kestrel
