#include "engine/random_pool.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/md5.h"
#include "crypto/secure_zero.h"
#include "engine/seed_file.h"
#include "engine/system_random.h"

namespace kestrel {

namespace {

uint32_t clockMilliseconds() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000);
}

std::atomic<MillisecondSource> millisecondSource{clockMilliseconds};

// The pool is also seen as 256 little-endian words.
uint32_t wordAt(const RandomPool& pool, std::size_t index) { return loadLe32(pool.state + 4 * index); }
void setWordAt(RandomPool& pool, std::size_t index, uint32_t value) {
    storeLe32(pool.state + 4 * index, value);
}

// One pass of MD5 in cipher-feedback mode over the whole pool.
void stirPass(RandomPool& pool, uint32_t chain[4]) {
    for (std::size_t block = 0; block < POOL_SIZE; block += 16) {
        md5Transform(chain, pool.stirKey);
        for (std::size_t word = 0; word < 4; ++word) {
            uint8_t* at = pool.state + block + 4 * word;
            uint32_t mixed = loadLe32(at) ^ chain[word];
            storeLe32(at, mixed);
            chain[word] = mixed;
        }
    }
}

uint32_t addressNoise(const void* address) {
    auto value = reinterpret_cast<std::uintptr_t>(address);
    return uint32_t(value) ^ uint32_t(uint64_t(value) >> 32);
}

} // namespace

void setPoolMillisecondSource(MillisecondSource source) {
    millisecondSource.store(source != nullptr ? source : clockMilliseconds);
}

void poolStir(RandomPool& pool) {
    uint32_t chain[4];
    for (std::size_t word = 0; word < 4; ++word)
        chain[word] = loadLe32(pool.state + POOL_SIZE - 16 + 4 * word);
    stirPass(pool, chain);
    std::memcpy(pool.stirKey, pool.state, POOL_STIR_KEY_SIZE);
    stirPass(pool, chain);
    secureZero(chain, sizeof chain);
    pool.addPosition = 0;
    pool.getPosition = POOL_FIRST_OUTPUT;
}

void poolAddNoise(RandomPool& pool, const uint8_t* bytes, std::size_t count) {
    uint32_t position = pool.addPosition;
    for (std::size_t i = 0; i < count; ++i) {
        if (position >= POOL_SIZE) {
            poolStir(pool);
            position = pool.addPosition;
        }
        pool.state[position++] ^= bytes[i];
    }
    pool.addPosition = position;
}

void poolAddTimeNoise(RandomPool& pool) {
    std::size_t index = (reinterpret_cast<std::uintptr_t>(&pool) / 8) % 256;
    setWordAt(pool, index, wordAt(pool, index) + millisecondSource.load()());
    poolStir(pool);
}

uint8_t poolGetByte(RandomPool& pool) {
    if (pool.getPosition >= POOL_SIZE)
        poolAddTimeNoise(pool);
    return pool.state[pool.getPosition++];
}

void poolSave(RandomPool& pool, const char* seedFileName) {
    uint8_t output[SEED_FILE_SIZE];
    poolAddTimeNoise(pool);
    for (uint8_t& byte : output)
        byte = poolGetByte(pool);
    // Move on, so the pool's next output is not what the file holds.
    poolAddTimeNoise(pool);
    seedFileWrite(seedFileName, output, sizeof output);
    secureZero(output, sizeof output);
}

bool poolAddSystemNoise(RandomPool& pool) {
    uint8_t noise[SYSTEM_NOISE_SIZE];
    bool filled = systemRandomBytes(noise, sizeof noise);
    if (filled) {
        poolAddNoise(pool, noise, sizeof noise);
        poolStir(pool);
    }
    secureZero(noise, sizeof noise);
    return filled;
}

bool poolInit(RandomPool& pool, const char* seedFileName) {
    pool.addPosition = 0;
    pool.getPosition = POOL_FIRST_OUTPUT;
    std::memset(pool.state, 0, 4);
    std::size_t nameLength = std::strlen(seedFileName);
    poolAddNoise(pool, reinterpret_cast<const uint8_t*>(seedFileName), nameLength);
    // Before anything is drawn: the first seed file below comes from the pool.
    if (!poolAddSystemNoise(pool))
        return false;

    // On the stack, so that its address (noise below) is the same whenever
    // everything else is: tests can then hold every input but one still.
    uint8_t readArea[SEED_FILE_READ_LIMIT];
    std::intptr_t handleValue = -1;
    long got = seedFileRead(seedFileName, readArea, sizeof readArea, handleValue);
    if (got >= 0) {
        setWordAt(pool, 0, wordAt(pool, 0) + uint32_t(handleValue));
        poolAddNoise(pool, readArea, std::size_t(got));
        secureZero(readArea, std::size_t(got));
    }
    // A short file is what an interrupted or foreign write leaves: whatever
    // it held is mixed in, but it is replaced as if it were missing.
    if (got < long(SEED_FILE_SIZE)) {
        poolAddTimeNoise(pool);
        poolSave(pool, seedFileName);
    }
    setWordAt(pool, 0, wordAt(pool, 0) ^ addressNoise(&pool));
    setWordAt(pool, 1, wordAt(pool, 1) ^ addressNoise(readArea));
    setWordAt(pool, 2, wordAt(pool, 2) ^ addressNoise(seedFileName));
    setWordAt(pool, 3, wordAt(pool, 3) ^ uint32_t(handleValue));
    poolAddNoise(pool, reinterpret_cast<const uint8_t*>(seedFileName), nameLength);
    poolAddTimeNoise(pool);
    return true;
}

void poolWipe(RandomPool& pool) { secureZero(&pool, sizeof pool); }

} // namespace kestrel
