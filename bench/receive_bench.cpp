// Characters per second through the receive handler: a receiver's stream cut
// into chunks of 1 to 4096 characters, each chunk one receive notification
// of the fake port, before the cold start (Mode 0) and after it (Mode 2).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/nmeastream.h"
#include "testkit/fakes.h"

namespace coldstart::bench {

using gpslink::testing::brokenRangeRule;
using gpslink::testing::QuietBench;
using gpslink::testing::QuietView;
namespace {

constexpr long kBursts = 3600;        // an hour of one-second bursts
constexpr long kFirstSecond = 36000;  // 10:00:00

void reportBytes(benchmark::State& state, const QuietBench& rig) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["receive_events"] = static_cast<double>(state.iterations());
    state.counters["RxBuffer_capacity"] = static_cast<double>(rig.state().RxBuffer.capacity());
}

// Mode 0 with a receiver whose clock reads 00:00:00 to 00:00:09: every GGA
// sentence is examined and shows "Please waiting......", none is counted.
void BM_Receive_Mode0_StartingClock(benchmark::State& state) {
    ChunkRing ring(bursts(0, kBursts, Clock::Starting), static_cast<std::size_t>(state.range(0)));
    QuietBench rig;
    rig.connect();
    for (auto _ : state) rig.receive(ring.next());
    if (rig.state().Mode != 0 || rig.coldStartsSent() != 0) state.SkipWithError("left Mode 0");
    reportBytes(state, rig);
}

// Mode 0 with the time of day: GGA sentences are counted and shown.  The
// stream is fed in stretches that end before the chunk that would bring the
// count to five; between stretches the run is stopped and started again.
// Only the stretches are timed (by hand: pausing the benchmark's own clock
// costs microseconds each time, which would swamp the figure).
void BM_Receive_Mode0_Counting(benchmark::State& state) {
    using SteadyClock = std::chrono::steady_clock;
    ChunkRing ring(bursts(kFirstSecond, kBursts, Clock::Known),
                   static_cast<std::size_t>(state.range(0)));
    const std::vector<int> ggas = ring.ggaCompletions();
    QuietBench rig;
    int64_t events = 0;
    for (auto _ : state) {
        rig.stop();
        rig.connect();
        const auto start = SteadyClock::now();
        while (rig.state().Counters[2] + ggas[ring.index()] < 5) {
            rig.receive(ring.next());
            ++events;
        }
        state.SetIterationTime(std::chrono::duration<double>(SteadyClock::now() - start).count());
    }
    if (rig.state().Mode != 0 || rig.coldStartsSent() != 0) state.SkipWithError("left Mode 0");
    state.SetBytesProcessed(events * state.range(0));
    state.counters["receive_events"] = static_cast<double>(events);
    state.counters["restarts"] = static_cast<double>(state.iterations());
}

// Mode 2: the cold start was sent and confirmed; every GGA sentence shows
// "Cold Start OK!" on green again.
void BM_Receive_Mode2(benchmark::State& state) {
    QuietBench rig;
    rig.connect();
    for (long s = 0; s < 6; ++s) rig.receive(burst(kFirstSecond - 10 + s, Clock::Known));
    if (rig.state().Mode != 2) {
        state.SkipWithError("the run did not reach Mode 2");
        return;
    }
    ChunkRing ring(bursts(kFirstSecond, kBursts, Clock::Known),
                   static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) rig.receive(ring.next());
    if (rig.state().Mode != 2 || rig.coldStartsSent() != 1) state.SkipWithError("left Mode 2");
    reportBytes(state, rig);
}

// The framing alone, for comparison: the scanner over the same stream with a
// sentence handler that only counts.
void BM_Scan_Only(benchmark::State& state) {
    ChunkRing ring(bursts(kFirstSecond, kBursts, Clock::Known),
                   static_cast<std::size_t>(state.range(0)));
    gpslink::NmeaScanner scanner;
    std::string buffer;
    long sentences = 0;
    for (auto _ : state) {
        const std::string_view chunk = ring.next();
        buffer.append(chunk.data(), chunk.size());
        scanner.scan(buffer, [&](std::string_view) {
            ++sentences;
            return true;
        });
    }
    benchmark::DoNotOptimize(sentences);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Receive_Mode0_StartingClock)->Arg(1)->Arg(16)->Arg(64)->Arg(512)->Arg(4096);
// A 4096-character chunk holds about ten GGA sentences: no restart can keep it under five.
BENCHMARK(BM_Receive_Mode0_Counting)->Arg(1)->Arg(16)->Arg(64)->Arg(512)->UseManualTime();
BENCHMARK(BM_Receive_Mode2)->Arg(1)->Arg(16)->Arg(64)->Arg(512)->Arg(4096);
BENCHMARK(BM_Scan_Only)->Arg(1)->Arg(16)->Arg(64)->Arg(512)->Arg(4096);

}  // namespace
}  // namespace coldstart::bench

BENCHMARK_MAIN();
