// Timecode core figures: one stamp per rate, and Engine::step on the quarter-frame path with a
// sink that does nothing (so the figure is the engine's own cost per quarter frame).
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
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
void startPlaying(velmarmtc::Engine& engine, double fps, double now) {
    engine.start("winmm:bench", fps, 3600, now);
    engine.transport(playingAt(10, now), now, 1700000000000.0 + now * 1000.0);
    engine.step(now);  // the full frame is done: the schedule starts
}

// Each timed block is 8 steps, each exactly at a quarter frame's due time (one 8-piece cycle, so
// one stamp); between blocks, untimed, the player reports its position (at most 0.084 s apart),
// which keeps the clock watchdog quiet and never requires a locate. Millions of blocks span
// simulated days, so the player starts over long before its position reaches the 7-day limit.
void BM_EngineStepQuarterFrame(benchmark::State& state) {
    const double fps = state.range(0) == 2997 ? 29.97 : static_cast<double>(state.range(0));
    constexpr int kStepsPerBlock = 8;
    constexpr double kRestartAfter = 86400.0;
    NullSink sink;
    velmarmtc::Engine engine(&sink);
    startPlaying(engine, fps, 0);
    for (auto _ : state) {
        if (engine.nextQuarterAt - engine.anchorTime + engine.anchorPosition > kRestartAfter) {
            startPlaying(engine, fps, 0);
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
BENCHMARK(BM_EngineStepQuarterFrame)->Arg(25)->Arg(2997)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
