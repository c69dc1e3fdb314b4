// The player's clock as the engine estimates it from the reports, beyond what the newest report
// says on its own.
//
// A real player's position is not exact. Read from an audio clock it advances in whole blocks
// (512 samples at 48 kHz are 10.7 ms) and is never ahead of what is playing; read from a media
// framework it carries a few milliseconds of jitter either way; and on a busy machine a report
// reaches the service late. Judged report by report, that noise moves a cycle's stamp across a
// frame boundary and back. The filter keeps the last seconds of reports and estimates the
// player's clock as position minus time (the "clock offset"):
// - positions that advance on a lattice of whole blocks are never ahead, so the clock is their
//   upper envelope (the largest offset of the last two seconds);
// - positions that move freely carry symmetric noise, so the clock is the middle of their
//   spread over the last second (halfway between the 5th and 95th percentile, which a few late
//   readings do not move);
// - each report's arrival time is taken back by how much longer it travelled than the promptest
//   of the recent reports (by its send stamp), so that a stall of the pipe is not taken for the
//   player falling behind.
// It also measures the clock's own noise (how far single reports stray from the estimate), which
// the engine uses to tell a noisy clock from a real change of the player's position.
//
// Fixed storage, no allocation: one filter lives in the engine and is used on its thread only.
// add() costs a sort of at most kWindow values; the reads are constant time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmarmtc {

class ClockFilter {
  public:
    // Forgets everything, the noise and the lattice included: a new player may be another clock.
    void clear();
    // The player's clock has a new origin (a seek, a track switch, a pause or a resume): its
    // samples no longer apply. What was learnt of the clock's kind and noise is kept, since it
    // belongs to the player, not to the place it plays.
    void restart();
    // One accepted report of a playing player: `position` seconds, accepted at `now` on the
    // engine's clock, `ageMs` after the host stamped it. The age may be off by any constant
    // (the host's clock against ours): only how much longer one report took than another counts.
    // Updates the estimate.
    void add(double now, double position, double ageMs);

    bool empty() const { return count_ == 0; }
    // The estimated player position at `now`, and the time at which the estimate reaches
    // `position`. Meaningful when not empty.
    double positionAt(double now) const { return now + clockOffset_; }
    double timeAt(double position) const { return position - clockOffset_; }
    // Where the newest report alone puts the player at `now` (its travel time taken back); a
    // moment before the report was accepted counts as that moment, never as time run back.
    double newestPositionAt(double now) const {
        return (now > sample(0).at ? now : sample(0).at) + newestOffset_;
    }
    // How far single reports stray from the estimate, in seconds: one and a half times the 90th
    // percentile of the deviations of the last 64 reports (0 for a player whose reports follow
    // its clock exactly).
    double noise() const { return noise_; }
    // The recent positions advance on a lattice of whole blocks (an audio clock).
    bool quantised() const;

    // Reports the filter keeps at most, and how far back it looks, in seconds. A block clock is
    // judged by its upper edge, which the reports only touch now and then: it looks further
    // back than a free clock, whose every report counts.
    static constexpr size_t kWindow = 128;
    static constexpr double kBlockSpan = 2.0;
    static constexpr double kFreeSpan = 1.0;

  private:
    struct Sample {
        double at;        // engine time of acceptance
        double position;  // as reported
        double ageMs;     // as the host's stamp tells
    };
    const Sample& sample(size_t back) const;  // 0: the newest
    double promptestAge() const;
    void estimate();
    void track(double deviation);
    void endStrayRun();  // the straying reports were noise after all

    std::array<Sample, kWindow> samples_{};
    size_t newest_ = 0;  // index of the newest sample
    size_t count_ = 0;   // samples since the last restart (at most kWindow)
    double clockOffset_ = 0;
    double newestOffset_ = 0;

    // Approximate greatest common divisor of the position steps seen (0: none yet), and
    // whether a step has fallen off every lattice.
    double lattice_ = 0;
    bool continuous_ = false;
    size_t latticeSteps_ = 0;

    // The ages of the last reports, across restarts: the pipe's quickest delivery, against
    // which each report's travel time is judged (the wall clocks need not agree on the moment,
    // only on the rate).
    std::array<double, 64> ages_{};
    size_t ageCount_ = 0;
    size_t nextAge_ = 0;

    // Sizes of the deviations of single reports from the estimate made before them.
    using Deviations = std::array<double, 64>;
    Deviations deviations_{};
    size_t deviationCount_ = 0;
    size_t nextDeviation_ = 0;
    double noise_ = 0;
    // Consecutive reports that strayed far, on the same side (a real change of the player, at
    // kStraysForNewClock), positive ahead, negative behind; and their deviations, which join
    // the noise only if the run ends short of that.
    int strayRun_ = 0;
    std::array<double, 3> strayDeviations_{};
};

}  // namespace velmarmtc
