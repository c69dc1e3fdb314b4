// The one judge of "the receiver follows the player", for mtc-host's report and the end-to-end
// tests alike: what a receiver that replays the wire shows at a moment, against where the
// player truly was then (its history, check/player.h, not what it reported).
//
// mtc-host samples that error every few milliseconds for its figures; the tests judge it at the
// end of every whole quarter-frame cycle, when the receiver takes the cycle's label plus two
// frames, against bounds of their own. Only the bounds differ: the error is the same.
//
// Pure: one owner thread; allocates; never blocks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "check/player.h"
#include "check/receiver.h"
#include "check/wire.h"

namespace mtccheck {

// What the receiver shows minus where the player is, over a show. The moments asked about must
// not go back in time.
class FollowJudge {
  public:
    // `readings` in wire order (they must outlive the judge); `offset` is the timecode of
    // position 0; `rate` the show's rate code, for the 24-hour dial.
    FollowJudge(const std::vector<TimedReading>& readings, const PlayerHistory& player,
                double offset, int rate);

    // Takes the readings up to `t`; false while the receiver has no time yet.
    bool advanceTo(double t);
    // Seconds the receiver is ahead of the player at `t` (behind: negative), on the 24-hour
    // dial; call advanceTo(t) first.
    double errorAt(double t) const;

  private:
    const std::vector<TimedReading>& readings_;
    const PlayerHistory& player_;
    double offset_;
    int rate_;
    ReceiverClock clock_;
    size_t next_ = 0;
};

// How closely each whole cycle must follow. A cycle is left alone when the player changed from
// `reach` seconds before its piece 0's quarter interval on (the service may not have the
// change yet). A cycle whose piece 7 left late (a stall of the machine holding it back) is
// judged as if it had left on time: it may lag by that lateness more than `behind`, and its
// lateness never hides a reading ahead.
struct FollowBounds {
    double ahead = 0;
    double behind = 0;
    double reach = 0;
};

// One whole cycle judged when its last piece arrived.
struct CycleFollow {
    double at = 0;         // when piece 7 arrived (the wire's clock, seconds)
    double errorS = 0;     // receiver minus player then
    double lateS = 0;      // how late piece 7 began to leave against piece 0's schedule
    Timecode label;        // the label the cycle carried
    bool outside = false;  // beyond the bounds (with the allowance behind)
    bool stalled = false;  // within them only thanks to piece 7's lateness
};

struct FollowVerdict {
    std::vector<CycleFollow> cycles;  // the cycles judged, in wire order
    size_t outside = 0;
    std::string
        firstOutside;  // "01:00:12:04@1 at 3.402 s, off by -55.1 ms, piece 7 late by 0.3 ms"
};

// Judges every whole cycle whose piece 0 left within [from, to] (the wire's clock); `rate` is
// the show's rate code.
FollowVerdict judgeCycles(const std::vector<TimedReading>& readings, const PlayerHistory& player,
                          double offset, int rate, const FollowBounds& bounds, double from,
                          double to);

}  // namespace mtccheck
