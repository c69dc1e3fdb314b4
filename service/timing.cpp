#include "service/timing.h"

#include <cmath>

namespace mtcservice {

namespace {

constexpr double kTicksPerSecond = 10000000.0;  // 100-nanosecond units
// Seconds since boot are large, so deadline - now carries float noise of a few picoseconds;
// that must not add a whole tick to a wait that is a whole number of them (50 ms is -500000,
// not -500001). A nanosecond is also what the engine lets a step come early by.
constexpr double kNoiseTicks = 0.01;
constexpr std::uint64_t kFileTimeAtUnixEpoch = 116444736000000000ULL;  // 1601 to 1970
constexpr double kTicksPerMillisecond = 10000.0;

}  // namespace

std::int64_t relativeDueTime(const velmarmtc::Engine& engine, double now) {
    const double ticks = engine.waitBeforeNextStep(now) * kTicksPerSecond;
    return -static_cast<std::int64_t>(std::ceil(ticks - kNoiseTicks));
}

double unixMillisecondsFromFileTime(std::uint64_t since1601) {
    return static_cast<double>(since1601 - kFileTimeAtUnixEpoch) / kTicksPerMillisecond;
}

}  // namespace mtcservice
