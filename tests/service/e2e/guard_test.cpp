// The service guarding the stream on its own, between commands: a player that goes silent, a
// device that disappears and a locate the driver never completes each end the output with one
// error event, the port is closed before the host is told, and the next "start" works again.
//
// How soon each guard fires (the watchdog's 350 ms, the device check every 50 ms, the full
// frame's 100 ms) is asserted on the simulated clock (tests/core) and at the driver boundary
// (tests/winmm). Here only the lower bounds stand, which no stall of this machine can break:
// a guard never fires before its time.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace mtctest {
namespace {

// What the recording shows after an error ended the output: the port was closed after
// `failedAfter`, nothing reached the wire after the close, and the close came before the host
// was told.
void expectClosedQuietly(ServiceHost& host, double failedAfter, double toldAt) {
    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    const std::vector<RecordEntry> closes = entriesOf(entries, "midiOutClose");
    ASSERT_FALSE(closes.empty());
    const double closedAt = closes.back().at;
    EXPECT_EQ(closes.back().field("result"), "0");
    EXPECT_GE(closedAt, failedAfter);
    EXPECT_LE(closedAt, toldAt);
    for (const RecordEntry& e : entries) {
        if (e.event == "midiOutShortMsg" || e.event == "midiOutLongMsg") {
            EXPECT_LT(e.at, closedAt) << e.raw;
        }
    }
}

// Starts the output on the player's port, plays track "A" from 5 s with a report every 20 ms,
// runs `meanwhile` once the reports flow, and returns the first line the service writes (at
// most 2 s later). The reports stop before it returns. Nothing when the start is refused.
template <typename Meanwhile>
std::optional<OutputLine> playUntilTheServiceSpeaks(ServiceHost& host, Meanwhile meanwhile) {
    const std::string started = host.request(startLine("1", kPlayerPortId, 25, 0));
    EXPECT_EQ(started, okLine("1"));
    if (started != okLine("1")) {
        return std::nullopt;
    }
    Player player(host);
    player.play("A", 5.0);
    player.startReports(0.02);
    meanwhile();
    const std::optional<OutputLine> event = host.readLine(2.0);
    player.stopReports();
    return event;
}

// After an error the same service must play again on "start".
void expectPlaysAgain(ServiceHost& host, const std::string& startId, double after) {
    ASSERT_EQ(host.request(startLine(startId, kPlayerPortId, 25, 0)), okLine(startId));
    Player player(host);
    player.play("again", 1.0);
    player.startReports(0.02);
    Sleep(150);
    player.stopReports();
    EXPECT_EQ(stopReply(host, "99"), okLine("99"));
    const MtcCapture capture = decodeMtc(parseRecording(host.recording()));
    size_t fullFrames = 0, quarters = 0;
    for (const FullFrame& f : capture.fullFrames) {
        fullFrames += f.message.callAt > after ? 1 : 0;
    }
    for (const SentMessage& q : capture.quarters) {
        quarters += q.callAt > after ? 1 : 0;
    }
    EXPECT_GE(fullFrames, 1u);
    EXPECT_GE(quarters, 8u);
}

enum class Silence { WhilePlaying, WhilePaused, BeforeTheFirstReport };

struct WatchdogCase {
    const char* what;
    Silence when;
};

TEST(Watchdog, ReportsThatStopEndTheOutputWithOneEventNoSoonerThan350MsAfterTheLastOne) {
    const std::vector<WatchdogCase> cases = {
        {"reports stop while playing", Silence::WhilePlaying},
        {"reports stop while paused", Silence::WhilePaused},
        {"no report ever follows the start", Silence::BeforeTheFirstReport},
    };
    for (const WatchdogCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceHost host(onPlayerPort());
        // The watchdog runs from the start, which happened between writing it and its reply.
        double last = host.send(startLine("1", kPlayerPortId, 25, 0));
        const std::optional<OutputLine> started = host.readLine(5.0);
        ASSERT_EQ(started ? started->text : "", okLine("1"));
        if (c.when != Silence::BeforeTheFirstReport) {
            Player player(host);
            player.play("A", 5.0);
            if (c.when == Silence::WhilePaused) {
                player.pause(true);
            }
            player.startReports(0.02);
            Sleep(300);
            player.stopReports();
            last = player.lastReportAt();
        }
        const std::optional<OutputLine> event = host.readLine(2.0);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->text, errorEventLine(kWatchdog));
        EXPECT_GE(event->at - last, 0.35);
        EXPECT_TRUE(host.readLinesFor(0.3).empty()) << "exactly one event, then silence";
        expectClosedQuietly(host, last + 0.35, event->at);
        expectPlaysAgain(host, "3", event->at);
        EXPECT_EQ(host.standardError(), "");
    }
}

TEST(DeviceGuard, ADeviceUnpluggedWhilePlayingEndsTheOutputWithOneEvent) {
    ServiceHost host(onPlayerPort("port name=\"Other\" path=\"sim#other\"\n"));
    const std::optional<OutputLine> event = playUntilTheServiceSpeaks(host, [&host] {
        Sleep(200);
        host.control("fault detach port=0");
    });
    ASSERT_TRUE(event);
    EXPECT_EQ(event->text, errorEventLine(kDetached));

    const std::vector<RecordEntry> fired = entriesOf(parseRecording(host.recording()), "fired");
    ASSERT_EQ(fired.size(), 1u);
    expectClosedQuietly(host, fired[0].at, event->at);
    // Reports that were already on their way find the output stopped; nothing else comes.
    for (const OutputLine& line : host.readLinesFor(0.2)) {
        EXPECT_EQ(line.text, errorEventLine(kNotActive));
    }
    // The port has left the device list: starting it again says so, and the rest still works.
    EXPECT_EQ(host.request(startLine("2", kPlayerPortId, 25, 0)), failureLine("2", kPortGone));
    EXPECT_EQ(
        host.request(R"({"id":3,"command":"list"})"),
        R"({"id":3,"ok":true,"outputs":[{"id":"winmm:)"
        R"(6e8f1e909b2e03b1c71822e7f0141963661a823b030701e9ba7cf5fadb46492d","name":"Other"}]})");
    EXPECT_EQ(host.standardError(), "");
}

// The driver never completes the first full frame: after 0.1 s the service gives up, resets the
// port (ending the stuck message with an end-of-exclusive byte), closes it and says why.
TEST(DeviceGuard, AFullFrameTheDriverNeverCompletesTimesOutAndThePortIsReset) {
    ServiceHost host(onPlayerPort("fault stuck port=0 times=1\n"));
    const std::optional<OutputLine> event = playUntilTheServiceSpeaks(host, [] {});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->text, errorEventLine(kLocateTimeout));

    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    const std::vector<RecordEntry> longs = entriesOf(entries, "midiOutLongMsg");
    const std::vector<RecordEntry> resets = entriesOf(entries, "midiOutReset");
    ASSERT_EQ(longs.size(), 2u);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(longs[1].field("bytes"), "F7");
    const double stuckAt = longs[0].at;
    // The time-out is 0.1 s; the close waits 12 ms for the message before it resets the port.
    EXPECT_GE(resets[0].at - stuckAt, 0.1 + 0.012);
    EXPECT_LT(longs[1].at, event->at);
    expectClosedQuietly(host, resets[0].at, event->at);
    for (const OutputLine& line : host.readLinesFor(0.2)) {
        EXPECT_EQ(line.text, errorEventLine(kNotActive));
    }
    expectPlaysAgain(host, "2", event->at);
    EXPECT_EQ(host.standardError(), "");
}

}  // namespace
}  // namespace mtctest
