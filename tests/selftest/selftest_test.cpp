#include "selftest/selftest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/kit/thrown.h"

namespace velmarmtc {
namespace selftest {
namespace {

using Bytes = std::vector<uint8_t>;

const std::array<uint8_t, 10> kFirst = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0xF7};
const std::array<uint8_t, 10> kSecond = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                                         0x21, 0x00, 0x00, 0x01, 0xF7};
const std::array<uint8_t, 10> kThird = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x02, 0xF7};

Bytes bytesOf(const std::array<uint8_t, 10>& frame) {
    return Bytes(frame.begin(), frame.end());
}

template <typename Action>
std::string messageOf(Action&& action) {
    return mtctest::thrownMessage(action, "(nothing thrown)");
}

TEST(SelfTest, RunsEveryScenarioAgainstTheProductionEngineAndReports43Checks) {
    EXPECT_EQ(run(), 43);
}

TEST(SelfTest, AFullFrameWithNoDurationCompletesAtTheInstantItIsSent) {
    Capture capture;
    capture.now = 1.5;
    capture.full(kFirst);
    ASSERT_EQ(capture.packets.size(), 1u);
    EXPECT_EQ(capture.packets[0].time, 1.5);
    EXPECT_EQ(capture.packets[0].bytes, bytesOf(kFirst));
    EXPECT_TRUE(capture.ready());
    capture.quarter(0x25);
    ASSERT_EQ(capture.packets.size(), 2u);
    EXPECT_EQ(capture.packets[1].bytes, (Bytes{0xF1, 0x25}));
}

TEST(SelfTest, AHeldFrameIsReplacedNotAppendedSoThreeFramesInOneTransferMakeTwoPackets) {
    Capture capture;
    capture.fullDuration = 0.03;
    capture.full(kFirst);
    capture.now = 0.001;
    capture.full(kSecond);
    capture.now = 0.002;
    capture.full(kThird);

    capture.now = 0.029;
    EXPECT_FALSE(capture.ready()) << "the first frame is still in flight";
    ASSERT_EQ(capture.packets.size(), 1u);

    capture.now = 0.03;
    EXPECT_FALSE(capture.ready()) << "completion starts the held frame";
    ASSERT_EQ(capture.packets.size(), 2u);
    EXPECT_EQ(capture.packets[1].bytes, bytesOf(kThird));
    EXPECT_EQ(capture.packets[1].time, 0.03);
    EXPECT_EQ(capture.busyUntil, 0.03 + 0.03);

    capture.now = 0.06;
    EXPECT_TRUE(capture.ready());
    EXPECT_EQ(capture.packets.size(), 2u);
}

TEST(SelfTest, AQuarterFrameWhileAFullFrameIsInFlightIsAnEngineFault) {
    EXPECT_EQ(messageOf([] {
                  Capture capture;
                  capture.fullDuration = 0.01;
                  capture.full(kFirst);
                  capture.quarter(0x00);
              }),
              "quarter interleaved pending locate");
    EXPECT_EQ(messageOf([] {
                  // Still busy at the completion instant until ready() has seen it complete.
                  Capture capture;
                  capture.fullDuration = 0.01;
                  capture.full(kFirst);
                  capture.now = 0.01;
                  capture.quarter(0x00);
              }),
              "quarter interleaved pending locate");
}

TEST(SelfTest, ClearPendingDropsTheHeldFrameAndReleasesOnlyACompletedTransfer) {
    Capture capture;
    capture.fullDuration = 0.02;
    capture.full(kFirst);
    capture.full(kSecond);

    capture.now = 0.01;
    capture.clearPending();
    EXPECT_EQ(capture.clears, 1);
    EXPECT_FALSE(capture.queued.has_value());
    EXPECT_TRUE(capture.busy) << "a transfer in flight is never aborted";

    capture.now = 0.02;
    capture.clearPending();
    EXPECT_EQ(capture.clears, 2);
    EXPECT_FALSE(capture.busy);
    EXPECT_TRUE(capture.ready());
    EXPECT_EQ(capture.packets.size(), 1u) << "the dropped frame was never sent";
}

TEST(SelfTest, CloseDropsEverythingAndConnectedReportsTheSimulatedDevice) {
    Capture capture;
    capture.open("any id");
    EXPECT_TRUE(capture.opened);
    EXPECT_TRUE(capture.connected());
    capture.attached = false;
    EXPECT_FALSE(capture.connected());

    capture.fullDuration = 1;
    capture.full(kFirst);
    capture.full(kSecond);
    capture.close();
    EXPECT_FALSE(capture.opened);
    EXPECT_FALSE(capture.busy);
    EXPECT_FALSE(capture.queued.has_value());
    EXPECT_TRUE(capture.ready());
    EXPECT_EQ(capture.packets.size(), 1u);
}

TEST(SelfTest, AReportIsExactlyFreshAndCarriesATrackOnlyWhenItHasAnId) {
    const Snapshot withTrack = value(12.5, true, "A", true, 2.25);
    EXPECT_EQ(withTrack.trackId, "A");
    EXPECT_TRUE(withTrack.hasTrack);
    EXPECT_EQ(withTrack.position, 12.5);
    EXPECT_TRUE(withTrack.playing);
    EXPECT_EQ(withTrack.playbackRate, 1.0);
    EXPECT_TRUE(withTrack.locate);
    EXPECT_EQ(withTrack.sentAtUnixMs, 2250.0);

    const Snapshot noTrack = value(0, false, "", false, 0);
    EXPECT_FALSE(noTrack.hasTrack);
    EXPECT_FALSE(noTrack.locate);
}

// Started at time 0: the watchdog runs from then, and the first report's full frame carries
// the offset, 01:00:00;00 at 29.97.
TEST(SelfTest, AFreshRigIsStartedAtTheRequestedRateWithOffset3600) {
    Rig rig(29.97);
    EXPECT_TRUE(rig.engine.isActive());
    EXPECT_TRUE(rig.capture.opened);
    EXPECT_EQ(rig.engine.quarterInterval(), 1001.0 / 120000.0);
    EXPECT_TRUE(rig.capture.packets.empty());
    rig.engine.step(0.35);
    EXPECT_EQ(messageOf([&] { rig.engine.step(0.351); }),
              "播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。");

    Rig reported(29.97);
    reported.send(0, false, "A", false);
    ASSERT_EQ(reported.capture.packets.size(), 1u);
    EXPECT_EQ(reported.capture.packets[0].bytes,
              (Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x41, 0x00, 0x00, 0x00, 0xF7}));
}

TEST(SelfTest, TheSimulatedPlayerReportsEvery20MsWhileTheTimerTicksEveryMillisecond) {
    Rig rig;
    rig.run(0.1, 10, 0);
    EXPECT_NEAR(rig.capture.now, 0.1, 1e-9);
    ASSERT_FALSE(rig.capture.packets.empty());
    EXPECT_NEAR(rig.capture.packets[0].time, 0.02, 1e-9) << "the first report locates";
    EXPECT_EQ(rig.capture.packets[0].bytes[0], 0xF0);
    // Reports at 20, 40, 60, 80 and 100 ms, the position following the clock: the one at 100 ms
    // is the anchor, playing track "A", so the same report again asks for nothing, and a locate
    // sends its position, 3610.1 s (01:00:10:02).
    const size_t packets = rig.capture.packets.size();
    const int32_t clears = rig.capture.clears;
    rig.send(10.1, true, "A", false);
    EXPECT_EQ(rig.capture.clears, clears);
    rig.engine.locate(rig.capture.now);
    ASSERT_EQ(rig.capture.packets.size(), packets + 1);
    EXPECT_EQ(rig.capture.packets.back().bytes,
              (Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0A, 0x02, 0xF7}));
}

TEST(SelfTest, RequireThrowsItsMessageOnlyWhenTheConditionIsFalse) {
    EXPECT_NO_THROW(require(true, "unused"));
    EXPECT_EQ(messageOf([] { require(false, "pause leaked quarter"); }), "pause leaked quarter");
}

// The verdict lines exactly as the host reads them.
struct VerdictCase {
    const char* name;
    int32_t (*body)();
    const char* line;
    int exitCode;
};

const VerdictCase kVerdicts[] = {
    {"a passing run", [] { return run(); },
     "{\"passed\":true,\"checks\":43,\"scope\":\"Production engine with simulated driver only; "
     "no physical MIDI selected\"}",
     0},
    {"a failed check",
     []() -> int32_t {
         require(false, "pause leaked quarter");
         return 43;
     },
     "{\"passed\":false,\"error\":\"pause leaked quarter\"}", 1},
    {"an engine failure",
     []() -> int32_t {
         Rig rig(29.970001);
         return 43;
     },
     "{\"passed\":false,\"error\":\"无效的时间码帧率或起始时间。\"}", 1},
    {"a message that needs escaping", []() -> int32_t { throw std::runtime_error("a \"b\"\n\\"); },
     "{\"passed\":false,\"error\":\"a \\\"b\\\"\\u000a\\\\\"}", 1},
    {"a count the run returned", []() -> int32_t { return 7; },
     "{\"passed\":true,\"checks\":7,\"scope\":\"Production engine with simulated driver only; "
     "no physical MIDI selected\"}",
     0},
    {"an exception outside the standard family", []() -> int32_t { throw 5; },
     "{\"passed\":false,\"error\":\"unexpected exception\"}", 1},
};

TEST(SelfTest, TheVerdictLineAndExitCodeFollowTheOutcomeOfTheRun) {
    for (const VerdictCase& c : kVerdicts) {
        const Verdict verdict = judge(c.body);
        EXPECT_EQ(verdict.line, c.line) << c.name;
        EXPECT_EQ(verdict.exitCode, c.exitCode) << c.name;
    }
}

}  // namespace
}  // namespace selftest
}  // namespace velmarmtc
