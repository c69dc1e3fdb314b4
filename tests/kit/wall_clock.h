// The wall clock of the simulated runs: the Unix milliseconds that go with a simulated
// monotonic time, so that a report stamped "now" is exactly fresh. Any thread; pure.
#pragma once

namespace mtctest {

// Wall-clock Unix milliseconds at simulated time 0 (an integer, so sums stay exact).
constexpr double kWallEpochMs = 1700000000000.0;

inline double wallMs(double now) {
    return kWallEpochMs + now * 1000.0;
}

}  // namespace mtctest
