#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/random_pool.h"
#include "engine/seed_file.h"
#include "engine/system_random.h"
#include "tests/engine/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kestrel {
namespace {

uint32_t frozenClock() { return 500; }

uint8_t stubByte = 0;
bool fixedSource(uint8_t* destination, std::size_t count) {
    std::memset(destination, stubByte, count);
    return true;
}
bool failingSource(uint8_t*, std::size_t) { return false; }

class RandomPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        setPoolMillisecondSource(frozenClock);
        folder = test::scratchFolder("pool");
        seedName = folder + "/ssh_seedfile";
    }
    void TearDown() override {
        setSystemRandomSource(nullptr);
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

// With the seed file, the clock, the addresses and the handle all repeating,
// the system's bytes are what keeps two runs apart.
TEST_F(RandomPoolTest, SystemNoiseSeparatesRunsThatRepeatEverythingElse) {
    std::vector<uint8_t> stored(SEED_FILE_SIZE, 0x42);
    auto run = [&](uint8_t systemByte) {
        stubByte = systemByte;
        setSystemRandomSource(fixedSource);
        EXPECT_TRUE(seedFileWrite(seedName.c_str(), stored.data(), stored.size()));
        poolWipe(*pool);
        EXPECT_TRUE(poolInit(*pool, seedName.c_str()));
        std::vector<uint8_t> out;
        for (int i = 0; i < 32; ++i)
            out.push_back(poolGetByte(*pool));
        return out;
    };
    std::vector<uint8_t> first = run(1);
    EXPECT_EQ(run(1), first); // nothing else varies between the runs
    EXPECT_NE(run(2), first);
}

TEST_F(RandomPoolTest, FailingSystemSourceStopsInitBeforeASeedFileIsWritten) {
    setSystemRandomSource(failingSource);
    EXPECT_FALSE(poolInit(*pool, seedName.c_str()));
    EXPECT_FALSE(poolAddSystemNoise(*pool));
    EXPECT_FALSE(std::filesystem::exists(seedName));
    EXPECT_STRNE(systemRandomFailure(), "");
}

TEST_F(RandomPoolTest, SystemSourceFillsWholeRequestsThatDiffer) {
    // Sizes around the platforms' chunking, and both must vary.
    for (std::size_t count : {1u, 32u, 257u, 70000u}) {
        std::vector<uint8_t> a(count), b(count);
        ASSERT_TRUE(systemRandomBytes(a.data(), count)) << systemRandomFailure();
        ASSERT_TRUE(systemRandomBytes(b.data(), count));
        if (count >= 32) {
            EXPECT_NE(a, b) << count;
        }
        // The tail is written too (a short fill would leave zeros there).
        if (count >= 257) {
            EXPECT_TRUE(std::any_of(a.end() - 32, a.end(), [](uint8_t v) { return v != 0; }));
        }
    }
}

// A short file is what an interrupted write leaves; it is rewritten whole.
TEST_F(RandomPoolTest, ShortOrEmptySeedFileIsReplaced) {
    for (std::size_t length : {std::size_t(0), std::size_t(16), SEED_FILE_SIZE - 1}) {
        std::vector<uint8_t> stored(length, 0x42);
        ASSERT_TRUE(seedFileWrite(seedName.c_str(), stored.data(), stored.size()));
        ASSERT_TRUE(poolInit(*pool, seedName.c_str()));
        EXPECT_EQ(test::readFile(seedName).size(), SEED_FILE_SIZE) << length;
    }
}

// The environment variables that decide the state folder, set or cleared for
// one test and restored after it.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        set(value);
    }
    ~EnvironmentOverride() { set(had_ ? old_.c_str() : nullptr); }

private:
    void set(const char* value) {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value != nullptr ? value : "");
#else
        if (value != nullptr)
            setenv(name_.c_str(), value, 1);
        else
            unsetenv(name_.c_str());
#endif
    }
    std::string name_;
    std::string old_;
    bool had_;
};

TEST_F(RandomPoolTest, WithoutAStateFolderNoSeedFileLandsInTheCurrentFolder) {
#ifdef _WIN32
    EnvironmentOverride local("LOCALAPPDATA", nullptr), roaming("APPDATA", nullptr);
#else
    EnvironmentOverride state("XDG_STATE_HOME", nullptr), home("HOME", nullptr);
#endif
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    EXPECT_EQ(seedFilePath(SEED_FILE_NAME), "");
    EXPECT_TRUE(poolInit(*pool, SEED_FILE_NAME));
    poolSave(*pool, SEED_FILE_NAME);
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST_F(RandomPoolTest, ReplacingLeavesNoTemporaryBehind) {
    for (int i = 0; i < 3; ++i)
        poolSave(*pool, seedName.c_str());
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        entries += entry.path().filename() == SEED_FILE_NAME ? 1 : 100;
    EXPECT_EQ(entries, 1);
}

#ifndef _WIN32
// Links planted where the seed file or an old-style temporary goes: the
// write replaces the link and never writes through it.
TEST_F(RandomPoolTest, SeedFileIsNeverWrittenThroughALink) {
    std::string victim = folder + "/victim";
    std::vector<uint8_t> precious(40, 'v');
    { std::ofstream(victim, std::ios::binary).write(reinterpret_cast<char*>(precious.data()), 40); }
    std::filesystem::create_symlink(victim, seedName);
    std::filesystem::create_symlink(victim, seedName + ".new");
    poolSave(*pool, seedName.c_str());
    EXPECT_EQ(test::readFile(victim), precious);
    EXPECT_FALSE(std::filesystem::is_symlink(seedName));
    EXPECT_EQ(test::readFile(seedName).size(), SEED_FILE_SIZE);
    struct stat info;
    ASSERT_EQ(stat(seedName.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

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
