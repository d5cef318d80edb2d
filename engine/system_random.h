// The operating system's cryptographic random source. The pool stays the
// mixer and the seed file stays its memory; this is the noise that makes the
// pool's output unguessable on a first run, with a stale or missing seed
// file, or when the clock and addresses repeat.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel {

// Fills destination completely; false when the source failed (nothing
// usable was produced), with the reason for the user in systemRandomFailure.
bool systemRandomBytes(uint8_t* destination, std::size_t count);
// Why the last systemRandomBytes on this thread failed.
const char* systemRandomFailure();

// Tests replace the source (fixed bytes, or one that fails); null restores
// the system's own.
using SystemRandomSource = bool (*)(uint8_t* destination, std::size_t count);
void setSystemRandomSource(SystemRandomSource source);

namespace platform {
// The platform's generator; reason names the failed call.
bool systemRandomFill(uint8_t* destination, std::size_t count, const char*& reason);
} // namespace platform

} // namespace kestrel
