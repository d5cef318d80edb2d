// The Windows build links a GMP cross-compiled here; these answers were
// computed with an independent big-integer implementation, so the same test
// passing natively and under Wine shows both GMPs agree on the RSA operation.
#include <gmp.h>
#include <gtest/gtest.h>

#include <string>

namespace {
constexpr const char* MODULUS_1024 =
    "839b3ed9f75f6cf0b35b2fc9e3a714b3c7a609a73dd0bc171b5bea914b43cceb"
    "8d2f182682a0ce196cac30f3a522cbc67809848a126c77eacf733767195dd06e"
    "b73da10a6f86b1a7f5e7af97c257ed4e3546d40012c4cda9125f117443780823"
    "e84260f1eec937d2bf1f2b38b79e8da1883f7a0ce1ce58334cef2d20ce343e35";
constexpr const char* MESSAGE_1000 =
    "32852f5c18f1c1d3e3306683fd36bb8df2b127ebcc57171f999b99c20c8b0600"
    "be310ea406df603d74758363def6001c3c332a280dfd63f7f50ab040c5f2cadb"
    "f3830f90d631a496df966847844d49234237d882f53d9336d792a9e08cff0312"
    "ff8486daca1078248438fc23a9369516ebd7b7bfd14c64f3b683b6fbe2";
constexpr const char* RESULT_E65537 =
    "336dad695db291552c5cf2d771e3f31fbeb5138fadf48b95fa70feebbb411229"
    "bbd066666023f27fac0635afc50de1fa29975da895ecc2623208032da2e47a10"
    "3fb243c204c3f5d303947f579a43c925814aaa25a38b0fd2e3bddee6900cd6af"
    "1bee33a6c9752e62804dde60fc68f2e1cedcfe1c8041a792bcadca53449e740e";
constexpr const char* MODULUS_2048 =
    "b88bfb2f800dff56e499273c28f744c7d0c5648b2b552c908bde489d90ad3c20"
    "2c34ef83d6052a1ae7bd2c9c00e7380c2a176480858111ff8e37fb3d6c57ece6"
    "13ac4ba6cec7d3c09a8546b54060b747adcdcb4dbda8bf1ebe10b13240a0f3b3"
    "3f81df5ccaa15d0bfb557e7bff762a751eb2b7fbffddcf76064590d8dfc32c37"
    "ad4caed0b29e10ff8451f0f3ebf605a6afcbca5403b138f20d7933a36af076a6"
    "dc4a0b8c46d3029c04efa229b028a8ae528f58a34480b2c331e8c55370ac8225"
    "142afe9a2d39cd795aa40d449e25efd401df778d065ec8fd6708223c14f4a5e0"
    "5733ceee25bb580a0b835465285d302a47b7b51d23e8a821c77e222529dabb5f";
constexpr const char* EXPONENT_2047 =
    "1b327f89a06aa9bd54f3a6ee2c2c271d64c21974b848915cd11f9bfc22a13696"
    "ac122b36f52bf6911d09ee188c9e7ee72a6af9bc2db0e62c2822e5d89d7396dc"
    "a725d3361cfaa943ee80df925c4e5076db3e658ecf5cfad5e77e0f3f170ab254"
    "ef4e08238b5c3b73c2569fcb2472ba12d1106c65f854abb0853b66e4253beea7"
    "93e342ef5bbbcfe2a7b0959674b83035ea27c3e885b2cfeefb299b7d9103f305"
    "0d77eae86003adbfdffb3fdec6b897b0adbe04ddf61d835b8f9923d08d2b30f4"
    "31e9d3c34dd91ce891098b4a37690caa174af467d0d1ff1e5e2ca775bbb2f8b1"
    "63a6b64a76a4b6bad6382f5ea593886af932a4c42e781dc671bb49b495b557a8";
constexpr const char* MESSAGE_2040 =
    "8193d7fbe787ca0be085826a31604146b896c64c0070c8804a324d640aca4555"
    "9723caef3f185710eb3b8c23cf9aa0cd7b0938ce4753607f3ce64eea0c76a5de"
    "ffc9b062cfd6f883b6828f22f0beeb97e10e6d125b7d3235d7d7575e530044ce"
    "72edf59cd77200405f45e7922e2c53dc0d28a87f7c6db0fca0266324a68015d3"
    "85ba4efefcc53a29c509bb0af19cf01a7a7298b072442dfdef712abf1fe2ebc3"
    "83d3a323dadb59df66d72fee60e26e598aa4b018f05accd1e1257a0269e16fe0"
    "03e0135f4888e0988a39a79d7800e647178723d3fdb6f285c942b2fc5c6493b7"
    "685a2082bb1e76fff83d8234cabda19f5806c8880e7aeaa17938c16c3e5e0d";
constexpr const char* RESULT_BIG_EXPONENT =
    "875c8519827d3a12b84f2ca21ccd7aeee0cc997604a33ffbf1067f14cbdbb8d1"
    "d5ba286d6222afd6113659fb2c41d013d3b240b807ae0a3d96ff4664b73f36bd"
    "f79063384572b6a1d63926a5314a98948d9531c80bf9d8bce367cc6b43fd5c91"
    "1c905ec0e2df8dd0d839cf67a2313a8c7df89a301d6fc934759f8df8c9161f6b"
    "db49676aee1560977fec08536c6c2fd2a20eebc899af753dfe7b3f3258c3d56f"
    "17412dd934065cd4dd7f1b91b4975fc08e44223f7183fc44cb1a1a8a30a97b46"
    "dccf57352c94efbcbeee9cfb13770473205a08dd94120afec3d2f749e7e6507c"
    "71649294c3d6bec146c45d6901e24c958d9f97b63dd0dda422dd4eba727ecdfe";

std::string powmHex(const char* base, const char* exponent, const char* modulus) {
    mpz_t b, e, m, r;
    mpz_init(r);
    mpz_init_set_str(b, base, 16);
    mpz_init_set_str(e, exponent, 16);
    mpz_init_set_str(m, modulus, 16);
    mpz_powm(r, b, e, m);
    char* text = mpz_get_str(nullptr, 16, r);
    std::string result(text);
    void (*freeFunction)(void*, size_t);
    mp_get_memory_functions(nullptr, nullptr, &freeFunction);
    freeFunction(text, result.size() + 1);
    mpz_clears(b, e, m, r, nullptr);
    return result;
}

TEST(Gmp, PowmAgreesWithIndependentAnswers) {
    EXPECT_EQ(powmHex(MESSAGE_1000, "10001", MODULUS_1024), RESULT_E65537);
    EXPECT_EQ(powmHex(MESSAGE_2040, EXPONENT_2047, MODULUS_2048), RESULT_BIG_EXPONENT);
}

// Every *_ui function takes an unsigned long, which is 32 bits on Windows:
// values the engine passes must stay below 2^32.
TEST(Gmp, SmallIntegerFunctionsAndShifts) {
    mpz_t x;
    mpz_init_set_ui(x, 0xFFFFFFFFul);
    mpz_add_ui(x, x, 1);
    mpz_mul_2exp(x, x, 100);
    EXPECT_EQ(mpz_sizeinbase(x, 2), 133u);
    mpz_fdiv_q_2exp(x, x, 132);
    EXPECT_EQ(mpz_get_ui(x), 1ul);
    mpz_clear(x);
}

} // namespace
