#include "engine/cipher_choice.h"

#include "crypto/cipher_context.h"
#include "engine/status_log.h"

namespace kestrel {

namespace {

struct Candidate {
    uint8_t number;
    uint8_t wire;
    const char* attempt;     // completes "Attempting cipher type '"
    const char* selected;
    const char* unsupported;
    uint8_t second;          // the follow-up attempt at the same cipher, 0 for none
};

constexpr Candidate CANDIDATES[] = {
    {CANDIDATE_3DES, CIPHER_TRIPLE_DES, "3DES'...\n", "Cipher '3DES' selected.\n",
     "Cipher type '3DES' not supported by server.\n", CANDIDATE_3DESCBC},
    {CANDIDATE_3DESCBC, CIPHER_TRIPLE_DES, "3DESCBC'...\n", "Cipher '3DESCBC' selected.\n",
     "Cipher type '3DESCBC' not supported by server.\n", 0},
    {CANDIDATE_BLOWFISH, CIPHER_BLOWFISH, "BLOWFISH'...\n", "Cipher 'BLOWFISH' selected.\n",
     "Cipher type 'BLOWFISH' not supported by server.\n", CANDIDATE_BLOWFISHCBC},
    {CANDIDATE_BLOWFISHCBC, CIPHER_BLOWFISH, "BLOWFISHCBC'...\n",
     "Cipher 'BLOWFISHCBC' selected.\n", "Cipher type 'BLOWFISHCBC' not supported by server.\n",
     0},
};

const Candidate* find(uint8_t number) {
    for (const Candidate& candidate : CANDIDATES)
        if (candidate.number == number)
            return &candidate;
    return nullptr;
}

bool offered(uint32_t mask, uint8_t wire) { return (mask >> wire & 1) != 0; }

} // namespace

uint8_t triedBit(uint8_t candidate) {
    for (unsigned index = 0; index < 4; ++index)
        if (CANDIDATES[index].number == candidate)
            return uint8_t(1u << index);
    return 0;
}

uint8_t nextCandidate(uint8_t tried) {
    for (const Candidate& candidate : CANDIDATES)
        if ((tried & triedBit(candidate.number)) == 0)
            return candidate.number;
    return CANDIDATE_NONE;
}

uint8_t chooseCipher(SessionState&, uint8_t candidate, uint32_t mask) {
    if (candidate == CANDIDATE_NONE) {
        logStatus("Attempting cipher type '");
        logStatus("NONE'...\n");
        logStatus("No cipher selected. Encryption disabled.\n");
        return CIPHER_NONE;
    }
    if (candidate == CANDIDATE_DES) {
        logStatus("Attempting cipher type '");
        logStatus("DES'...\n");
        if (offered(mask, CIPHER_DES)) {
            logStatus("Cipher 'DES' selected.\n");
            return CIPHER_DES;
        }
        // What the server offers instead is stronger; it is taken.
        logStatus("Cipher type 'DES' not supported by server.\n");
        candidate = CANDIDATE_3DES;
    }
    // An unknown preference (a damaged setting) is taken as the default.
    const Candidate* current = find(candidate);
    if (current == nullptr)
        current = find(CANDIDATE_3DES);
    uint8_t tried = 0;
    while (current != nullptr) {
        logStatus("Attempting cipher type '");
        logStatus(current->attempt);
        // 3DESCBC after a refused 3DES is taken all the same: every server
        // must speak Triple-DES, so a Triple-DES preference never ends in
        // another cipher.
        bool tripleDesAgain =
            current->number == CANDIDATE_3DESCBC && (tried & triedBit(CANDIDATE_3DES)) != 0;
        if (offered(mask, current->wire) || tripleDesAgain) {
            logStatus(current->selected);
            return current->wire;
        }
        logStatus(current->unsupported);
        tried |= triedBit(current->number);
        uint8_t next = current->second != 0 && (tried & triedBit(current->second)) == 0
                           ? current->second
                           : nextCandidate(tried);
        current = find(next);
    }
    // Every protocol-1 server must speak Triple-DES; falling silently to no
    // encryption would expose the password.
    logStatus("Server offers no known cipher; trying '3DES'.\n");
    return CIPHER_TRIPLE_DES;
}

} // namespace kestrel
