// The player's clock estimated from its reports. Runs on the engine's thread, inside
// Engine::transport; allocates nothing (fixed arrays, sorts on the stack) and never blocks.
#include "core/clock_filter.h"

#include <algorithm>
#include <cmath>

namespace velmarmtc {

namespace {

// Two positions of a block clock differ by whole blocks; hosts print positions to the
// microsecond, so a step is taken as a multiple of the lattice to within this much.
constexpr double kLatticeTolerance = 10e-6;
// The shortest audio block a player hands over (128 samples at 48 kHz last 2.7 ms): a lattice
// finer than this is no block clock but positions that move freely.
constexpr double kShortestBlock = 0.002;
// The fraction of the offsets set aside at either end when the middle of a free clock's spread
// is taken: a late reading now and then must not pull the estimate.
constexpr double kTrim = 0.05;
// A report strays when it is further from the estimate than the clock's noise and this margin.
constexpr double kStrayMargin = 0.002;
// This many straying reports in a row, on the same side, are the player's clock having moved
// (within the locate tolerance): the estimate starts again from them.
constexpr int kStraysForNewClock = 3;
// The noise is this many times the 90th percentile of the recent deviations: for a block clock,
// whose reports lag its upper edge by an even spread of up to one block, that is about one and
// a third blocks, enough for the block and a few milliseconds of delivery on top. A percentile
// over a second and more of reports, because a block clock's lag sweeps slowly through the block
// when the reports come at about the block's own period, and a real move of the player shows in
// a few reports only.
constexpr double kNoisePerDeviation = 1.5;
constexpr double kNoisePercentile = 0.9;
// Fewer deviations than this say nothing of the noise yet (the first few may be a real change).
constexpr size_t kLeastDeviations = 2;

// The greatest common divisor of two positive steps, to within kLatticeTolerance: Euclid's
// algorithm with remainders that are a hair short of the divisor counted as none.
double approximateGcd(double a, double b) {
    for (int i = 0; i < 64 && b > kLatticeTolerance; ++i) {
        double r = std::fmod(a, b);
        if (b - r < kLatticeTolerance) {
            r = 0;
        }
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

void ClockFilter::clear() {
    *this = ClockFilter();
}

void ClockFilter::restart() {
    count_ = 0;
    strayRun_ = 0;
}

bool ClockFilter::quantised() const {
    // Until a step falls off every lattice, the reports are taken for an audio clock, which is
    // never ahead: its largest offset is then right, and the first reports after a locate (one
    // or two) say nothing more.
    return !continuous_;
}

double ClockFilter::promptestAge() const {
    return *std::min_element(ages_.begin(), ages_.begin() + static_cast<std::ptrdiff_t>(ageCount_));
}

const ClockFilter::Sample& ClockFilter::sample(size_t back) const {
    return samples_[(newest_ + kWindow - back) % kWindow];
}

void ClockFilter::track(double deviation) {
    deviations_[nextDeviation_] = std::fabs(deviation);
    nextDeviation_ = (nextDeviation_ + 1) % deviations_.size();
    deviationCount_ = std::min(deviationCount_ + 1, deviations_.size());
    Deviations sorted = deviations_;
    const size_t rank =
        static_cast<size_t>(kNoisePercentile * static_cast<double>(deviationCount_));
    const auto at = sorted.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(sorted.begin(), at,
                     sorted.begin() + static_cast<std::ptrdiff_t>(deviationCount_));
    noise_ = deviationCount_ < kLeastDeviations ? 0.0 : kNoisePerDeviation * *at;
}

void ClockFilter::endStrayRun() {
    for (int k = 0; k < std::abs(strayRun_); ++k) {
        track(strayDeviations_[static_cast<size_t>(k)]);
    }
    strayRun_ = 0;
}

void ClockFilter::add(double now, double position, double ageMs) {
    if (count_ > 0) {
        const double step = std::fabs(position - sample(0).position);
        if (step > kLatticeTolerance && !continuous_) {
            lattice_ = latticeSteps_ == 0 ? step : approximateGcd(lattice_, step);
            ++latticeSteps_;
            continuous_ = lattice_ < kShortestBlock;
        }
        // How far this report strays from the clock as estimated before it (its travel time
        // taken back as the estimate takes it back).
        const double deviation =
            position - (now - (ageMs - std::min(promptestAge(), ageMs)) / 1000.0) - clockOffset_;
        // A block clock lags its edge by up to a block, never leads it: only a report further
        // behind than that says the clock moved back (one ahead raises the envelope at once).
        // A free clock strays either way beyond its own noise.
        const bool strays = quantised() ? lattice_ > 0 && deviation < -(lattice_ + kStrayMargin)
                                        : std::fabs(deviation) > noise_ + kStrayMargin;
        // A straying report's deviation counts as noise only once the reports after it show
        // that the clock did not move; those of a clock that moved are no noise of it.
        if (!strays || (strayRun_ != 0 && (strayRun_ > 0) != (deviation > 0))) {
            endStrayRun();
        }
        if (strays) {
            strayDeviations_[static_cast<size_t>(std::abs(strayRun_))] = deviation;
            strayRun_ += deviation > 0 ? 1 : -1;
        } else {
            track(deviation);
        }
    }
    newest_ = (newest_ + 1) % kWindow;
    samples_[newest_] = Sample{now, position, ageMs};
    ages_[nextAge_] = ageMs;
    nextAge_ = (nextAge_ + 1) % ages_.size();
    ageCount_ = std::min(ageCount_ + 1, ages_.size());
    count_ = std::min(count_ + 1, kWindow);
    if (std::abs(strayRun_) >= kStraysForNewClock) {
        // The clock has moved: keep only the reports that show where it went.
        count_ = static_cast<size_t>(kStraysForNewClock);
        strayRun_ = 0;
    }
    estimate();
}

void ClockFilter::estimate() {
    const double newestAt = sample(0).at;
    size_t n = 0;
    const double promptest = promptestAge();
    const double span = quantised() ? kBlockSpan : kFreeSpan;
    while (n < count_ && sample(n).at >= newestAt - span) {
        ++n;
    }
    std::array<double, kWindow> offsets{};
    for (size_t k = 0; k < n; ++k) {
        const Sample& s = sample(k);
        offsets[k] = s.position - (s.at - (s.ageMs - promptest) / 1000.0);
    }
    newestOffset_ = offsets[0];
    const auto first = offsets.begin();
    const auto last = offsets.begin() + static_cast<std::ptrdiff_t>(n);
    if (quantised()) {
        clockOffset_ = *std::max_element(first, last);
        return;
    }
    std::sort(first, last);
    const size_t trimmed = static_cast<size_t>(static_cast<double>(n) * kTrim);
    clockOffset_ = (offsets[trimmed] + offsets[n - 1 - trimmed]) / 2;
}

}  // namespace velmarmtc
