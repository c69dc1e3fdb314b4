// Playback as a receiver on the simulated port sees it, one show per frame rate and one with
// the player's requests: full frames locate, the quarter-frame stream follows the player's
// reported position, and pause, resume, seek and a track switch each send a full frame.
//
// What the engine decides from time (the locate thresholds, the watchdog, the schedule, the
// late tick, coalescing) is asserted on the simulated clock (tests/core) and at the driver
// boundary (tests/winmm); here it would only be asserted again through a shared, noisy machine's
// timing. So these tests judge what only a running process shows: the wire's bytes and shape,
// the labels a receiver reads, the lines and the port's life.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "check/follow.h"
#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace mtctest {
namespace {

using Bytes = std::vector<uint8_t>;

double quarterInterval(double fps) {
    return fps == 29.97 ? 1001.0 / 120000.0 : 1.0 / (fps * 4.0);
}

// Seconds from `a` to `b` on a 24-hour dial, in (-12 h, 12 h].
double dialDifference(double b, double a) {
    double d = std::fmod(b - a, 86400.0);
    if (d > 43200.0) {
        d -= 86400.0;
    } else if (d <= -43200.0) {
        d += 86400.0;
    }
    return d;
}

// How far the service may run behind the player: it anchors each report on arrival, so it lags
// by the report's delivery time, which a loaded machine stretches to tens of milliseconds.
constexpr double kDeliverySlack = 0.025;

// When a cycle's last piece has arrived the receiver shows its label plus two frames; the label
// names the frame the player was in one quarter interval before piece 0 went out, so the
// receiver is then up to a frame behind the player, plus the report's delivery and the last
// piece's 0.64 ms on the wire, and never ahead (2 ms for the clocks' reading). Cycles within
// 30 ms of a change the service may not have yet are left alone; the judge (check/follow.h)
// lets a cycle whose last piece a stall held back lag by as much more.
void expectCyclesFollowPlayer(const MtcCapture& capture, Player& player, double offset, double fps,
                              double from, double to, size_t minimumCycles) {
    const int rate = mtccheck::rateCodeOf(fps);
    const mtccheck::FollowBounds bounds{0.002, frameSeconds(rate) + kDeliverySlack + 0.00064, 0.03};
    const mtccheck::FollowVerdict verdict =
        mtccheck::judgeCycles(capture.readings, player.history(), offset, rate, bounds, from, to);
    EXPECT_EQ(verdict.outside, 0u) << "first: " << verdict.firstOutside;
    EXPECT_GE(verdict.cycles.size(), minimumCycles);
    for (const QuarterCycle& cycle : capture.cycles) {
        EXPECT_FALSE(isDroppedLabel(cycle.tc)) << formatWithRate(cycle.tc);
    }
}

// A full frame's label must be the frame that holds `seconds`; `slack` allows for a position
// taken a little after the report was written.
void expectLabelHolds(const Timecode& tc, double seconds, double slack = 0) {
    const double difference = dialDifference(secondsOf(tc), seconds);
    EXPECT_LE(difference, 1e-6) << formatWithRate(tc) << " for " << seconds;
    EXPECT_GT(difference, -(frameSeconds(tc.rate) + slack))
        << formatWithRate(tc) << " for " << seconds;
}

MtcCapture captureOf(ServiceHost& host) {
    return decodeMtc(parseRecording(host.recording()));
}

std::vector<SentMessage> quartersBetween(const MtcCapture& capture, double from, double to) {
    std::vector<SentMessage> out;
    for (const SentMessage& q : capture.quarters) {
        if (q.callAt >= from && q.callAt <= to) {
            out.push_back(q);
        }
    }
    return out;
}

// The locates that answer the player's changes. `changes` are the times at which the player
// wrote a report that must locate. In each window from one change to the next, the first full
// frame answers the change; the service handles waiting input before it steps, so nothing of
// its own can come first. Any other full frame in the window is one the service sent on its
// own, which a stall of this machine causes (a late tick, a gap in the reports); whether it
// should have is the engine's rule, asserted on the simulated clock, so here it must only carry
// the player's position.
std::vector<std::optional<FullFrame>> locatesAfter(const MtcCapture& capture, Player& player,
                                                   double offset,
                                                   const std::vector<double>& changes) {
    std::vector<std::optional<FullFrame>> answers(changes.size());
    for (const FullFrame& frame : capture.fullFrames) {
        size_t window = changes.size();
        for (size_t k = 0; k < changes.size(); ++k) {
            window = frame.message.callAt >= changes[k] ? k : window;
        }
        if (window == changes.size()) {
            ADD_FAILURE() << "a full frame before the first report: " << formatWithRate(frame.tc);
            continue;
        }
        if (!answers[window]) {
            answers[window] = frame;
            continue;
        }
        expectLabelHolds(frame.tc, offset + player.positionAt(frame.message.callAt),
                         kDeliverySlack);
    }
    for (size_t k = 0; k < changes.size(); ++k) {
        EXPECT_TRUE(answers[k].has_value()) << "change " << k;
    }
    return answers;
}

// Quarter frames split at every full frame.
std::vector<std::vector<SentMessage>> quarterRuns(const MtcCapture& capture) {
    std::vector<std::vector<SentMessage>> runs(1);
    for (const SentMessage& m : capture.messages) {
        if (m.bytes.size() == 2 && m.bytes[0] == 0xF1) {
            runs.back().push_back(m);
        } else if (!runs.back().empty()) {
            runs.emplace_back();
        }
    }
    return runs;
}

// While playing, quarter frames flow: a run of at least 20 without a full frame between them,
// and after every full frame sent while playing the stream resumes; the receiver saw no break
// in the wire.
void expectStreamResumes(const MtcCapture& capture, Player& player) {
    size_t longestRun = 0;
    for (const std::vector<SentMessage>& run : quarterRuns(capture)) {
        longestRun = std::max(longestRun, run.size());
    }
    EXPECT_GE(longestRun, 20u);
    for (const FullFrame& frame : capture.fullFrames) {
        if (!player.playingAt(frame.message.callAt)) {
            continue;  // a locate while paused is followed by silence
        }
        EXPECT_FALSE(
            quartersBetween(capture, frame.message.callAt, frame.message.callAt + 1.0).empty())
            << "no quarter frame after " << formatWithRate(frame.tc);
    }
    EXPECT_TRUE(capture.breaks.empty()) << capture.breaks.front();
}

struct RateCase {
    const char* what;
    double fps;
    double offset;
    double position;
    Bytes firstTime;  // hr mn sc fr of the first full frame, F0 7F 7F 01 01 hr mn sc fr F7
    int rate;
    // A label past a boundary (hours, minutes, seconds): the first full frame shows where the
    // stream starts, reaching this label shows that it crossed the boundary.
    std::array<int, 3> passes;
};

TEST(Playback, OneFullFrameThenAnUnbrokenQuarterFrameStreamFollowsThePlayerAtEveryRate) {
    // 29.97 starts at 00:00:59;13, and the labels ;00 and ;01 of minute 1 must never appear; 30
    // starts at 23:59:59:15 and crosses midnight.
    const std::vector<RateCase> cases = {
        {"24 fps", 24, 0, 10.02, {0x00, 0x00, 0x0A, 0x00}, 0, {0, 0, 11}},
        {"25 fps, 1 h offset", 25, 3600, 90.02, {0x21, 0x01, 0x1E, 0x00}, 1, {1, 1, 31}},
        {"29.97 drop-frame", 29.97, 0, 59.5, {0x40, 0x00, 0x3B, 0x0D}, 2, {0, 1, 0}},
        {"30 fps past midnight", 30, 82800, 3599.51, {0x77, 0x3B, 0x3B, 0x0F}, 3, {0, 0, 0}},
    };
    const double playFor = 1.2;
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceHost host(onPlayerPort());
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, c.fps, c.offset)), okLine("1"));
        Player player(host);
        const double begin = hostNow();
        player.play("track", c.position);
        player.startReports(0.02);
        sleepUntil(begin + playFor);
        player.stopReports();
        const double end = hostNow();
        EXPECT_EQ(host.request(R"({"id":2,"command":"stop"})"), okLine("2"));

        const MtcCapture capture = captureOf(host);
        const auto locates = locatesAfter(capture, player, c.offset, {begin});
        ASSERT_TRUE(locates[0]);
        Bytes firstFullFrame = {0xF0, 0x7F, 0x7F, 0x01, 0x01};
        firstFullFrame.insert(firstFullFrame.end(), c.firstTime.begin(), c.firstTime.end());
        firstFullFrame.push_back(0xF7);
        EXPECT_EQ(locates[0]->message.bytes, firstFullFrame);
        EXPECT_TRUE(capture.strays.empty()) << capture.strays.front();
        const double interval = quarterInterval(c.fps);
        expectStreamResumes(capture, player);
        for (const QuarterCycle& cycle : capture.cycles) {
            EXPECT_EQ(cycle.tc.rate, c.rate) << formatWithRate(cycle.tc);
        }
        expectCyclesFollowPlayer(capture, player, c.offset, c.fps, begin, end,
                                 static_cast<size_t>(0.5 * playFor / (8 * interval)));
        const std::array<int, 3>& label = c.passes;
        const bool seen =
            std::any_of(capture.cycles.begin(), capture.cycles.end(), [&](const QuarterCycle& q) {
                return q.tc.hours == label[0] && q.tc.minutes == label[1] &&
                       q.tc.seconds == label[2];
            });
        EXPECT_TRUE(seen) << "never passed " << label[0] << ":" << label[1] << ":" << label[2];
        // After the stop the port is closed and quiet.
        const std::vector<RecordEntry> entries = parseRecording(host.recording());
        const std::vector<RecordEntry> closes = entriesOf(entries, "midiOutClose");
        ASSERT_EQ(closes.size(), 1u);
        // Wine offers the high-resolution timer, so the system timer resolution stays as it is.
        EXPECT_TRUE(entriesOf(entries, "timeBeginPeriod").empty());
        EXPECT_TRUE(entriesOf(entries, "timeEndPeriod").empty());
        EXPECT_LT(capture.quarters.back().callAt, closes[0].at);
        EXPECT_EQ(host.allLines().size(), 2u) << "nothing but the two replies";
    }
}

TEST(Playback, PauseResumeSeekAndTrackSwitchEachSendOneFullFrameWithThePlayersPosition) {
    ServiceHost host(onPlayerPort());
    ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 3600)), okLine("1"));
    Player player(host);
    const double begin = hostNow();
    player.play("A", 10.0);
    player.startReports(0.02);
    sleepUntil(begin + 0.4);
    const double pausedAt = hostNow();
    player.pause(true);
    sleepUntil(pausedAt + 0.3);
    const double resumedAt = hostNow();
    player.resume();
    sleepUntil(resumedAt + 0.4);
    const double seekAt = hostNow();
    player.seek(90.0);
    sleepUntil(seekAt + 0.4);
    const double switchAt = hostNow();
    player.play("B", 2.0);
    sleepUntil(switchAt + 0.4);
    player.stopReports();
    const double end = hostNow();
    EXPECT_EQ(host.request(R"({"id":2,"command":"stop"})"), okLine("2"));

    const MtcCapture capture = captureOf(host);
    const auto locates =
        locatesAfter(capture, player, 3600, {begin, pausedAt, resumedAt, seekAt, switchAt});
    for (const auto& locate : locates) {
        ASSERT_TRUE(locate);
    }
    const Bytes first = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                         0x21, 0x00, 0x0A, 0x00, 0xF7};                               // 01:00:10:00
    const Bytes seek = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x1E, 0x00, 0xF7};  // 01:01:30:00
    const Bytes trackB = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                          0x21, 0x00, 0x02, 0x00, 0xF7};  // 01:00:02:00
    EXPECT_EQ(locates[0]->message.bytes, first);
    expectLabelHolds(locates[1]->tc, 3600 + player.positionAt(pausedAt));
    EXPECT_EQ(locates[2]->message.bytes, locates[1]->message.bytes)
        << "resuming locates where the pause left off";
    EXPECT_EQ(locates[3]->message.bytes, seek);
    EXPECT_EQ(locates[4]->message.bytes, trackB);

    EXPECT_TRUE(
        quartersBetween(capture, locates[1]->message.callAt, locates[2]->message.callAt).empty())
        << "no quarter frame while paused";
    for (size_t i : {0u, 2u, 3u, 4u}) {
        const double from = locates[i]->message.callAt;
        const double to = i == 4 ? end : locates[i + 1]->message.callAt;
        EXPECT_GE(quartersBetween(capture, from, to).size(), 20u) << "after locate " << i;
    }
    expectStreamResumes(capture, player);
    expectCyclesFollowPlayer(capture, player, 3600, 25, begin, end, 10);
    EXPECT_EQ(host.allLines().size(), 2u) << "nothing but the two replies";
}

}  // namespace
}  // namespace mtctest
