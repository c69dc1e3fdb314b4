// The show script: what the simulated player does, and when.
//
// A script is a small text file, one command per line; `#` starts a comment:
//
//   fps 25                 frame rate for "start": 24, 25, 29.97 or 30 (default 25)
//   offset 1:00:00         timecode of position 0, as seconds or [h:]m:s (default 1:00:00)
//   player blocks 512 48000   the player's position advances in blocks of 512 samples at 48 kHz
//   player jitter 4        each reading of its position is off by up to 4 ms either way
//   player drift -300      its clock runs 300 parts per million slow (at most 999 either way)
//   player reports 20 4    it reports every 20 ms, each report up to 4 ms early or late
//   player exact           exact readings, reports every 20 ms on the dot (the default)
//   track song-1 [at 12]   switch to a track (a word, or "quoted text"), at a position
//   play | pause           start or pause the player
//   seek 1:30              jump to a position within the track
//   locate                 ask the service for a full frame at the current position
//   wait 2.5               let the show run for this many seconds
//   stop                   end the show: the host sends "stop" (added at the end if missing)
//
// Times are seconds ("90", "2.5") or [h:]m:s ("1:30", "1:00:00.5"). fps, offset and player may
// only appear before the first wait. Everything between two waits happens at the same instant and
// is reported to the service in one clock report; that instant starts a segment of the report.
//
// Parsing runs once on the host's main thread before the show; it allocates and never blocks.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "check/player_clock.h"

namespace mtccheck {

// A script that cannot be run. The message names the script and the line, e.g.
// `show.txt line 7: unknown command "jump"`.
class ScriptError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Why the host expects a full frame after a step: what the player did.
enum class Cause { kFirstReport, kSeek, kPause, kResume, kTrackSwitch, kRequest, kNone, kStop };
const char* causeName(Cause cause);

// One instant of the show: everything the script says between two waits.
struct Step {
    double at = 0;      // seconds after the show started
    int line = 0;       // first script line of the step
    std::string label;  // the step's commands as written, joined by ", "
    Cause cause = Cause::kNone;
    bool setTrack = false;  // switch to `track`
    std::string track;
    bool setPosition = false;  // jump to `position` (track switch or seek)
    double position = 0;
    int play = -1;        // 1 play, 0 pause, -1 unchanged
    bool locate = false;  // ask for a full frame
    bool stop = false;    // the last step
};

struct Show {
    std::string name;  // file name, or "default show"
    double fps = 25;
    double offset = 3600;
    ClockModel clock;         // how the player reads and reports its clock
    std::vector<Step> steps;  // in time order; the last one stops
    double duration() const { return steps.empty() ? 0 : steps.back().at; }
};

// Parses a script. `name` is used in error messages. Throws ScriptError.
Show parseShow(const std::string& text, const std::string& name);

// The built-in show: play, a forward seek, a pause and resume, a track switch, a backward seek
// and a stop, about 17 seconds in all, by a player whose position advances in 512-sample blocks
// at 48 kHz and who reports every 20 ms +-4 ms.
const char* defaultShowText();

// Reads a time as scripts write it ("90", "2.5", "1:30", "1:00:00.25"); false if malformed.
bool parseTime(const std::string& text, double& seconds);

}  // namespace mtccheck
