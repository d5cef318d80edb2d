// Deterministic, realistic terminal output for the benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::bench {

enum class StreamKind { Log, Listing, Editor, Hostile };

// The hostile stream's size: about one packet's worth of repeated deletions.
inline constexpr std::size_t HOSTILE_STREAM_BYTES = 260u << 10;

const char* streamName(StreamKind kind);

// About `bytes` bytes of output of the given kind (always whole lines or
// whole screen updates, so the stream ends at a sequence boundary).
std::string makeStream(StreamKind kind, std::size_t bytes);

}  // namespace kestrel::bench
