// A 1024-byte entropy pool stirred with the MD5 compression function and
// carried between sessions in a seed file. It is fed with whatever varies:
// the seed file, the time in milliseconds, addresses and handle values, and
// the operating system's random source, without which the rest would rest on
// a few dozen guessable bits on a first run.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel {

constexpr std::size_t POOL_SIZE = 1024;
constexpr std::size_t POOL_STIR_KEY_SIZE = 64;
// Bytes 0..63 become the next stir key, so they are never handed out.
constexpr std::size_t POOL_FIRST_OUTPUT = 64;
constexpr std::size_t SEED_FILE_SIZE = 512;
// A seed file longer than this contributes only its first part; the reads
// must not grow with a file someone else may have replaced.
constexpr std::size_t SEED_FILE_READ_LIMIT = 16384;
constexpr const char* SEED_FILE_NAME = "ssh_seedfile";
// Bytes of system randomness mixed in each time: as many as the session key
// has, so the key never rests on less.
constexpr std::size_t SYSTEM_NOISE_SIZE = 32;

struct RandomPool {
    uint8_t state[POOL_SIZE];
    uint8_t stirKey[POOL_STIR_KEY_SIZE];
    uint32_t getPosition;
    uint32_t addPosition;
};

// False when the system random source failed (systemRandomFailure says
// why): the pool must then not be used for keys, and no seed file is written.
bool poolInit(RandomPool& pool, const char* seedFileName);
// Mixes SYSTEM_NOISE_SIZE bytes of system randomness in and stirs; false
// when the source failed.
bool poolAddSystemNoise(RandomPool& pool);
void poolAddNoise(RandomPool& pool, const uint8_t* bytes, std::size_t count);
void poolStir(RandomPool& pool);
void poolAddTimeNoise(RandomPool& pool);
uint8_t poolGetByte(RandomPool& pool);
void poolSave(RandomPool& pool, const char* seedFileName);
// Clears the whole pool (its later output would be predictable from it).
void poolWipe(RandomPool& pool);

// The milliseconds field poolAddTimeNoise reads; replaceable so that tests can
// hold the clock still.
using MillisecondSource = uint32_t (*)();
void setPoolMillisecondSource(MillisecondSource source);

} // namespace kestrel
