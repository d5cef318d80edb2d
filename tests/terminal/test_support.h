// Helpers shared by the terminal tests.
#pragma once

#include <cstdint>
#include <string>

#include "terminal/screen_dump.h"
#include "terminal/terminal_parser.h"

namespace kestrel::test {

struct Terminal {
    ScreenBuffer screen;
    TerminalParser parser;
    EventRecorder recorder{&screen};

    Terminal(int columns, int rows, int scrollback,
             ScreenBuffer::StorageMode mode = ScreenBuffer::StorageMode::Sliding)
    {
        parser.attach(screen);
        screen.setStorageMode(mode);
        screen.setScrollbackLines(scrollback);
        screen.resize(columns, rows, 0, 0, &recorder);
    }

    void feed(const std::string& bytes) { parser.feedBytes(bytes.data(), bytes.size()); }
    std::string dump() const
    {
        DumpOptions options;
        options.attributes = true;
        return dumpScreen(screen, options);
    }
    // Whole dump lines only, so "line 1 |a|" cannot match "line 11 |a|".
    bool shows(const std::string& line) const { return ("\n" + dump()).find("\n" + line + "\n") != std::string::npos; }
};

// Deterministic pseudo-random numbers (splitmix64), identical everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t state_;
};

// A stream mixing text, line feeds, cursor moves, regions, erasing, line
// insertion and deletion, renditions and cut-prone sequences.
inline std::string mixedStream(Random& random, int pieces)
{
    static const char* const SEQUENCES[] = {
        "\r\n", "\n", "\n\n\n", "\x1b[2J", "\x1b[H", "\x1b[5;3H", "\x1b[2;6r", "\x1b[r", "\x1bM", "\x1b[L",
        "\x1b[M", "\x1b[2P", "\x1b[K", "\x1b[1K", "\x1b[J", "\x1b[1;31;44m", "\x1b[0m", "\x1b(0", "\x1b(B",
        "\x1b" "7", "\x1b" "8", "\x1b[3A", "\x1b[12C", "\x1b[?1h", "\x01", "\xe9", "\x1b" "E", "\x1bY!!",
        "\x1b[;4H", "\r", "\x08", "\x1b[3;99r", "\x1b[99B\n"};
    std::string out;
    for (int i = 0; i < pieces; ++i) {
        if (random.below(3) == 0) {
            int n = 1 + random.below(30);
            for (int k = 0; k < n; ++k) {
                out.push_back(static_cast<char>('a' + random.below(26)));
            }
        } else {
            out += SEQUENCES[random.below(static_cast<int>(sizeof SEQUENCES / sizeof SEQUENCES[0]))];
        }
    }
    return out;
}

}  // namespace kestrel::test
