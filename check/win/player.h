// A media player as the service's host: it reports its clock with "transport" lines every
// `period` seconds from a background thread, and at once on every change. Its history is the
// portable player model's (check/player.h), so a check tells where the player was at any
// moment as mtc-host's analysis does.
//
// Threads: any thread may call the methods; the reports go out from the player's own thread
// through `send`, which must be safe to call from it. Every wait is bounded by the period.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check/player.h"

namespace mtccheck {

// A "transport" line as the player writes it (position to the microsecond, the stamp to the
// microsecond of a millisecond).
std::string transportLine(const std::optional<std::string>& track, double position, bool playing,
                          double sentAtUnixMs, bool locate = false);

class Player {
  public:
    // `send` writes one line (without its line feed) to the service.
    explicit Player(std::function<void(const std::string&)> send);
    ~Player();  // stops the reports

    // Each change sends one report at once (with "locate" when asked) and moves the clock.
    void play(const std::string& track, double position, bool locate = false);
    void pause(bool locate);
    void resume();
    void seek(double position, bool locate = false);
    // The player's clock jumps by `seconds` without a locate request (a drift or a correction).
    void shift(double seconds);
    // A report sent at once with the player's state and `locate`.
    void report(bool locate = false);

    // Reports in the background every `period` seconds until stopReports.
    void startReports(double period = 0.02);
    void stopReports();
    // Time of the last report that was written.
    double lastReportAt();

    // Player position at host time `t` (seconds within the track), and the time of the last
    // state change at or before `t`.
    double positionAt(double t);
    double changedBefore(double t);
    bool playingAt(double t);
    // The history so far (a copy), for the judges of check/follow.h.
    PlayerHistory history();

  private:
    // A change now: `position`, playing or not, on `track` (null: the track it was on). Returns
    // the change's time in seconds, as the history holds it (to the microsecond).
    double changeLocked(double position, bool playing, const std::string* track = nullptr);
    void sendLocked(double t, bool locate);

    std::function<void(const std::string&)> send_;
    std::mutex mutex_;
    PlayerHistory history_;  // the portable model; stamped in microseconds of hostNow()
    double lastReportAt_ = 0;
    bool reporting_ = false;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace mtccheck
