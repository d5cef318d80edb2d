// The packet check of protocol 1.5: reflected CRC-32 (polynomial 0xEDB88320) with
// the register starting at 0 and no final inversion, so it is NOT zlib's crc32.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel {

uint32_t crc32(const uint8_t* data, std::size_t length);

} // namespace kestrel
