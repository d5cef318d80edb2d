// vtreplay: feeds recorded terminal output to a fresh screen and prints the
// resulting screen in the stable dump format (see README.md and --help).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "terminal/screen_dump.h"
#include "tools/common/program_version.h"
#include "terminal/terminal_parser.h"

namespace {

const char* const USAGE = R"(usage: vtreplay [options] [file ...]
Feeds the files (or standard input; "-" names it too), one after another, to a
fresh terminal and prints its final state.

options:
  --cols N         screen columns (default 80)
  --rows N         screen rows (default 24)
  --scrollback N   scroll-back lines, 0 to 500 (default 100)
  --chunk N        feed N bytes per call (default: each file in one call);
                   with --split-seed, the largest random piece
  --split-seed S   cut the input at pseudo-random points drawn from random seed S
                   (pieces of 1 to N bytes, N from --chunk, default 64)
  --attrs          add the attribute words of every line
  --events         add one line per notification, host replies included
  --help           this text
  --version        the release

output, one item per line:
  size CxR scrollback S lines L   geometry; L = rows + scroll-back lines
  screen T B                      buffer lines of the first and last screen row
  cursor line N column C          column C = columns + 1: past the last column
  saved line N column C           the saved cursor
  region T B                      stored scroll region (0 12000: the markers
                                  for the whole screen)
  flags F background B            current attributes, hex
  modes M                         DEC mode word, hex
  line N |text|                   buffer lines 1 to L; text ends at the last
                                  non-empty cell; an empty cell before it
                                  shows as `; bytes outside 0x20-0x7e, ` and \
                                  show as \xHH
  attrs N a-b:W ...               (--attrs) runs of columns a to b holding
                                  attribute word W, hex
  event repaint-pending           (--events) in the order sent:
  event invalidate-cells L,C L,C    first and last cell (buffer line, column)
  event send-to-host N "bytes"      a reply to the host
  event scrollback-moved T          new first screen line
  event bell
)";

struct Options {
    int columns = 80;
    int rows = 24;
    int scrollback = 100;
    std::size_t chunk = 0;
    bool seeded = false;
    std::uint64_t seed = 0;
    bool attributes = false;
    bool events = false;
    std::vector<std::string> files;
};

// splitmix64: the same cut points on every platform and library.
std::uint64_t nextRandom(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool parseNumber(const char* text, long long low, long long high, long long& value)
{
    char* end = nullptr;
    value = std::strtoll(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        long long value = 0;
        auto number = [&](long long low, long long high) {
            return i + 1 < argc && parseNumber(argv[++i], low, high, value);
        };
        if (arg == "--help") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::exit(kestrel::tools::printVersion("vtreplay"));
        } else if (arg == "--cols" && number(1, kestrel::MAX_COLUMNS)) {
            options.columns = static_cast<int>(value);
        } else if (arg == "--rows" && number(1, kestrel::MAX_ROWS)) {
            options.rows = static_cast<int>(value);
        } else if (arg == "--scrollback" && number(0, kestrel::MAX_SCROLLBACK_LINES)) {
            options.scrollback = static_cast<int>(value);
        } else if (arg == "--chunk" && number(1, 1LL << 30)) {
            options.chunk = static_cast<std::size_t>(value);
        } else if (arg == "--split-seed" && number(0, 0x7FFFFFFFFFFFFFFFLL)) {
            options.seeded = true;
            options.seed = static_cast<std::uint64_t>(value);
        } else if (arg == "--attrs") {
            options.attributes = true;
        } else if (arg == "--events") {
            options.events = true;
        } else if (!arg.empty() && (arg[0] != '-' || arg == "-")) {
            options.files.push_back(arg);
        } else {
            std::fprintf(stderr, "vtreplay: bad option or value: %s\n", arg.c_str());
            return false;
        }
    }
    if (options.files.empty()) {
        options.files.emplace_back("-");
    }
    return true;
}

bool readAll(const std::string& name, std::string& data)
{
    std::FILE* file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "vtreplay: cannot open %s\n", name.c_str());
        return false;
    }
    char block[65536];
    std::size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        data.append(block, n);
    }
    bool ok = std::ferror(file) == 0;
    if (file != stdin) {
        std::fclose(file);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    kestrel::ScreenBuffer screen;
    kestrel::TerminalParser parser;
    kestrel::EventRecorder recorder(&screen);
    parser.attach(screen);
    screen.setScrollbackLines(options.scrollback);
    screen.resize(options.columns, options.rows, 0, 0, &recorder);

    std::uint64_t random = options.seed;
    std::size_t largest = options.chunk != 0 ? options.chunk : 64;
    for (const std::string& name : options.files) {
        std::string data;
        if (!readAll(name, data)) {
            return 1;
        }
        std::size_t at = 0;
        while (at < data.size()) {
            std::size_t piece = data.size() - at;
            if (options.seeded) {
                piece = 1 + static_cast<std::size_t>(nextRandom(random) % largest);
            } else if (options.chunk != 0) {
                piece = options.chunk;
            }
            piece = std::min(piece, data.size() - at);
            parser.feedBytes(data.data() + at, piece);
            at += piece;
        }
    }

    kestrel::DumpOptions dump;
    dump.attributes = options.attributes;
    std::string out = kestrel::dumpScreen(screen, dump);
    if (options.events) {
        for (const std::string& event : recorder.events()) {
            out += event;
            out += '\n';
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
