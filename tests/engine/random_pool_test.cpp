#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/random_pool.h"
#include "engine/seed_file.h"
#include "tests/engine/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kestrel {
namespace {

uint32_t frozenClock() { return 500; }

class RandomPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        setPoolMillisecondSource(frozenClock);
        folder = test::scratchFolder("pool");
        seedName = folder + "/ssh_seedfile";
    }
    void TearDown() override {
        setPoolMillisecondSource(nullptr);
        std::filesystem::remove_all(folder);
    }
    std::unique_ptr<RandomPool> pool = std::make_unique<RandomPool>();
    std::string folder;
    std::string seedName;
};

TEST_F(RandomPoolTest, FirstOutputIsByte64AndBytes0To63AreNeverHandedOut) {
    poolInit(*pool, seedName.c_str());
    RandomPool before = *pool;
    for (int i = 0; i < 960; ++i)
        EXPECT_EQ(poolGetByte(*pool), before.state[64 + i]);
    EXPECT_EQ(pool->getPosition, POOL_SIZE);
    // The 961st byte comes only after a stir (the time noise depends on the
    // record's address, so it is not replayed here).
    uint8_t next = poolGetByte(*pool);
    EXPECT_EQ(next, pool->state[64]);
    EXPECT_EQ(pool->getPosition, 65u);
    EXPECT_NE(std::memcmp(pool->state, before.state, POOL_SIZE), 0);
}

TEST_F(RandomPoolTest, NoiseWrapsWithOneStir) {
    std::memset(pool.get(), 0x11, sizeof(RandomPool));
    pool->addPosition = 0;
    RandomPool manual = *pool;
    uint8_t noise[1025];
    for (std::size_t i = 0; i < sizeof noise; ++i)
        noise[i] = uint8_t(i * 31 + 7);
    poolAddNoise(*pool, noise, sizeof noise);
    EXPECT_EQ(pool->addPosition, 1u);

    for (std::size_t i = 0; i < POOL_SIZE; ++i)
        manual.state[i] ^= noise[i];
    poolStir(manual);
    manual.state[0] ^= noise[1024];
    EXPECT_EQ(std::memcmp(pool->state, manual.state, POOL_SIZE), 0);
    EXPECT_EQ(pool->getPosition, POOL_FIRST_OUTPUT);
}

TEST_F(RandomPoolTest, MissingSeedFileIsCreatedAndReplacedBySave) {
    poolInit(*pool, seedName.c_str());
    std::vector<uint8_t> first = test::readFile(seedName);
    ASSERT_EQ(first.size(), SEED_FILE_SIZE);
    poolSave(*pool, seedName.c_str());
    std::vector<uint8_t> second = test::readFile(seedName);
    ASSERT_EQ(second.size(), SEED_FILE_SIZE);
    EXPECT_NE(first, second);
    EXPECT_FALSE(std::filesystem::exists(seedName + ".new"));
#ifndef _WIN32
    struct stat info;
    ASSERT_EQ(stat(seedName.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
}

TEST_F(RandomPoolTest, SeedFileContentDecidesTheOutput) {
    auto firstBytes = [&](const std::vector<uint8_t>& stored) {
        EXPECT_TRUE(seedFileWrite(seedName.c_str(), stored.data(), stored.size()));
        poolInit(*pool, seedName.c_str());
        std::vector<uint8_t> out;
        for (int i = 0; i < 32; ++i)
            out.push_back(poolGetByte(*pool));
        return out;
    };
    std::vector<uint8_t> stored(SEED_FILE_SIZE, 0x42);
    std::vector<uint8_t> first = firstBytes(stored);
    stored[100] ^= 1;
    EXPECT_NE(firstBytes(stored), first);
}

TEST_F(RandomPoolTest, UnusableSeedLocationDoesNotStopThePool) {
    std::string nowhere = folder + "/missing-folder/ssh_seedfile";
    poolInit(*pool, nowhere.c_str());
    poolSave(*pool, nowhere.c_str());
    EXPECT_FALSE(std::filesystem::exists(nowhere));
    EXPECT_EQ(pool->getPosition, POOL_FIRST_OUTPUT);
}

#ifndef _WIN32
TEST_F(RandomPoolTest, BareNameLivesInAPrivateStateFolder) {
    std::string previous = getenv("XDG_STATE_HOME") ? getenv("XDG_STATE_HOME") : "";
    std::string state = folder + "/state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    EXPECT_EQ(seedFilePath("ssh_seedfile"), state + "/kestrel1/ssh_seedfile");
    struct stat info;
    ASSERT_EQ(stat((state + "/kestrel1").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    if (previous.empty())
        unsetenv("XDG_STATE_HOME");
    else
        setenv("XDG_STATE_HOME", previous.c_str(), 1);
}
#endif

} // namespace
} // namespace kestrel
