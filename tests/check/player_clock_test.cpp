// The player clock model the shows play with: what a reading of a block clock, a jittery clock
// and a drifting one may say, and when reports go out.
#include "check/player_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using mtccheck::ClockModel;
using mtccheck::PlayerClock;

ClockModel model(int blockFrames, double jitterMs, double driftPpm) {
    ClockModel m;
    m.blockFrames = blockFrames;
    m.readJitterMs = jitterMs;
    m.driftPpm = driftPpm;
    m.sendJitterMs = 4;
    return m;
}

TEST(PlayerClock, aReadingLagsByLessThanABlockOrStraysByTheJitterAndTheClockDrifts) {
    const struct {
        const char* name;
        ClockModel clock;
        double leastLag;  // played minus read, seconds
        double mostLag;
        bool onBlocks;
    } cases[] = {
        {"exact", model(0, 0, 0), 0, 0, false},
        {"1024-sample blocks at 48 kHz", model(1024, 0, 0), 0, 1024.0 / 48000, true},
        {"reading +-3 ms", model(0, 3, 0), -0.003, 0.003, false},
        {"blocks on a clock 500 ppm slow", model(512, 0, -500), 0, 512.0 / 48000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlayerClock clock(c.clock, 3);
        EXPECT_DOUBLE_EQ(clock.played(10), 10 * (1 + c.clock.driftPpm * 1e-6));
        const double block = c.clock.blockFrames / c.clock.sampleRate;
        double leastLag = 1, mostLag = -1;
        for (int k = 1; k <= 2000; ++k) {
            const double t = k * 0.0137;
            const double reading = clock.read(t);
            leastLag = std::min(leastLag, clock.played(t) - reading);
            mostLag = std::max(mostLag, clock.played(t) - reading);
            if (c.onBlocks) {
                EXPECT_NEAR(reading / block, std::round(reading / block), 1e-6) << t;
            }
        }
        EXPECT_GE(leastLag, c.leastLag - 1e-12);
        EXPECT_LE(mostLag, c.mostLag + 1e-12);
        // The lag or jitter spans its range (it is noise, not a constant).
        EXPECT_GE(mostLag - leastLag, 0.9 * (c.mostLag - c.leastLag));
    }
}

TEST(PlayerClock, reportsGoOutEveryPeriodGiveOrTakeTheJitterTheSameWayForTheSameSeed) {
    PlayerClock a(model(0, 0, 0), 11), b(model(0, 0, 0), 11), other(model(0, 0, 0), 12);
    std::vector<double> first, second, third;
    for (int k = 0; k < 500; ++k) {
        first.push_back(a.nextReportIn());
        second.push_back(b.nextReportIn());
        third.push_back(other.nextReportIn());
        EXPECT_GE(first.back(), 0.016 - 1e-12);
        EXPECT_LE(first.back(), 0.024 + 1e-12);
    }
    EXPECT_EQ(first, second);
    EXPECT_NE(first, third);
}

}  // namespace
