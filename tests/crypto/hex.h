// Hex text to bytes and back, for readable expected values in the crypto tests.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::test {

inline std::vector<uint8_t> fromHex(std::string_view hex) {
    auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return uint8_t(c - '0');
        if (c >= 'a' && c <= 'f') return uint8_t(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return uint8_t(c - 'A' + 10);
        return 0xFF;
    };
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(uint8_t((nibble(hex[i]) << 4) | nibble(hex[i + 1])));
    }
    return out;
}

inline std::string toHex(const uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < length; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

inline std::string toHex(const std::vector<uint8_t>& v) { return toHex(v.data(), v.size()); }

// Deterministic filler so that failures reproduce.
inline std::vector<uint8_t> patternBytes(std::size_t length, uint32_t salt) {
    std::vector<uint8_t> v(length);
    uint32_t x = salt * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x >> 24);
    }
    return v;
}

} // namespace kestrel::test
