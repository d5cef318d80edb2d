// The system's random source for new keys: getrandom, which blocks until the
// kernel's pool is seeded and never hands out less than asked.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel::client {

bool systemRandomBytes(uint8_t* destination, std::size_t count);

} // namespace kestrel::client
