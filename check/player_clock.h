// A media player's clock as real players report it, for the shows the host and the tests play.
//
// The player's audio plays on its own clock, which may run a little fast or slow against the
// host's (parts per million). What the player reports is a reading of that clock: taken from an
// audio device it advances in whole blocks (it lags what is playing by up to one block, never
// leads); taken from a media framework it is off by a little either way. It reports every
// period, give or take the jitter of the thread that sends the reports.
//
// The model knows the true clock, so the checks can judge the receiver against what was really
// playing, not against what the player said. Its randomness comes from its own generator with a
// fixed seed: the same show reads the same way on every machine and compiler.
//
// Pure arithmetic and a generator state: one owner thread; never blocks or allocates.
#pragma once

#include <cstdint>
#include <string>

namespace mtccheck {

struct ClockModel {
    int blockFrames = 0;  // the reading advances in blocks of this many samples; 0: it does not
    double sampleRate = 48000;
    double readJitterMs = 0;  // each reading is off by up to this much, evenly spread either way
    double driftPpm = 0;      // the player's clock runs this many parts per million fast
    double reportPeriodMs = 20;
    double sendJitterMs = 0;  // each report leaves up to this much before or after its time

    // The player's clock runs at this rate against the host's.
    double rate() const { return 1.0 + driftPpm * 1e-6; }
    bool exact() const { return blockFrames == 0 && readJitterMs == 0; }
    // One line for reports: "512-sample blocks at 48 kHz, reports every 20 ms +-4 ms".
    std::string describe() const;
};

// A small generator of its own (splitmix64), so that a seed gives the same numbers everywhere.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // Evenly in [-1, 1).
    double symmetric();
    // Evenly in [0, 1).
    double unit();

  private:
    uint64_t state_;
};

class PlayerClock {
  public:
    PlayerClock(const ClockModel& model, uint64_t seed) : model_(model), random_(seed) {}

    const ClockModel& model() const { return model_; }
    // Seconds of the track that have played `hostSeconds` (of the host's clock) after the
    // player started playing from somewhere.
    double played(double hostSeconds) const { return hostSeconds * model_.rate(); }
    // What the player reports then: `played`, cut down to the start of its block, with the
    // reading's jitter; never before the place it started from.
    double read(double hostSeconds);
    // Host seconds from one report to the next.
    double nextReportIn();

  private:
    ClockModel model_;
    Random random_;
};

}  // namespace mtccheck
