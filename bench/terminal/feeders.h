// The two terminals under comparison, behind one small interface.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kestrel::bench {

inline constexpr std::size_t CHUNK = 4096;

class Feeder {
public:
    virtual ~Feeder() = default;
    virtual void feed(const char* bytes, std::size_t length) = 0;
    void feedStream(const std::string& stream)
    {
        for (std::size_t at = 0; at < stream.size(); at += CHUNK) {
            feed(stream.data() + at, std::min(CHUNK, stream.size() - at));
        }
    }
};

// 80x24 with the given scroll-back lines. plainStorage moves the whole
// storage on every line feed at the bottom, for comparison.
std::unique_ptr<Feeder> makeKestrelFeeder(int scrollback, bool plainStorage = false);
std::unique_ptr<Feeder> makeVtermFeeder(int scrollback);

}  // namespace kestrel::bench
