#include <gtest/gtest.h>

#include "engine/cipher_choice.h"
#include "engine/session.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

struct Choice {
    uint8_t sent;
    std::string lines;
};

Choice choose(uint8_t preference, uint32_t mask) {
    test::StatusRecorder status;
    FixedSessionHost host("u", "p", false, {24, 80, 0, 0});
    SessionState state(std::make_unique<Transport>(), preference, host);
    uint8_t sent = chooseCipher(state, preference, mask);
    return {sent, status.text()};
}

const char* const ATTEMPT = "Attempting cipher type '";

TEST(CipherChoiceTest, PreferredCipherOfferedByTheServerIsSelectedAtOnce) {
    Choice tripleDes = choose(3, 0x48);
    EXPECT_EQ(tripleDes.sent, 3);
    EXPECT_EQ(tripleDes.lines, std::string(ATTEMPT) + "3DES'...\nCipher '3DES' selected.\n");
    Choice blowfish = choose(6, 0x48);
    EXPECT_EQ(blowfish.sent, 6);
    EXPECT_EQ(blowfish.lines, std::string(ATTEMPT) + "BLOWFISH'...\nCipher 'BLOWFISH' selected.\n");
}

TEST(CipherChoiceTest, BlowfishPreferenceFallsBackToTripleDes) {
    Choice choice = choose(6, 0x08);
    EXPECT_EQ(choice.sent, 3);
    EXPECT_EQ(choice.lines, std::string(ATTEMPT) + "BLOWFISH'...\n" +
                                "Cipher type 'BLOWFISH' not supported by server.\n" + ATTEMPT +
                                "BLOWFISHCBC'...\n" +
                                "Cipher type 'BLOWFISHCBC' not supported by server.\n" + ATTEMPT +
                                "3DES'...\nCipher '3DES' selected.\n");
}

// The lines a Triple-DES preference shows when the server's mask lacks the
// Triple-DES bit: the second attempt takes it regardless.
const std::string TRIPLE_DES_REFUSED_THEN_TAKEN =
    std::string(ATTEMPT) + "3DES'...\n" + "Cipher type '3DES' not supported by server.\n" + ATTEMPT +
    "3DESCBC'...\n" + "Cipher '3DESCBC' selected.\n";

TEST(CipherChoiceTest, TripleDesPreferenceAlwaysEndsInTripleDes) {
    // Mask 2 has only bit 1; 0x40 only Blowfish; 0 nothing at all.
    for (uint32_t mask : {0x02u, 0x40u, 0x00u}) {
        Choice choice = choose(3, mask);
        EXPECT_EQ(choice.sent, 3) << mask;
        EXPECT_EQ(choice.lines, TRIPLE_DES_REFUSED_THEN_TAKEN) << mask;
    }
}

TEST(CipherChoiceTest, NoneIsSentOnlyWhenTheUserChoseIt) {
    Choice none = choose(0, 0x48);
    EXPECT_EQ(none.sent, 0);
    EXPECT_EQ(none.lines,
              std::string(ATTEMPT) + "NONE'...\nNo cipher selected. Encryption disabled.\n");

    // A server that offers nothing this client speaks: a user who asked for
    // Blowfish still never ends up without encryption.
    Choice blowfish = choose(6, 0);
    EXPECT_EQ(blowfish.sent, 3);
    EXPECT_EQ(blowfish.lines, std::string(ATTEMPT) + "BLOWFISH'...\n" +
                                  "Cipher type 'BLOWFISH' not supported by server.\n" + ATTEMPT +
                                  "BLOWFISHCBC'...\n" +
                                  "Cipher type 'BLOWFISHCBC' not supported by server.\n" +
                                  TRIPLE_DES_REFUSED_THEN_TAKEN);
    // A stored preference that starts at the second Triple-DES attempt runs
    // out of candidates before 3DESCBC could follow a refused 3DES.
    Choice odd = choose(9, 0);
    EXPECT_EQ(odd.sent, 3);
    EXPECT_EQ(odd.lines.find("NONE"), std::string::npos);
    EXPECT_NE(odd.lines.find("Server offers no known cipher; trying '3DES'.\n"), std::string::npos);
}

TEST(CipherChoiceTest, CandidatesComeInOrderAndEachOnce) {
    EXPECT_EQ(nextCandidate(0), CANDIDATE_3DES);
    EXPECT_EQ(nextCandidate(triedBit(3)), CANDIDATE_3DESCBC);
    EXPECT_EQ(nextCandidate(triedBit(3) | triedBit(9)), CANDIDATE_BLOWFISH);
    EXPECT_EQ(nextCandidate(triedBit(6) | triedBit(8)), CANDIDATE_3DES);
    EXPECT_EQ(nextCandidate(triedBit(3) | triedBit(9) | triedBit(6) | triedBit(8)), CANDIDATE_NONE);
    // An unknown stored preference behaves as the default.
    EXPECT_EQ(choose(77, 0x48).sent, 3);
}

} // namespace
} // namespace kestrel
