// The player a show plays against the service, as the checks model it: what it did and when
// (its changes), where it truly was at any moment, and what it reports when asked. mtc-host,
// the analysis and the end-to-end tests' player (check/win/player.h) all use this one model, so
// the player the report judges against is the player that played.
//
// Times are microseconds on the host's clock (the clock the wire is stamped with); the queries
// take seconds on the same clock. Pure: one owner thread; never blocks; allocates only to grow
// the history.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/player_clock.h"
#include "check/script.h"

namespace mtccheck {

// The player from `atUs` on (until the next change): at `position` then, running or not, its
// clock at `rate` against the host's (a player whose audio clock drifts), on `track`.
struct PlayerChange {
    int64_t atUs = 0;
    double position = 0;
    bool playing = false;
    double rate = 1;
    std::optional<std::string> track = std::nullopt;  // none: no track chosen yet
};

// Where the player truly was at any moment, from its changes in time order.
class PlayerHistory {
  public:
    PlayerHistory() = default;
    explicit PlayerHistory(std::vector<PlayerChange> changes) : changes_(std::move(changes)) {}

    // Appends a change; it must not come before the last one.
    void add(PlayerChange change) { changes_.push_back(std::move(change)); }
    const std::vector<PlayerChange>& changes() const { return changes_; }

    // The change in force at `t` seconds (the last one at or before it), or null before the
    // first.
    const PlayerChange* at(double t) const;
    // The position at `t`, run on in real time at the player's rate while it plays; before the
    // first change, where that change starts (0 with none).
    double positionAt(double t) const;
    bool playingAt(double t) const;
    double rateAt(double t) const;  // 1 before the first change
    // Seconds of the last change at or before `t`; 0 before the first.
    double changedBefore(double t) const;

  private:
    std::vector<PlayerChange> changes_;
};

// The player of a show script: it performs the script's steps on its history and reads its
// clock as the script's clock model says (in blocks, with jitter and drift) when it reports.
class ShowPlayer {
  public:
    static constexpr uint64_t kSeed = 1;  // every run of a show reads the same way
    // `seed` picks the clock's jitter; the simulated-clock tests play one show under several.
    explicit ShowPlayer(const ClockModel& model, uint64_t seed = kSeed) : clock_(model, seed) {}

    // Performs `step` at `us`: a track switch, a seek, play or pause, or the stop (which
    // pauses). Every step is a change of the history, even one that keeps the place.
    void perform(const Step& step, int64_t us);

    const PlayerHistory& history() const { return history_; }
    bool playing() const;
    // The current track; none before the first "track".
    std::optional<std::string> track() const;
    // Where the player truly is at `us`.
    double positionAt(int64_t us) const;
    // What it reports at `us`: its clock read since the last change.
    double reportedAt(int64_t us);
    // Microseconds until its next report.
    int64_t nextReportInUs();

  private:
    PlayerClock clock_;
    PlayerHistory history_;
};

}  // namespace mtccheck
