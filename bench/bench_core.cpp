// Timecode core figures: one stamp per rate, and Engine::step on the quarter-frame path with a
// sink that does nothing (so the figure is the engine's own cost per quarter frame).
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/engine.h"
#include "core/sink.h"
#include "core/stamp.h"

namespace {

void BM_Stamp(benchmark::State& state) {
    const double fps = state.range(0) == 2997 ? 29.97 : static_cast<double>(state.range(0));
    double seconds = 3600.0;
    for (auto _ : state) {
        velmarmtc::Stamp s = velmarmtc::stamp(seconds, fps);
        benchmark::DoNotOptimize(s);
        seconds += 0.0123;
    }
}
BENCHMARK(BM_Stamp)->Arg(24)->Arg(25)->Arg(2997)->Arg(30);

void BM_StampToQuarters(benchmark::State& state) {
    double seconds = 3600.0;
    for (auto _ : state) {
        std::array<uint8_t, 8> q = velmarmtc::stamp(seconds, 29.97).quarters();
        benchmark::DoNotOptimize(q);
        seconds += 0.0123;
    }
}
BENCHMARK(BM_StampToQuarters);

// Always ready, never busy: every due step ends in one quarter().
class NullSink final : public velmarmtc::Sink {
  public:
    void open(const std::string&) override {}
    void clearPending() override {}
    void full(const std::array<uint8_t, 10>&) override {}
    void quarter(uint8_t data) override { last = data; }
    bool ready() override { return true; }
    bool connected() override { return true; }
    void close() override {}
    uint8_t last = 0;
};

velmarmtc::Snapshot playingAt(double position, double now) {
    velmarmtc::Snapshot s;
    s.trackId = "track";
    s.hasTrack = true;
    s.position = position;
    s.playing = true;
    s.sentAtUnixMs = 1700000000000.0 + now * 1000.0;
    return s;
}

// A started engine playing from position 10 at simulated time `now`, its first full frame done.
void startPlaying(velmarmtc::Engine& engine, double fps, double now, bool phaseLock) {
    engine.start("winmm:bench", fps, 3600, now, phaseLock);
    engine.transport(playingAt(10, now), now, 1700000000000.0 + now * 1000.0);
    engine.step(now);  // the full frame is done: the schedule starts
    // A report as the first quarter frame falls due (phase lock waits up to two frames for its
    // first cycle), so the first timed block, too, starts right after a report.
    const double first = engine.nextQuarterAt;
    engine.transport(playingAt(10 + (first - now), first), first, 1700000000000.0 + first * 1000.0);
}

// Each timed block is 8 steps, each exactly at a quarter frame's due time (one 8-piece cycle, so
// one stamp); between blocks, untimed, the player reports its position (at most 0.084 s apart),
// which keeps the clock watchdog quiet and never requires a locate. Millions of blocks span
// simulated days, so the player starts over long before its position reaches the 7-day limit.
// The second argument is the timing: 0 the default one, 1 phase lock.
void BM_EngineStepQuarterFrame(benchmark::State& state) {
    const double fps = state.range(0) == 2997 ? 29.97 : static_cast<double>(state.range(0));
    const bool phaseLock = state.range(1) == 1;
    constexpr int kStepsPerBlock = 8;
    constexpr double kRestartAfter = 86400.0;
    NullSink sink;
    velmarmtc::Engine engine(&sink);
    startPlaying(engine, fps, 0, phaseLock);
    for (auto _ : state) {
        if (engine.nextQuarterAt - engine.anchorTime + engine.anchorPosition > kRestartAfter) {
            startPlaying(engine, fps, 0, phaseLock);
        }
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < kStepsPerBlock; ++i) {
            engine.step(engine.nextQuarterAt);
        }
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        const double now = engine.nextQuarterAt;
        const double position = engine.anchorPosition + (now - engine.anchorTime);
        engine.transport(playingAt(position, now), now, 1700000000000.0 + now * 1000.0);
        if (engine.fullPending) {
            state.SkipWithError("a report caused a locate");
            break;
        }
    }
    benchmark::DoNotOptimize(sink.last);
    // Seconds per step (printed with an SI suffix, "n" for nanoseconds).
    state.counters["per_step"] =
        benchmark::Counter(kStepsPerBlock, benchmark::Counter::kIsIterationInvariantRate |
                                               benchmark::Counter::kInvert);
}
BENCHMARK(BM_EngineStepQuarterFrame)
    ->Args({25, 0})
    ->Args({2997, 0})
    ->Args({25, 1})
    ->Args({2997, 1})
    ->ArgNames({"fps", "lock"})
    ->UseManualTime();

// The cost of one report on the engine's thread, in both timings: what the filter of the
// player's clock adds to each "transport" (a player reading 1024-sample blocks every 20 ms).
void BM_EngineTransport(benchmark::State& state) {
    const bool phaseLock = state.range(0) == 1;
    NullSink sink;
    velmarmtc::Engine engine(&sink);
    startPlaying(engine, 25, 0, phaseLock);
    constexpr double kBlock = 1024.0 / 48000.0;
    double now = 0;
    for (auto _ : state) {
        now += 0.02;
        const double position = 10 + std::floor(now / kBlock) * kBlock;
        engine.transport(playingAt(position, now), now, 1700000000000.0 + now * 1000.0);
        if (now > 86400) {
            startPlaying(engine, 25, 0, phaseLock);
            now = 0;
        }
    }
}
BENCHMARK(BM_EngineTransport)->Arg(0)->Arg(1)->ArgName("lock");

}  // namespace

BENCHMARK_MAIN();
