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

// Always ready, never busy: every due step ends in one quarter(). Counts what it is sent.
class NullSink final : public velmarmtc::Sink {
  public:
    void open(const std::string&) override {}
    void clearPending() override {}
    void full(const std::array<uint8_t, 10>&) override { ++fulls; }
    void quarter(uint8_t data) override {
        last = data;
        ++quarters;
    }
    bool ready() override { return true; }
    bool connected() override { return true; }
    void close() override {}
    uint8_t last = 0;
    uint64_t fulls = 0;
    uint64_t quarters = 0;
};

// The wall clock that goes with simulated time `now`, so that every report is exactly fresh.
double wallMs(double now) {
    return 1700000000000.0 + now * 1000.0;
}

velmarmtc::Snapshot playingAt(double position, double now) {
    velmarmtc::Snapshot s;
    s.trackId = "track";
    s.hasTrack = true;
    s.position = position;
    s.playing = true;
    s.sentAtUnixMs = wallMs(now);
    return s;
}

// The benches' player: it plays from position 10 at simulated time 0, its reports exact.
double playerPosition(double now) {
    return 10 + now;
}

void report(velmarmtc::Engine& engine, double now) {
    engine.transport(playingAt(playerPosition(now), now), now, wallMs(now));
}

// A started engine playing from time 0, its first full frame done. Returns the time of the
// first quarter frame, at which the player has reported once more (phase lock waits up to two
// frames for its first cycle), so the first timed block, too, starts right after a report.
double startPlaying(velmarmtc::Engine& engine, double fps, bool phaseLock) {
    engine.start("winmm:bench", fps, 3600, 0, phaseLock);
    report(engine, 0);
    engine.step(0);  // the full frame is done: the schedule starts
    const double first = engine.nextDeadline(0);
    report(engine, first);
    return first;
}

// Each timed block steps the engine at the deadlines it names until it has sent 8 quarter
// frames (one 8-piece cycle, so one stamp), which takes a device check's step now and then as
// well; between blocks, untimed, the player reports its position (at most 0.084 s apart), which
// keeps the clock watchdog quiet and never requires a locate. Millions of blocks span simulated
// days, so the player starts over long before its position reaches the 7-day limit. The second
// argument is the timing: 0 the default one, 1 phase lock.
void BM_EngineStepQuarterFrame(benchmark::State& state) {
    const double fps = state.range(0) == 2997 ? 29.97 : static_cast<double>(state.range(0));
    const bool phaseLock = state.range(1) == 1;
    constexpr uint64_t kQuartersPerBlock = 8;
    constexpr double kRestartAfter = 86400.0;
    NullSink sink;
    velmarmtc::Engine engine(&sink);
    double now = startPlaying(engine, fps, phaseLock);
    uint64_t steps = 0;
    for (auto _ : state) {
        if (playerPosition(now) > kRestartAfter) {
            now = startPlaying(engine, fps, phaseLock);
        }
        const uint64_t until = sink.quarters + kQuartersPerBlock;
        const auto begin = std::chrono::steady_clock::now();
        while (sink.quarters < until) {
            now = std::max(now, engine.nextDeadline(now));
            engine.step(now);
            ++steps;
        }
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        const uint64_t fulls = sink.fulls;
        report(engine, now);
        if (sink.fulls != fulls) {
            state.SkipWithError("a report caused a locate");
            break;
        }
    }
    benchmark::DoNotOptimize(sink.last);
    // Seconds per step (printed with an SI suffix, "n" for nanoseconds).
    state.counters["per_step"] = benchmark::Counter(
        static_cast<double>(steps), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
    startPlaying(engine, 25, phaseLock);
    constexpr double kBlock = 1024.0 / 48000.0;
    double now = 0;
    for (auto _ : state) {
        now += 0.02;
        const double position = 10 + std::floor(now / kBlock) * kBlock;
        engine.transport(playingAt(position, now), now, wallMs(now));
        if (now > 86400) {
            startPlaying(engine, 25, phaseLock);
            now = 0;
        }
    }
}
BENCHMARK(BM_EngineTransport)->Arg(0)->Arg(1)->ArgName("lock");

}  // namespace

BENCHMARK_MAIN();
