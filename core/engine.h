// The transport engine: turns the player's clock reports into a continuous MTC stream on one
// Sink, and stops the stream (by throwing) when reports stop, go stale or become implausible,
// when the speed leaves 1x, or when the device goes away.
//
// Single-threaded: every member is called on the thread that runs the service loop. Times are
// double seconds on the caller's monotonic clock; wall-clock time is Unix milliseconds and is
// used only to judge the age of a report.
//
// step() allocates nothing of its own, and the quarter-frame path through the sink (ready,
// quarter) allocates nothing either. Once every 50 ms, though, step() makes the device check
// through Sink::connected(), and what that costs is the sink's: the WinMM sink enumerates the
// outputs and derives the opened device's identity afresh (a hash) on every check, which
// allocates and takes a little while, by design, so that a re-plugged or replaced device is
// never taken for the one that was opened.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/clock_filter.h"
#include "core/sink.h"

namespace velmarmtc {

// One clock report of the player.
struct Snapshot {
    std::string trackId;    // empty when the host sent null
    bool hasTrack = false;  // the host sent the track id as a string (even empty)
    double position = 0;    // seconds within the track
    bool playing = false;
    double playbackRate = 1.0;
    bool locate = false;      // the host asks for a full frame now
    double sentAtUnixMs = 0;  // wall-clock send time, Unix milliseconds
};

class Engine {
  public:
    // `sink` is not owned and must outlive the engine.
    explicit Engine(Sink* sink);

    // Stops whatever ran, validates the rate and offset, opens the output and arms the
    // engine. Throws on an invalid rate or offset and passes the sink's failures through;
    // in both cases the engine stays stopped.
    //
    // `phaseLock` chooses how quarter frames are timed. Without it (the default) the schedule
    // runs from the step that saw a full frame complete, and each cycle is stamped from the
    // newest report, held on the previous cycle's label plus two frames while the player's
    // clock, filtered, agrees with it. With it, the engine times every cycle's piece 0 to the
    // moment its filtered estimate of the player's clock crosses an even frame boundary, and
    // slews the quarter-frame spacing by at most kLockSlew to stay there.
    void start(const std::string& outputId, double fps, double offset, double now,
               bool phaseLock = false);
    // Disarms the engine and closes the output (always calls the sink's close).
    void stop();
    // Accepts one clock report; throws without changing anything when it is refused.
    void transport(const Snapshot& report, double now, double nowUnixMs);
    // Timer tick: watchdog, device check, full-frame completion and at most one quarter frame.
    void step(double now);
    // Sends a full frame for the extrapolated position and restarts the quarter-frame cycle.
    void locate(double now);

    // Seconds between two quarter frames at the current rate.
    double quarterInterval() const;
    // Output started and not stopped since. The service loop reads it to choose between its
    // timer and waiting for input alone. Any thread that owns the engine; never allocates.
    bool isActive() const { return active; }

    // When step() is next due: while a full frame is in flight, 1 ms from `now` (the sink is
    // polled, nothing signals its completion to the caller); otherwise the next quarter frame.
    // Never later than 1 ms past the clock watchdog (so a silent player is noticed at 0.351 s),
    // the next device check, or 50 ms from `now`. May lie before `now` when a deadline has
    // passed. Meaningful while active. Any thread that owns the engine; never allocates.
    double nextDeadline(double now) const;
    // How long the caller may sleep from `now` before it steps: until nextDeadline(now), but at
    // least kShortestWait, so a deadline already passed costs one short sleep rather than a
    // busy loop.
    double waitBeforeNextStep(double now) const;
    // The shortest sleep waitBeforeNextStep() ever asks for, in seconds.
    static constexpr double kShortestWait = 0.0005;

    // Default mode: a cycle keeps the previous label plus two frames while the filtered clock
    // lies within this many seconds of that label's frame (and the newest report within this
    // and the clock's measured noise of it). The most a label is ever held against the
    // filtered clock.
    static constexpr double kHoldBand = 0.012;
    // Phase lock: a quarter interval differs from the nominal one by at most this fraction.
    static constexpr double kLockSlew = 0.05;

  private:
    // The state. Only the engine's own members change it; the outside sees it through the
    // calls above: what reaches the sink, what is thrown, nextDeadline() and isActive().
    Sink* sink;
    double fps = 25.0;
    double offset = 0;
    double anchorPosition = 0;
    double anchorTime = 0;
    double lastReportAt = 0;
    double nextQuarterAt = 0;
    double nextHealthCheckAt = 0;
    bool active = false;
    bool playing = false;
    bool anchored = false;
    bool hasTrack = false;
    bool fullPending = false;
    std::string trackId;
    uint32_t piece = 0;
    std::array<uint8_t, 8> quarterBytes{};

    // Beyond the state above: the timing mode, the player's clock as filtered from the reports,
    // and the frame count (real frames since 00:00:00:00, not wrapped at 24 h) of the cycle in
    // progress, which the next cycle continues from.
    bool phaseLock = false;
    ClockFilter clock;
    bool haveCycle = false;
    int64_t cycleFrame = 0;

    int64_t nextCycleFrame(double now, double interval) const;
    bool labelHolds(int64_t frame, double newest, double smoothed) const;
    double lockedDue(double due, double interval) const;
};

}  // namespace velmarmtc
