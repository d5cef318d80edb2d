// Throughput of the interpreter and screen buffer beside libvterm, on three
// generated streams (and a hostile one) fed in 4 KiB chunks into an 80x24 screen.
#include <benchmark/benchmark.h>

#include <map>

#include "feeders.h"
#include "streams.h"

namespace kestrel::bench {
namespace {

constexpr std::size_t STREAM_BYTES = 4u << 20;

const std::string& stream(StreamKind kind)
{
    static std::map<StreamKind, std::string> streams;
    auto it = streams.find(kind);
    if (it == streams.end()) {
        std::size_t bytes = kind == StreamKind::Hostile ? HOSTILE_STREAM_BYTES : STREAM_BYTES;
        it = streams.emplace(kind, makeStream(kind, bytes)).first;
    }
    return it->second;
}

void run(benchmark::State& state, bool kestrel, StreamKind kind)
{
    const std::string& bytes = stream(kind);
    int scrollback = static_cast<int>(state.range(0));
    auto feeder = kestrel ? makeKestrelFeeder(scrollback) : makeVtermFeeder(scrollback);
    for (auto _ : state) {
        feeder->feedStream(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void runPlain(benchmark::State& state, StreamKind kind)
{
    const std::string& bytes = stream(kind);
    auto feeder = makeKestrelFeeder(static_cast<int>(state.range(0)), true);
    for (auto _ : state) {
        feeder->feedStream(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void registerAll()
{
    // What the sliding storage saves: the same screen moving its whole
    // storage on every line feed at the bottom.
    benchmark::RegisterBenchmark("kestrel-plain-storage/log", [](benchmark::State& s) { runPlain(s, StreamKind::Log); })
        ->Arg(100)
        ->Arg(500)
        ->Unit(benchmark::kMillisecond);
    for (StreamKind kind : {StreamKind::Log, StreamKind::Listing, StreamKind::Editor}) {
        for (bool kestrel : {true, false}) {
            std::string name = std::string(kestrel ? "kestrel/" : "libvterm/") + streamName(kind);
            benchmark::RegisterBenchmark(name.c_str(), [kestrel, kind](benchmark::State& s) { run(s, kestrel, kind); })
                ->Arg(100)
                ->Arg(500)
                ->Unit(benchmark::kMillisecond);
        }
    }
    // Repeat counts far beyond the storage: the cost must stay within one
    // pass over the storage per sequence, like libvterm's.
    for (bool kestrel : {true, false}) {
        std::string name = std::string(kestrel ? "kestrel/" : "libvterm/") + streamName(StreamKind::Hostile);
        benchmark::RegisterBenchmark(name.c_str(),
                                     [kestrel](benchmark::State& s) { run(s, kestrel, StreamKind::Hostile); })
            ->Arg(100)
            ->Arg(500)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace
}  // namespace kestrel::bench

int main(int argc, char** argv)
{
    kestrel::bench::registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
