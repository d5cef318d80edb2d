// terminal_feed KIND IMPL SCROLLBACK REPEAT: generates one benchmark stream
// and feeds it REPEAT times (instructions per byte under cachegrind: run with
// REPEAT 0 and 1 and divide the difference by the stream size);
// terminal_feed --dump KIND writes the stream to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "feeders.h"
#include "streams.h"

using namespace kestrel::bench;

namespace {

bool parseKind(const char* name, StreamKind& kind)
{
    for (StreamKind k : {StreamKind::Log, StreamKind::Listing, StreamKind::Editor, StreamKind::Hostile}) {
        if (std::strcmp(name, streamName(k)) == 0) {
            kind = k;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    StreamKind kind{};
    if (argc == 3 && std::strcmp(argv[1], "--dump") == 0 && parseKind(argv[2], kind)) {
        std::string bytes = makeStream(kind, kind == StreamKind::Hostile ? HOSTILE_STREAM_BYTES : 4u << 20);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        return 0;
    }
    if (argc != 5 || !parseKind(argv[1], kind)) {
        std::fputs("usage: terminal_feed log|listing|editor|hostile kestrel|libvterm SCROLLBACK REPEAT\n"
                   "       terminal_feed --dump log|listing|editor|hostile\n",
                   stderr);
        return 2;
    }
    std::string bytes = makeStream(kind, kind == StreamKind::Hostile ? HOSTILE_STREAM_BYTES : 4u << 20);
    bool kestrel = std::strcmp(argv[2], "kestrel") == 0;
    auto feeder = kestrel ? makeKestrelFeeder(std::atoi(argv[3])) : makeVtermFeeder(std::atoi(argv[3]));
    int repeat = std::atoi(argv[4]);
    for (int i = 0; i < repeat; ++i) {
        feeder->feedStream(bytes);
    }
    std::printf("%zu bytes per pass\n", bytes.size());
    return 0;
}
