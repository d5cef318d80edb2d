#include <gtest/gtest.h>

#include "engine/key_checks.h"
#include "engine/key_exchange.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

// One side of a case: exponent, real modulus size, announced size (0: the real one).
struct KeyShape {
    unsigned long exponent;
    uint32_t bits;
    uint32_t announced = 0;
};

struct CheckCase {
    const char* name;
    KeyShape server;
    KeyShape host;
    bool accepted;
    std::string lines;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

// The checks read only sizes and exponents, so any odd modulus of the size will do.
void shape(RsaPublicKey& key, const KeyShape& s) {
    mpz_set_ui(key.exponent, s.exponent);
    mpz_set_ui(key.modulus, 1);
    mpz_setbit(key.modulus, s.bits - 1);
    key.bits = s.announced != 0 ? s.announced : s.bits;
}

class KeyChecksTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(KeyChecksTest, RefusesOrWarnsBeforeAnyKeyIsSent) {
    const CheckCase& c = GetParam();
    test::StatusRecorder status;
    RsaPublicKey server, host;
    shape(server, c.server);
    shape(host, c.host);
    EXPECT_EQ(checkServerKeys(server, host), c.accepted);
    EXPECT_EQ(status.text(), c.lines);
    if (c.accepted) {
        EXPECT_EQ(server.bits, c.server.bits);
        EXPECT_EQ(host.bits, c.host.bits);
    }
}

const std::string DISTANCE = "ERROR - Server and host key sizes differ by less than 128 bits\n";

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyChecksTest,
    ::testing::Values(
        CheckCase{"usual", {65537, 768}, {65537, 1024}, true, ""},
        CheckCase{"smallestExponent", {3, 768}, {3, 1024}, true, ""},
        CheckCase{"exponentOne", {1, 768}, {65537, 1024}, false,
                  "ERROR - Server key exponent unusable (below 3 or even)\n"},
        CheckCase{"exponentTwo", {65537, 768}, {2, 1024}, false,
                  "ERROR - Host key exponent unusable (below 3 or even)\n"},
        CheckCase{"evenExponent", {65536, 768}, {65537, 1024}, false,
                  "ERROR - Server key exponent unusable (below 3 or even)\n"},
        CheckCase{"modulusTooShort", {65537, 511}, {65537, 1024}, false,
                  "ERROR - Server key size unusable (511 bits; 512 to 16384 accepted)\n"},
        CheckCase{"shortestModulus", {65537, 512}, {65537, 1024}, true, ""},
        CheckCase{"distance127", {65537, 896}, {65537, 1023}, false, DISTANCE},
        CheckCase{"distance128", {65537, 895}, {65537, 1023}, true,
                  "WARNING - Host key is only 1023 bits\n"},
        CheckCase{"hostSmallerAndClose", {65537, 1024}, {65537, 1000}, false, DISTANCE},
        CheckCase{"hostSmaller", {65537, 1024}, {65537, 768}, true,
                  "WARNING - Host key is only 768 bits\n"},
        // Old servers round the size: a warning, then the real size counts
        // (here for the host warning and the distance).
        CheckCase{"announcedRounded", {65537, 768}, {65537, 1023, 1024}, true,
                  "WARNING - Host key announced as 1024 bits is 1023 bits; using 1023\n"
                  "WARNING - Host key is only 1023 bits\n"},
        CheckCase{"announcedHidesCloseness", {65537, 900, 768}, {65537, 1024}, false,
                  "WARNING - Server key announced as 768 bits is 900 bits; using 900\n" + DISTANCE}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel
