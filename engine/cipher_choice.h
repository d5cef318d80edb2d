// Which cipher to name in the session-key message, from the user's preference
// and the server's supported-ciphers mask, with the reasoning written to the
// terminal line by line.
#pragma once
#include <cstdint>

namespace kestrel {

struct SessionState;

// Candidates: the wire ciphers and this program's second attempts at them.
constexpr uint8_t CANDIDATE_NONE = 0;
constexpr uint8_t CANDIDATE_3DES = 3;
constexpr uint8_t CANDIDATE_3DESCBC = 9;
constexpr uint8_t CANDIDATE_BLOWFISH = 6;
constexpr uint8_t CANDIDATE_BLOWFISHCBC = 8;
// Single DES is tried only when asked for by name, never as a fall-back.
constexpr uint8_t CANDIDATE_DES = 2;

// The wire cipher (3, 6 or 0) to send. Support is the server's mask bit
// 1 << wire number; 0 is returned only when the preference is none.
uint8_t chooseCipher(SessionState& state, uint8_t candidate, uint32_t mask);
// The first of 3, 9, 6, 8 not yet in the tried set (one bit per candidate,
// see triedBit); 0 when all were tried.
uint8_t nextCandidate(uint8_t tried);
uint8_t triedBit(uint8_t candidate);

} // namespace kestrel
