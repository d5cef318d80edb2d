#include <gtest/gtest.h>

#include "engine/cipher_choice.h"
#include "engine/session.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

std::string tried(const std::string& name) { return "Attempting cipher type '" + name + "'...\n"; }
std::string refused(const std::string& name) {
    return tried(name) + "Cipher type '" + name + "' not supported by server.\n";
}
std::string taken(const std::string& name) { return tried(name) + "Cipher '" + name + "' selected.\n"; }

struct ChoiceCase {
    uint8_t preference;
    uint32_t mask;
    uint8_t sent;
    std::string lines;
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << int(c.preference) << "/" << c.mask; }

class CipherChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(CipherChoiceTest, SendsTheCipherAndShowsEachAttempt) {
    const ChoiceCase& c = GetParam();
    test::StatusRecorder status;
    FixedSessionHost host("u", "p", false, {24, 80, 0, 0});
    SessionState state(std::make_unique<Transport>(), c.preference, host);
    EXPECT_EQ(chooseCipher(state, c.preference, c.mask), c.sent);
    EXPECT_EQ(status.text(), c.lines);
}

// Mask 0x48 offers Triple-DES and Blowfish; 0x02 only bit 1; 0x40 only
// Blowfish. A Triple-DES preference always ends in Triple-DES (the second
// attempt is taken regardless), and only the user's own choice sends none.
const std::string BLOWFISH_REFUSED = refused("BLOWFISH") + refused("BLOWFISHCBC");
const std::string TRIPLE_DES_AGAIN = refused("3DES") + taken("3DESCBC");

INSTANTIATE_TEST_SUITE_P(
    Choices, CipherChoiceTest,
    ::testing::Values(
        ChoiceCase{3, 0x48, 3, taken("3DES")}, ChoiceCase{6, 0x48, 6, taken("BLOWFISH")},
        // An unknown stored preference behaves as the default.
        ChoiceCase{77, 0x48, 3, taken("3DES")},
        ChoiceCase{6, 0x08, 3, BLOWFISH_REFUSED + taken("3DES")},
        ChoiceCase{3, 0x02, 3, TRIPLE_DES_AGAIN}, ChoiceCase{3, 0x40, 3, TRIPLE_DES_AGAIN},
        ChoiceCase{3, 0x00, 3, TRIPLE_DES_AGAIN},
        ChoiceCase{0, 0x48, 0, tried("NONE") + "No cipher selected. Encryption disabled.\n"},
        ChoiceCase{6, 0x00, 3, BLOWFISH_REFUSED + TRIPLE_DES_AGAIN},
        // Starting at the second Triple-DES attempt runs out of candidates
        // before 3DESCBC could follow a refused 3DES; still never none.
        ChoiceCase{9, 0x00, 3,
                   refused("3DESCBC") + refused("3DES") + BLOWFISH_REFUSED +
                       "Server offers no known cipher; trying '3DES'.\n"}));

} // namespace
} // namespace kestrel
