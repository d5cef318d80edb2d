#include "streams.h"

#include <cstdint>
#include <cstdio>

namespace kestrel::bench {

namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t below(std::uint32_t n)
    {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33) % n;
    }

private:
    std::uint64_t state_;
};

const char* const WORDS[] = {"connection", "from",  "session", "opened", "closed", "user",    "request",
                             "accepted",   "error", "timeout", "the",    "server", "packet",  "received",
                             "for",        "port",  "key",     "cache",  "daemon", "started", "ok"};

void appendWords(std::string& out, Random& random, std::size_t upTo)
{
    while (out.size() < upTo) {
        out += WORDS[random.below(sizeof WORDS / sizeof WORDS[0])];
        out += ' ';
    }
    out.resize(upTo);
}

// cat of a log: lines of 40 to 80 characters, CR LF.
void logLine(std::string& out, Random& random, unsigned n)
{
    char head[64];
    std::snprintf(head, sizeof head, "Dec  6 21:%02u:%02u host kestreld[%u]: ", n / 60 % 60, n % 60,
                  1000 + random.below(9000));
    std::string line = head;
    appendWords(line, random, 40 + random.below(41));
    out += line;
    out += "\r\n";
}

// ls -l --color: permissions, sizes, dates and coloured names.
void listingLine(std::string& out, Random& random, unsigned n)
{
    static const char* const COLOURS[] = {"01;34", "01;32", "01;36", "00", "01;31"};
    static const char* const PERMS[] = {"drwxr-xr-x", "-rw-r--r--", "-rwxr-xr-x", "lrwxrwxrwx"};
    char line[200];
    std::snprintf(line, sizeof line, "%s %2u kestrel staff %8u Dec %2u %02u:%02u \x1b[%sm%s_%u.%s\x1b[0m\r\n",
                  PERMS[random.below(4)], 1 + random.below(9), random.below(10000000), 1 + random.below(28),
                  random.below(24), random.below(60), COLOURS[random.below(5)], WORDS[random.below(21)], n,
                  n % 3 == 0 ? "txt" : "c");
    out += line;
}

// A full-screen editor: repaints, cursor addressing, erase line, a scroll
// region scrolled with LF and reverse index, a reverse-video status line.
void editorUpdate(std::string& out, Random& random, unsigned n)
{
    char buffer[64];
    auto text = [&](std::size_t length) {
        std::string line;
        appendWords(line, random, length);
        out += line;
    };
    switch (n % 4) {
    case 0:  // full repaint
        out += "\x1b[H\x1b[2J";
        for (int row = 1; row <= 23; ++row) {
            std::snprintf(buffer, sizeof buffer, "\x1b[%d;1H", row);
            out += buffer;
            if (row % 5 == 0) {
                out += "\x1b[1m";
            }
            text(20 + random.below(60));
            out += "\x1b[0m\x1b[K";
        }
        break;
    case 1:  // scroll down a few lines inside the region
        out += "\x1b[1;23r\x1b[23;1H";
        for (unsigned k = 0; k < 3 + random.below(6); ++k) {
            out += "\n";
            text(10 + random.below(70));
        }
        out += "\x1b[r";
        break;
    case 2:  // scroll up a few lines with reverse index
        out += "\x1b[1;23r";
        for (unsigned k = 0; k < 3 + random.below(6); ++k) {
            out += "\x1b[1;1H\x1bM";
            text(10 + random.below(70));
        }
        out += "\x1b[r";
        break;
    default:  // typing on one line
        std::snprintf(buffer, sizeof buffer, "\x1b[%u;%uH", 1 + random.below(23), 1 + random.below(40));
        out += buffer;
        for (unsigned k = 0; k < 20; ++k) {
            out += static_cast<char>('a' + random.below(26));
        }
        out += "\x1b[K";
        break;
    }
    std::snprintf(buffer, sizeof buffer, "\x1b[24;1H\x1b[7m -- INSERT -- line %u \x1b[0m\x1b[K", n);
    out += buffer;
}

// A host that fills the screen once and then asks for the largest repeat
// counts it can: line and character deletions whose counts dwarf the storage.
void hostileUpdate(std::string& out, Random& random, unsigned n)
{
    static const char* const PIECES[] = {"\x1b[999M", "\x1b[999P", "\x1b[2147483647M", "\x1b[12;1H\x1b[999M",
                                         "\x1b[999M", "\x1b[5;9H\x1b[999P", "\x1b[H\x1b[999M"};
    if (n == 0) {
        for (int row = 1; row <= 24; ++row) {
            appendWords(out, random, out.size() + 79);
            out += "\r\n";
        }
    }
    out += PIECES[random.below(sizeof PIECES / sizeof PIECES[0])];
}

}  // namespace

const char* streamName(StreamKind kind)
{
    switch (kind) {
    case StreamKind::Log: return "log";
    case StreamKind::Listing: return "listing";
    case StreamKind::Editor: return "editor";
    case StreamKind::Hostile: return "hostile";
    }
    return "?";
}

std::string makeStream(StreamKind kind, std::size_t bytes)
{
    Random random(static_cast<std::uint64_t>(kind) + 1);
    std::string out;
    out.reserve(bytes + 4096);
    for (unsigned n = 0; out.size() < bytes; ++n) {
        switch (kind) {
        case StreamKind::Log: logLine(out, random, n); break;
        case StreamKind::Listing: listingLine(out, random, n); break;
        case StreamKind::Editor: editorUpdate(out, random, n); break;
        case StreamKind::Hostile: hostileUpdate(out, random, n); break;
        }
    }
    return out;
}

}  // namespace kestrel::bench
