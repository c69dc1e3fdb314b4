// Playback as a receiver on the simulated port sees it: full frames locate, the quarter-frame
// stream follows the player's reported position at every rate, and the service locates exactly
// when the player's clock jumps, stops, resumes, seeks or switches tracks.
//
// These tests run on a shared, noisy machine. When the service is stalled for more than a
// quarter interval it relocates on its own (a late-tick full frame) rather than send a burst;
// that is correct behaviour, so the tests accept such frames, but only genuine ones (after a
// gap on the wire) that carry the player's position.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

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

// A cycle's timecode is the position one quarter interval before its piece 0 went out, rounded
// down to its frame.
void expectCyclesFollowPlayer(const MtcCapture& capture, Player& player, double offset, double fps,
                              double from, double to, size_t minimumCycles) {
    const double interval = quarterInterval(fps);
    size_t checked = 0;
    for (const QuarterCycle& cycle : capture.cycles) {
        if (cycle.firstCallAt < from || cycle.firstCallAt > to) {
            continue;
        }
        const double t = cycle.firstCallAt - interval;
        if (t - player.changedBefore(t) < 0.03) {
            continue;  // the service may not have the change yet
        }
        ++checked;
        const double expected = offset + player.positionAt(t);
        const double difference = dialDifference(secondsOf(cycle.tc), expected);
        EXPECT_LE(difference, 0.002) << formatWithRate(cycle.tc) << " ahead of " << expected;
        EXPECT_GE(difference, -(frameSeconds(cycle.tc.rate) + kDeliverySlack))
            << formatWithRate(cycle.tc) << " behind " << expected;
        EXPECT_FALSE(isDroppedLabel(cycle.tc)) << formatWithRate(cycle.tc);
    }
    EXPECT_GE(checked, minimumCycles);
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
// wrote a report that must locate (or, where `locates` says false, one that must not). In each
// window from one change to the next, the first full frame answers the change; the service
// handles waiting input before it steps, so no late tick can come first. Every other full frame
// in the window must be a genuine late tick with the player's position.
std::vector<std::optional<FullFrame>> locatesAfter(const MtcCapture& capture, Player& player,
                                                   double offset,
                                                   const std::vector<double>& changes,
                                                   const std::vector<bool>& locates) {
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
        if (locates[window] && !answers[window]) {
            answers[window] = frame;
            continue;
        }
        EXPECT_TRUE(frame.lateTick)
            << "an unrequested locate without a stall: " << formatWithRate(frame.tc);
        expectLabelHolds(frame.tc, offset + player.positionAt(frame.message.callAt),
                         kDeliverySlack);
    }
    for (size_t k = 0; k < changes.size(); ++k) {
        EXPECT_EQ(answers[k].has_value(), static_cast<bool>(locates[k])) << "change " << k;
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

// A run's interval as the schedule kept it: how far the median offset from a strict grid moved
// between the run's first and second half, over the n/2 quarter frames between the halves'
// centres. One stalled quarter frame moves neither median; delays that add up move the second.
double scheduledInterval(const std::vector<SentMessage>& run, double interval) {
    const size_t half = run.size() / 2;
    std::vector<double> early, late;
    for (size_t i = 0; i < run.size(); ++i) {
        const double offset =
            run[i].callAt - run.front().callAt - interval * static_cast<double>(i);
        (i < half ? early : late).push_back(offset);
    }
    return interval + (median(late) - median(early)) / (static_cast<double>(run.size()) / 2);
}

// While playing, the stream has no holes: within a run the schedule advances by the interval
// from the previous due time, so delays do not add up (the run keeps the interval to well
// within 1 %) and no gap reaches two intervals (one late by a whole interval relocates); after
// every full frame sent while playing the stream resumes within the frame's wire time, a 1 ms
// poll and one interval; and it goes on until the player stops reporting.
//
// Returns, for every full frame, how long after its last byte left and one interval the stream
// resumed: the service polls the sink every millisecond while a full frame is in flight, so
// across several frames the median is a millisecond or two.
std::vector<double> expectUnbrokenStream(const MtcCapture& capture, Player& player, double interval,
                                         double end) {
    std::vector<double> resumeDelays;
    size_t longestRun = 0;
    for (const std::vector<SentMessage>& run : quarterRuns(capture)) {
        longestRun = std::max(longestRun, run.size());
        if (run.size() >= 20) {
            EXPECT_NEAR(scheduledInterval(run, interval), interval, interval * 0.01);
        }
        for (size_t i = 1; i < run.size(); ++i) {
            EXPECT_LT(run[i].callAt - run[i - 1].callAt, 2 * interval);
        }
    }
    EXPECT_GE(longestRun, 20u);
    for (const FullFrame& frame : capture.fullFrames) {
        if (!player.playingAt(frame.message.callAt)) {
            continue;  // a locate while paused is followed by silence
        }
        const std::vector<SentMessage> next =
            quartersBetween(capture, frame.message.callAt, frame.message.callAt + 1.0);
        if (next.empty()) {
            ADD_FAILURE() << "no quarter frame after " << formatWithRate(frame.tc);
            continue;
        }
        // One late resumption is a loaded machine; the median below judges the polling.
        EXPECT_LT(next.front().callAt - frame.message.wireEnd, interval + 0.060);
        resumeDelays.push_back(next.front().callAt - frame.message.wireEnd - interval);
    }
    EXPECT_FALSE(capture.quarters.empty());
    if (!capture.quarters.empty()) {
        EXPECT_GT(capture.quarters.back().callAt, end - 2 * interval - 0.020);
    }
    EXPECT_TRUE(capture.breaks.empty()) << capture.breaks.front();
    return resumeDelays;
}

// Quarter frames resume about a millisecond after the driver finishes a full frame when the loop
// polls the sink every millisecond; a loop that waited for its next report instead resumes 16 to
// 20 ms late. The bound sits between the two with room for a loaded two-core machine.
constexpr double kPolledResumeBound = 0.010;

struct RateCase {
    const char* what;
    double fps;
    double offset;
    double position;
    Bytes firstFullFrame;  // F0 7F 7F 01 01 hr mn sc fr F7 for offset + position
    int rate;
    // Labels the stream must pass through (hours, minutes, seconds), to show a boundary crossed.
    std::vector<std::array<int, 3>> passes;
};

TEST(Playback, OneFullFrameThenAnUnbrokenQuarterFrameStreamFollowsThePlayerAtEveryRate) {
    const std::vector<RateCase> cases = {
        {"24 fps",
         24,
         0,
         10.02,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x00, 0x00, 0x0A, 0x00, 0xF7},
         0,
         {{0, 0, 10}, {0, 0, 11}}},
        {"25 fps with a one-hour offset",
         25,
         3600,
         90.02,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x1E, 0x00, 0xF7},
         1,
         {{1, 1, 30}, {1, 1, 31}}},
        // 00:00:59;13; the labels ;00 and ;01 of minute 1 must never appear.
        {"29.97 drop-frame across a minute boundary",
         29.97,
         0,
         59.5,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x00, 0x3B, 0x0D, 0xF7},
         2,
         {{0, 0, 59}, {0, 1, 0}}},
        // 23:59:59:15, then across midnight to 00:00:00.
        {"30 fps across midnight",
         30,
         82800,
         3599.51,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x77, 0x3B, 0x3B, 0x0F, 0xF7},
         3,
         {{23, 59, 59}, {0, 0, 0}}},
    };
    const double playFor = 1.2;
    std::vector<double> resumeDelays;
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
        const auto locates = locatesAfter(capture, player, c.offset, {begin}, {true});
        ASSERT_TRUE(locates[0]);
        EXPECT_EQ(locates[0]->message.bytes, c.firstFullFrame);
        EXPECT_TRUE(capture.strays.empty()) << capture.strays.front();
        const double interval = quarterInterval(c.fps);
        for (double delay : expectUnbrokenStream(capture, player, interval, end)) {
            resumeDelays.push_back(delay);
        }
        for (const QuarterCycle& cycle : capture.cycles) {
            EXPECT_EQ(cycle.tc.rate, c.rate) << formatWithRate(cycle.tc);
        }
        expectCyclesFollowPlayer(capture, player, c.offset, c.fps, begin, end,
                                 static_cast<size_t>(0.5 * playFor / (8 * interval)));
        for (const auto& label : c.passes) {
            const bool seen = std::any_of(
                capture.cycles.begin(), capture.cycles.end(), [&](const QuarterCycle& q) {
                    return q.tc.hours == label[0] && q.tc.minutes == label[1] &&
                           q.tc.seconds == label[2];
                });
            EXPECT_TRUE(seen) << "never passed " << label[0] << ":" << label[1] << ":" << label[2];
        }
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
    EXPECT_LT(median(resumeDelays), kPolledResumeBound)
        << "the sink is not polled every millisecond";
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
        locatesAfter(capture, player, 3600, {begin, pausedAt, resumedAt, seekAt, switchAt},
                     {true, true, true, true, true});
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
    std::vector<double> resumeDelays = expectUnbrokenStream(capture, player, 0.01, end);
    EXPECT_LT(median(resumeDelays), kPolledResumeBound)
        << "the sink is not polled every millisecond";
    expectCyclesFollowPlayer(capture, player, 3600, 25, begin, end, 10);
    EXPECT_EQ(host.allLines().size(), 2u) << "nothing but the two replies";
}

enum class Disturbance { ClockJump, ReportGap };

struct DeviationCase {
    const char* what;
    Disturbance kind;
    double amount;  // seconds of clock jump, or of silence
    bool locates;
};

TEST(Playback, ReportsOffByMoreThan60MsOrAfterMoreThan150MsLocateAndSmallerOnesAreAbsorbed) {
    const std::vector<DeviationCase> cases = {
        {"a clock 40 ms ahead is absorbed", Disturbance::ClockJump, 0.04, false},
        {"a clock 40 ms behind is absorbed", Disturbance::ClockJump, -0.04, false},
        {"a clock 80 ms ahead locates", Disturbance::ClockJump, 0.08, true},
        {"a clock 80 ms behind locates", Disturbance::ClockJump, -0.08, true},
        {"reports resuming after 100 ms continue", Disturbance::ReportGap, 0.10, false},
        {"reports resuming after 200 ms locate", Disturbance::ReportGap, 0.20, true},
    };
    for (const DeviationCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceHost host(onPlayerPort());
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 30, 0)), okLine("1"));
        Player player(host);
        const double begin = hostNow();
        player.play("A", 20.0);
        player.startReports(0.02);
        sleepUntil(begin + 0.3);
        double disturbedAt = hostNow();
        if (c.kind == Disturbance::ClockJump) {
            player.shift(c.amount);
        } else {
            player.stopReports();
            sleepUntil(player.lastReportAt() + c.amount);
            disturbedAt = hostNow();
            player.startReports(0.02);
        }
        sleepUntil(hostNow() + 0.3);
        player.stopReports();
        const double end = hostNow();
        EXPECT_EQ(host.request(R"({"id":2,"command":"stop"})"), okLine("2"));

        const MtcCapture capture = captureOf(host);
        const auto locates =
            locatesAfter(capture, player, 0, {begin, disturbedAt}, {true, c.locates});
        if (c.locates && locates[1]) {
            // The full frame for a report carries that report's position exactly.
            expectLabelHolds(locates[1]->tc, player.positionAt(locates[1]->message.callAt),
                             kDeliverySlack);
        }
        EXPECT_TRUE(capture.breaks.empty()) << capture.breaks.front();
        expectCyclesFollowPlayer(capture, player, 0, 30, begin, end, 4);
    }
}

// While a full frame is still on the wire (3.2 ms at 31250 baud), three reports that ask for a
// locate arrive together: the receiver gets the first full frame and the newest one only.
TEST(Playback, RapidLocatesWhileAFullFrameIsOnTheWireDeliverOnlyTheFirstAndTheNewest) {
    const Bytes first = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                         0x21, 0x00, 0x0A, 0x00, 0xF7};  // 01:00:10:00
    const Bytes newest = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                          0x21, 0x01, 0x00, 0x00, 0xF7};  // 01:01:00:00
    // The four lines go out in one write and are handled within microseconds of each other. A
    // machine so loaded that the first frame completed before the others were handled shows as
    // every later frame submitted after the first one's end; the round is then tried again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        ServiceHost host(onPlayerPort());
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 3600)), okLine("1"));
        const double ms = unixMillisNow();
        host.write(transportLine(std::string("A"), 10.0, true, ms) + "\n" +
                   transportLine(std::string("A"), 40.0, true, ms, true) + "\n" +
                   transportLine(std::string("B"), 50.0, true, ms, true) + "\n" +
                   transportLine(std::string("B"), 60.0, false, ms, true) + "\n");
        Sleep(100);
        EXPECT_EQ(host.request(R"({"id":2,"command":"stop"})"), okLine("2"));

        const MtcCapture capture = captureOf(host);
        ASSERT_GE(capture.fullFrames.size(), 2u);
        if (capture.fullFrames.size() > 2) {
            bool allLater = true;
            for (size_t i = 1; i < capture.fullFrames.size(); ++i) {
                allLater = allLater && capture.fullFrames[i].message.callAt >=
                                           capture.fullFrames[0].message.wireEnd;
            }
            ASSERT_TRUE(allLater) << "a locate bypassed the full frame in flight";
            continue;
        }
        EXPECT_EQ(capture.fullFrames[0].message.bytes, first);
        EXPECT_EQ(capture.fullFrames[1].message.bytes, newest);
        EXPECT_GE(capture.fullFrames[1].message.callAt, capture.fullFrames[0].message.wireEnd);
        EXPECT_TRUE(capture.quarters.empty()) << "the newest report is paused";
        EXPECT_EQ(host.allLines().size(), 2u);
        return;
    }
    FAIL() << "the machine was too slow in every attempt";
}

}  // namespace
}  // namespace mtctest
