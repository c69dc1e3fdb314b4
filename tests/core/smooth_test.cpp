// How the engine follows a player whose reports are not exact, on the simulated clock: the
// filter of the player's clock, the default timing's hold on two frames a cycle, and phase lock.
// Labels are read from the quarter-frame nibbles by the test itself (the MTC layout), and the
// first cycles of phase lock are literal vectors.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/clock_filter.h"
#include "core/engine.h"
#include "tests/core/rig.h"

namespace {

using coretest::report;
using coretest::Rig;
using coretest::wallMs;
using Bytes = std::vector<uint8_t>;

constexpr double kBlock512 = 512.0 / 48000.0;

// A reading -4, -2, 0, 2 or 4 ms off the report period, the same on every run.
double sendJitter(int k) {
    return ((k * 7) % 5 - 2) * 0.002;
}

// ---------------------------------------------------------------------------------------------
// The filter on its own

struct FilterCase {
    const char* name;
    // The position the player reports at host time t, and the delay of the report sent then.
    std::function<double(double)> reading;
    std::function<double(int)> delay;
    bool quantised;
    double largestError;  // of the estimate against the true clock 10 + t, seconds
    double leastNoise;
    double mostNoise;
};

TEST(ClockFilter, estimatesTheTrueClockFromExactBlockAndJitteryReadings) {
    const FilterCase cases[] = {
        {"exact readings every 20 ms +-4 ms", [](double t) { return 10 + t; },
         [](int) { return 0.0; }, false, 1e-9, 0, 0},
        {"readings in 512-sample blocks, never ahead",
         [](double t) { return 10 + std::floor(t / kBlock512 + 1e-9) * kBlock512; },
         [](int) { return 0.0; }, true, 0.0015, kBlock512, 2 * kBlock512},
        {"readings up to 3 ms off either way",
         [](double t) { return 10 + t + 0.003 * std::sin(t * 1234.5); }, [](int) { return 0.0; },
         false, 0.001, 0.002, 0.006},
        // The pipe's quickest delivery is the one delay no send stamp can show.
        {"exact readings, every fifth held up 30 ms in the pipe", [](double t) { return 10 + t; },
         [](int k) { return k % 5 == 0 ? 0.03 : 0.0005; }, false, 0.0005 + 1e-9, 0, 0.0001},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.name);
        velmarmtc::ClockFilter filter;
        double sent = 0;
        double arrived = 0;
        double largest = 0;
        for (int k = 0; k < 150; ++k) {
            sent += 0.02 + sendJitter(k);
            arrived = std::max(arrived, sent + c.delay(k));
            filter.add(arrived, c.reading(sent), (arrived - sent) * 1000);
            if (k >= 50) {
                largest = std::max(largest, std::fabs(filter.positionAt(arrived) - (10 + arrived)));
            }
        }
        EXPECT_EQ(filter.quantised(), c.quantised);
        EXPECT_LE(largest, c.largestError);
        EXPECT_GE(filter.noise(), c.leastNoise);
        EXPECT_LE(filter.noise(), c.mostNoise);
    }
}

// ---------------------------------------------------------------------------------------------
// The default timing's hold

// The label count (hours, minutes, seconds and frames at 25 fps) of each whole cycle, read from
// the nibbles as a receiver would.
std::vector<int64_t> cycleLabels(const Bytes& quarters) {
    std::vector<int64_t> labels;
    for (size_t i = 0; i + 8 <= quarters.size(); i += 8) {
        auto nibble = [&](size_t k) { return static_cast<int64_t>(quarters[i + k] & 0x0F); };
        const int64_t frames = nibble(0) | (nibble(1) & 1) << 4;
        const int64_t seconds = nibble(2) | (nibble(3) & 3) << 4;
        const int64_t minutes = nibble(4) | (nibble(5) & 3) << 4;
        const int64_t hours = nibble(6) | (nibble(7) & 1) << 4;
        labels.push_back(((hours * 60 + minutes) * 60 + seconds) * 25 + frames);
    }
    return labels;
}

struct HoldCase {
    const char* name;
    double block;   // 0: exact readings
    double from;    // position at time 0; each cycle's stamp falls this far into its frame
    double step;    // the player's clock moves by this much, without a locate,
    double stepAt;  // at this time
    double lateBy;  // reports reach the engine up to this much after they were read and stamped
    std::vector<int> steps;  // the label steps that are not two frames, in order
};

// The player plays from `from` and reports every 20 ms +-4 ms for 2 s, its clock moving by `step`
// at `stepAt` (1 s, or 0.3 s with few reports behind it). The first cycle's piece 0
// goes out at 0.01 s and stamps the position at 0 s, so every cycle's stamp lies `from` into
// its frame (10.000: right on a frame boundary, where a block clock's lag falls into the
// previous frame on nearly every report). From 0.1 s after the step on, no cycle's label lies
// further than the band from the player's true clock.
TEST(EngineHold, aNoisyClockKeepsTwoFramesACycleWithinTheBandAndAnExactOneIsFollowed) {
    const HoldCase cases[] = {
        {"block readings on a frame boundary", kBlock512, 10.000, 0, 1.0, 0, {}},
        {"block readings, a step of 8 ms within the band", kBlock512, 10.035, 0.008, 1.0, 0, {}},
        {"block readings, a step of 20 ms beyond the band", kBlock512, 10.035, 0.020, 1.0, 0, {3}},
        // More than a block behind the clock's edge, three reports in a row: a clock that moved.
        {"block readings, a step of 20 ms back beyond the band",
         kBlock512,
         10.005,
         -0.020,
         1.0,
         0,
         {1}},
        {"exact readings, a step of 10 ms is followed", 0, 10.035, 0.010, 1.0, 0, {3}},
        {"exact readings, a step of 10 ms back is followed", 0, 10.005, -0.010, 1.0, 0, {1}},
        // A pipe that is slow now and then moves the reports as they arrive, not the player.
        {"exact readings up to 3 ms late, just after a frame boundary",
         0,
         10.001,
         0,
         1.0,
         0.003,
         {}},
        // Its three straying reports are a moved clock, not noise, however few came before: the
        // label must not stay 15 ms ahead of the player.
        {"exact readings up to 3 ms late, a step of 30 ms back soon after the start",
         0,
         10.015,
         -0.030,
         0.3,
         0.003,
         {1}},
    };
    for (const HoldCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(25, 0);
        rig.sendAt(0, c.from, true, "A");
        double t = 0;
        for (int k = 1; t < 2.0; ++k) {
            t = 0.02 * k + sendJitter(k);
            rig.advanceTo(t);
            const double read = t - c.lateBy * static_cast<double>((k * 3) % 5) / 4;
            const double played = read + (read >= c.stepAt ? c.step : 0.0);
            const double reading =
                c.block > 0 ? std::floor(played / c.block + 1e-9) * c.block : played;
            velmarmtc::Snapshot s = report(c.from + reading, true, "A");
            s.sentAtUnixMs = wallMs(read);
            rig.engine.transport(s, t, wallMs(t));
            rig.engine.step(t);
        }
        ASSERT_EQ(rig.fullsSince(0).size(), 1u) << "no locate after the first report";
        const std::vector<int64_t> labels = cycleLabels(rig.quarterDataSince(0));
        ASSERT_GT(labels.size(), 20u);
        std::vector<int> steps;
        for (size_t i = 1; i < labels.size(); ++i) {
            if (labels[i] - labels[i - 1] != 2) {
                steps.push_back(static_cast<int>(labels[i] - labels[i - 1]));
            }
            // Piece 0 of cycle i goes out at 0.01 + 0.08 i and carries the player's position an
            // interval earlier; its label's frame lies within the band of that.
            const double at = 0.08 * static_cast<double>(i);
            if (at < c.stepAt + 0.1 && at + 0.1 > c.stepAt) {
                continue;
            }
            const double player = c.from + at + (at >= c.stepAt ? c.step : 0.0);
            const double label = static_cast<double>(labels[i]) / 25;
            EXPECT_LE(label - player, velmarmtc::Engine::kHoldBand + 1e-9) << "cycle " << i;
            EXPECT_LE(player - (label + 0.04), velmarmtc::Engine::kHoldBand + 1e-9)
                << "cycle " << i;
        }
        EXPECT_EQ(steps, c.steps);
    }
}

// ---------------------------------------------------------------------------------------------
// Phase lock

struct LockCase {
    const char* name;
    double fps;
    double position;  // reported at 0 s, playing
    double firstPieceAt;
    std::array<uint8_t, 8> firstCycle;
};

// The full frame completes at 0 s; the first cycle waits for the first even frame boundary of
// the player's clock at least one interval (10 ms at 25 fps) later, and names that frame.
TEST(EnginePhaseLock, theFirstCycleStartsOnTheFirstEvenFrameBoundaryOneIntervalOn) {
    const LockCase cases[] = {
        {"25 fps: 10.013 s runs to frame 252 (10.08 s)",
         25,
         10.013,
         0.067,
         {0x02, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x60, 0x72}},  // 00:00:10:02
        {"25 fps: 9.995 s, 5 ms before an even frame, waits for the next",
         25,
         9.995,
         0.085,
         {0x02, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x60, 0x72}},
        {"29.97: 60 s runs to real frame 1800, labelled 00:01:00;02",
         29.97,
         60.0,
         0.06,
         {0x02, 0x10, 0x20, 0x30, 0x41, 0x50, 0x60, 0x74}},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(c.fps, 0, 0, true);
        rig.sendAt(0, c.position, true, "A");
        rig.advanceTo(c.firstPieceAt + 7.5 * rig.engine.quarterInterval());
        const Bytes quarters = rig.quarterDataSince(0);
        ASSERT_EQ(quarters.size(), 8u);
        EXPECT_EQ(quarters, Bytes(c.firstCycle.begin(), c.firstCycle.end()));
        EXPECT_NEAR(rig.sink.packets[1].time, c.firstPieceAt, 1e-9);
    }
}

}  // namespace
