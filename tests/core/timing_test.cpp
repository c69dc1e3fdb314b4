// The engine under players as they really are: the built-in show, played on the simulated clock
// by each clock model at each rate in both timing modes, judged by the checking library as a
// receiver would judge the wire. Every row prints its figures, so `timing_test` alone prints the
// whole table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "check/analysis.h"
#include "check/script.h"
#include "check/stats.h"
#include "core/engine.h"
#include "tests/core/show_sim.h"

namespace {

using mtccheck::ClockModel;

// A player that reports every 20 ms +-4 ms and reads its clock as `settings` say, in the show
// script's words ("player blocks 512 48000", "player jitter 3", "player drift -300").
ClockModel reportingEvery20ms(const std::string& settings) {
    return mtccheck::parseShow("player reports 20 4\n" + settings + "\n", "clock").clock;
}

struct ClockCase {
    const char* name;
    ClockModel clock;
    coretest::Delivery delivery;
    // Phase lock holds its goal. A clock read +-8 ms either way leaves the first cycles after
    // each locate a few milliseconds off until enough reports have come: only continuity and
    // the locates are asserted there.
    bool lockGoal;
};

// What phase lock keeps, pooled over the row's shows: piece 0 against the player's frame grid
// within this spread (p1 to p99) and median, in milliseconds.
constexpr double kPhaseSpreadMs = 2.0;
constexpr double kPhaseMedianMs = 2.0;
constexpr uint64_t kShowsPerRow = 3;

// The built-in show's locates: one per step, none of the service's own.
const std::map<std::string, int> kLocatesByCause = {
    {"first report", 1}, {"seek", 2},    {"pause", 1},     {"resume", 1},
    {"track switch", 1}, {"request", 0}, {"late tick", 0}, {"report gap", 0},
};

// The largest difference from the nominal interval, as a fraction of it, between two quarter
// frames with no full frame between them.
double largestIntervalChange(const std::vector<coretest::Packet>& packets, double interval) {
    double largest = 0;
    for (size_t i = 1; i < packets.size(); ++i) {
        if (packets[i].isQuarter() && packets[i - 1].isQuarter()) {
            const double change = std::fabs((packets[i].time - packets[i - 1].time) / interval - 1);
            largest = std::max(largest, change);
        }
    }
    return largest;
}

TEST(Timing, everyClockModelKeepsCyclesTwoFramesOnAndPhaseLockHoldsTheFrameGrid) {
    const ClockCase cases[] = {
        {"exact, every 20 ms", ClockModel(), {0, 0, 0, 0}, true},
        {"512-sample blocks", reportingEvery20ms("player blocks 512 48000"), {}, true},
        {"1024-sample blocks", reportingEvery20ms("player blocks 1024 48000"), {}, true},
        {"reading +-3 ms", reportingEvery20ms("player jitter 3"), {}, true},
        {"512 blocks, -300 ppm",
         reportingEvery20ms("player blocks 512 48000\nplayer drift -300"),
         {},
         true},
        {"1024 blocks, +300 ppm",
         reportingEvery20ms("player blocks 1024 48000\nplayer drift 300"),
         {},
         true},
        {"512 blocks, stalling pipe",
         reportingEvery20ms("player blocks 512 48000"),
         {0.5, 2.5, 0.05, 40},
         true},
        {"exact, stalling pipe", reportingEvery20ms(""), {0.5, 2.5, 0.05, 40}, true},
        {"reading +-8 ms", reportingEvery20ms("player jitter 8"), {}, false},
    };
    std::printf("%-28s %5s %-7s %5s %7s %7s %7s %7s %6s\n", "clock", "fps", "mode", "jumps",
                "ph p1", "ph p50", "ph p99", "spread", "slew%");
    for (const ClockCase& c : cases) {
        for (const double fps : {24.0, 25.0, 29.97, 30.0}) {
            for (const bool phaseLock : {false, true}) {
                char row[96];
                std::snprintf(row, sizeof row, "%s at %g fps, %s", c.name, fps,
                              phaseLock ? "phase lock" : "default");
                SCOPED_TRACE(row);
                std::vector<double> phases;
                uint64_t jumps = 0;
                double intervalChange = 0;
                for (uint64_t seed = 1; seed <= kShowsPerRow; ++seed) {
                    mtccheck::Show show =
                        mtccheck::parseShow(mtccheck::defaultShowText(), "default show");
                    show.fps = fps;
                    show.clock = c.clock;
                    const coretest::SimulatedShow sim = coretest::simulateShow(
                        show, phaseLock, seed * 1000 + static_cast<uint64_t>(fps * 100),
                        c.delivery);
                    const mtccheck::Report r = mtccheck::analyse(sim.record);
                    EXPECT_TRUE(r.problems.empty()) << r.problems.front();
                    for (const auto& cause : r.locateCauses) {
                        const auto expected = kLocatesByCause.find(cause.first);
                        EXPECT_EQ(cause.second,
                                  expected == kLocatesByCause.end() ? 0 : expected->second)
                            << cause.first;
                    }
                    jumps += r.cycleJumps;
                    for (const auto& phase : r.phases) {
                        phases.push_back(phase.second);
                    }
                    const double interval = mtccheck::frameSeconds(mtccheck::rateCodeOf(fps)) / 4;
                    intervalChange =
                        std::max(intervalChange, largestIntervalChange(sim.packets, interval));
                }
                const mtccheck::Figures phase = mtccheck::figuresOf(phases);
                std::printf("%-28s %5.2f %-7s %5llu %7.2f %7.2f %7.2f %7.2f %6.2f\n", c.name, fps,
                            phaseLock ? "lock" : "default", static_cast<unsigned long long>(jumps),
                            phase.p1, phase.p50, phase.p99, phase.p99 - phase.p1,
                            intervalChange * 100);
                EXPECT_EQ(jumps, 0u);
                if (!phaseLock) {
                    // The default schedule runs at the nominal interval from each full frame.
                    EXPECT_LT(intervalChange, 1e-6);
                    continue;
                }
                EXPECT_LE(intervalChange, velmarmtc::Engine::kLockSlew + 1e-6);
                if (c.lockGoal) {
                    EXPECT_LE(phase.p99 - phase.p1, kPhaseSpreadMs);
                    EXPECT_LE(std::fabs(phase.p50), kPhaseMedianMs);
                }
            }
        }
    }
}

}  // namespace
