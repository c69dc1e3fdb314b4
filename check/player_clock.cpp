#include "check/player_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mtccheck {

namespace {

// Reports never come closer together than this, whatever the jitter.
constexpr double kClosestReports = 0.001;

}  // namespace

std::string ClockModel::describe() const {
    std::string out;
    char text[96];
    if (blockFrames > 0) {
        std::snprintf(text, sizeof text, "%d-sample blocks at %g kHz", blockFrames,
                      sampleRate / 1000);
        out = text;
    } else {
        out = "exact positions";
    }
    if (readJitterMs > 0) {
        std::snprintf(text, sizeof text, ", reading +-%g ms", readJitterMs);
        out += text;
    }
    if (driftPpm != 0) {
        std::snprintf(text, sizeof text, ", clock %+g ppm", driftPpm);
        out += text;
    }
    std::snprintf(text, sizeof text, ", reports every %g ms", reportPeriodMs);
    out += text;
    if (sendJitterMs > 0) {
        std::snprintf(text, sizeof text, " +-%g ms", sendJitterMs);
        out += text;
    }
    return out;
}

uint64_t Random::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Random::unit() {
    // The top 53 bits make every double in [0, 1) of that spacing equally likely.
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

double Random::symmetric() {
    return 2 * unit() - 1;
}

double PlayerClock::read(double hostSeconds) {
    double reading = played(hostSeconds);
    if (model_.blockFrames > 0) {
        const double block = model_.blockFrames / model_.sampleRate;
        reading = std::floor(reading / block + 1e-9) * block;
    }
    if (model_.readJitterMs > 0) {
        reading += model_.readJitterMs / 1000 * random_.symmetric();
    }
    return std::max(reading, 0.0);
}

double PlayerClock::nextReportIn() {
    const double jitter = model_.sendJitterMs > 0 ? model_.sendJitterMs * random_.symmetric() : 0;
    return std::max((model_.reportPeriodMs + jitter) / 1000, kClosestReports);
}

}  // namespace mtccheck
