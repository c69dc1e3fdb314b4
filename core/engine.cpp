// The transport engine. Every member runs on the service's main thread (or the self test's
// thread); nothing here blocks. start and transport may allocate (the sink's open, the stored
// track id); step and locate allocate nothing, so the quarter-frame path stays allocation-free.
#include "core/engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/stamp.h"

namespace velmarmtc {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

// Reports older than this many milliseconds (by the host's send stamp) are refused.
constexpr double kMaxReportAgeMs = 250.0;
// Reports stamped further ahead of our wall clock than this are refused (clock skew allowance).
constexpr double kMaxReportLeadMs = 1000.0;
// Seven days: the longest position a player report may carry.
constexpr double kMaxPosition = 604800.0;
constexpr double kMaxPlaybackRate = 16.0;
constexpr size_t kMaxTrackIdBytes = 2048;
// Playing at a rate this far from 1 (or further) is refused: MTC has no notion of speed.
constexpr double kSpeedTolerance = 0.001;

// A prediction error up to this many seconds is absorbed by re-anchoring, without a full frame.
constexpr double kLocateTolerance = 0.06;
// A report that follows the previous one after more than this always gets a full frame.
constexpr double kReportGapForLocate = 0.15;
// No accepted report for longer than this stops the output.
constexpr double kWatchdog = 0.35;
constexpr double kHealthCheckInterval = 0.05;
// Timer wake-ups a nanosecond early still count as on time.
constexpr double kDueTolerance = 1e-9;
// While a full frame is in flight the sink is polled this often.
constexpr double kFullFramePoll = 0.001;
// The wake that finds the watchdog's limit passed: 1 ms after it, written out rather than
// summed so that the deadline is exactly lastReportAt + 0.351.
constexpr double kWatchdogWake = 0.351;
// The longest sleep while output is active.
constexpr double kLongestWait = 0.05;
// A player whose reports stray from its filtered clock by less than this is taken as exact (the
// service's own reading of the clocks varies by some microseconds).
constexpr double kQuietClock = 0.001;

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

// The frame that holds `seconds` of timecode, counted from 00:00:00:00 without the wrap at 24 h
// (the engine's positions are at most seven days and a day of offset, far inside an int64).
// The count stamp() takes for the same seconds, before its wrap.
int64_t frameOf(double seconds, double rate) {
    return static_cast<int64_t>(std::floor(std::max(seconds, 0.0) * frameClock(rate) + 1e-7));
}

}  // namespace

Engine::Engine(Sink* output) : sink(output) {}

double Engine::quarterInterval() const {
    // At 29.97 the frame clock is 30000/1001 Hz, so a quarter frame lasts 1001/120000 s.
    return fps == 29.97 ? 1001.0 / 120000.0 : 1.0 / (fps * 4.0);
}

double Engine::nextDeadline(double now) const {
    double due = fullPending ? now + kFullFramePoll : nextQuarterAt;
    due = std::min(due, lastReportAt + kWatchdogWake);
    due = std::min(due, nextHealthCheckAt);
    return std::min(due, now + kLongestWait);
}

double Engine::waitBeforeNextStep(double now) const {
    return std::max(nextDeadline(now) - now, kShortestWait);
}

void Engine::stop() {
    active = false;
    playing = false;
    anchored = false;
    hasTrack = false;
    fullPending = false;
    trackId.clear();
    piece = 0;
    nextQuarterAt = kNever;
    sink->close();
}

void Engine::start(const std::string& outputId, double newFps, double newOffset, double now,
                   bool lockPhase) {
    stop();
    const bool knownRate = newFps == 30 || newFps == 29.97 || newFps == 24 || newFps == 25;
    // -0 is not below 0, so it passes as it should.
    const bool validOffset = std::isfinite(newOffset) && !(newOffset < 0) && newOffset < 86400;
    if (!knownRate || !validOffset) {
        fail("无效的时间码帧率或起始时间。");
    }
    sink->open(outputId);
    fps = newFps;
    offset = newOffset;
    phaseLock = lockPhase;
    clock.clear();
    haveCycle = false;
    lastReportAt = now;
    nextHealthCheckAt = now + kHealthCheckInterval;
    active = true;
}

void Engine::transport(const Snapshot& report, double now, double nowUnixMs) {
    if (!active) {
        fail("MTC 输出未启用。");
    }
    const double age = nowUnixMs - report.sentAtUnixMs;
    if (!std::isfinite(report.sentAtUnixMs) || age > kMaxReportAgeMs || age < -kMaxReportLeadMs) {
        fail("播放器时钟消息已过期，MTC 输出已关闭。请重新启用。");
    }
    const bool badPosition =
        !std::isfinite(report.position) || report.position < 0 || report.position > kMaxPosition;
    const bool badRate = !std::isfinite(report.playbackRate) || !(report.playbackRate > 0) ||
                         report.playbackRate > kMaxPlaybackRate;
    const bool badTrack =
        report.trackId.size() > kMaxTrackIdBytes || (report.hasTrack && report.trackId.empty());
    if (badPosition || badRate || badTrack) {
        fail("播放器时间码位置无效，MTC 输出已关闭。");
    }
    if (report.playing && std::fabs(report.playbackRate - 1) >= kSpeedTolerance) {
        fail("时间码输出暂支持 1× 正向播放；速度改变后已关闭输出。");
    }

    // A playing report without a track counts as paused: there is nothing to run the clock on.
    const bool running = report.playing && report.hasTrack;
    bool needLocate = !anchored || report.locate || report.trackId != trackId ||
                      report.hasTrack != hasTrack || running != playing ||
                      now - anchorTime > kReportGapForLocate;
    if (!needLocate) {
        const double predicted = anchorPosition + (playing ? now - anchorTime : 0.0);
        needLocate = std::fabs(report.position - predicted) > kLocateTolerance;
    }

    trackId = report.trackId;
    hasTrack = report.hasTrack;
    anchorPosition = report.position;
    anchorTime = now;
    lastReportAt = now;
    playing = running;
    anchored = true;

    // A locate gives the player's clock a new origin; a paused player has no clock to follow.
    if (needLocate || !running) {
        clock.restart();
    }
    if (running) {
        // How long the report travelled, up to a constant: the host's send stamp against our
        // monotonic clock, which reads finer than the wall clock (whose ticks may be 15.6 ms)
        // and differs from it only by an offset the filter cancels.
        clock.add(now, report.position, now * 1000.0 - report.sentAtUnixMs);
    }

    if (needLocate) {
        locate(now);
    }
}

void Engine::locate(double now) {
    piece = 0;
    haveCycle = false;
    nextQuarterAt = kNever;
    sink->clearPending();
    const double elapsed = playing ? std::max(now - anchorTime, 0.0) : 0.0;
    const double position = offset + (anchorPosition + elapsed);
    const std::array<uint8_t, 10> message = stamp(position, fps).fullFrame();
    sink->full(message);
    fullPending = true;
}

void Engine::step(double now) {
    if (!active) {
        return;
    }
    if (now - lastReportAt > kWatchdog) {
        fail("播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。");
    }
    if (now >= nextHealthCheckAt) {
        nextHealthCheckAt = now + kHealthCheckInterval;
        if (!sink->connected()) {
            fail("MTC 输出设备已断开，时间码输出已关闭。");
        }
    }
    // ready() also starts sending a held full frame once the one in flight has completed.
    if (!sink->ready()) {
        return;
    }
    const double interval = quarterInterval();
    if (fullPending) {
        // The receiver has its position: quarter frames resume one interval from here.
        fullPending = false;
        if (playing) {
            nextQuarterAt = now + interval;
            if (phaseLock) {
                // The first cycle waits for the first even frame boundary of the player's clock
                // at least one interval from here.
                const double fc = frameClock(fps);
                const double frames = (clock.positionAt(nextQuarterAt) + offset) * fc;
                const int64_t first = 2 * static_cast<int64_t>(std::ceil(frames / 2 - 1e-9));
                nextQuarterAt += (static_cast<double>(first) - frames) / fc;
                cycleFrame = first - 2;
            }
        }
        return;
    }
    if (!playing || nextQuarterAt > now + kDueTolerance) {
        return;
    }
    if (now > nextQuarterAt + interval) {
        // More than one interval behind: a burst of stale quarter frames would only confuse the
        // receiver, so tell it the position afresh.
        locate(now);
        return;
    }
    if (piece == 0) {
        cycleFrame = nextCycleFrame(now, interval);
        haveCycle = true;
        quarterBytes = stampOfCount(cycleFrame, fps).quarters();
    }
    sink->quarter(quarterBytes[piece]);
    piece = (piece + 1) % 8;
    // Advance from the due time, not from now, so a slightly late tick keeps the phase.
    nextQuarterAt = phaseLock ? lockedDue(nextQuarterAt, interval) : nextQuarterAt + interval;
}

int64_t Engine::nextCycleFrame(double now, double interval) const {
    if (phaseLock) {
        return cycleFrame + 2;  // the schedule keeps the cycle on its frame
    }
    // Each 8-piece cycle carries the position one interval before its piece 0 goes out.
    const double raw = ((std::max(now - anchorTime, 0.0) + anchorPosition) + offset) - interval;
    const int64_t fresh = frameOf(raw, fps);
    if (clock.empty()) {
        return fresh;
    }
    const double newest = clock.newestPositionAt(now) + offset - interval;
    if (!haveCycle) {
        // The first cycle after a locate: from the newest report with its time in the pipe
        // taken back (the same position when it came at once), so that a locate's report held
        // up in the pipe does not start the cycles a frame late and the next one step.
        return frameOf(newest, fps);
    }
    if (fresh == cycleFrame + 2) {
        return fresh;
    }
    // The newest report puts the cycle elsewhere than two frames on. A noisy clock does that
    // near a frame boundary without the player having moved: keep the count going while the
    // filtered clock agrees.
    const double smoothed = clock.positionAt(now) + offset - interval;
    return labelHolds(cycleFrame + 2, newest, smoothed) ? cycleFrame + 2 : fresh;
}

bool Engine::labelHolds(int64_t frame, double newest, double smoothed) const {
    const double fc = frameClock(fps);
    // Seconds from `seconds` of timecode to the nearest edge of the frame, 0 inside it.
    auto outside = [&](double seconds) {
        const double frames = seconds * fc + 1e-7 - static_cast<double>(frame);
        return frames < 0 ? -frames / fc : frames >= 1 ? (frames - 1) / fc : 0.0;
    };
    // A clock whose reports follow it exactly has no noise to speak of: its newest report, with
    // the time it spent in the pipe taken back, is then the truth, and the label follows it
    // (the report as it arrived would put the label a frame back whenever the pipe was slow
    // near a frame boundary).
    const double noise = clock.noise();
    if (noise <= kQuietClock) {
        return outside(newest) == 0.0;
    }
    return outside(smoothed) <= kHoldBand && outside(newest) <= kHoldBand + noise;
}

double Engine::lockedDue(double due, double interval) const {
    // Where the next piece belongs on the filtered clock: piece k of the cycle at frame n is
    // due when the clock reaches n + k/4 frames (the piece after 7 is the next cycle's 0).
    const double frames = static_cast<double>(cycleFrame) + static_cast<double>(piece) / 4.0 +
                          (piece == 0 ? 2.0 : 0.0);
    const double target = clock.timeAt(frames / frameClock(fps) - offset);
    const double shortest = due + interval * (1 - kLockSlew);
    const double longest = due + interval * (1 + kLockSlew);
    return std::min(std::max(target, shortest), longest);
}

}  // namespace velmarmtc
