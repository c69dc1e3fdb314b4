// The transport engine against a recording sink on a simulated clock: what it sends, when,
// what it throws, and when it next wants a step. Wire bytes are literal MIDI Time Code vectors.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/engine.h"
#include "tests/kit/recording_sink.h"
#include "tests/core/rig.h"
#include "tests/kit/thrown.h"

namespace {

using coretest::Op;
using coretest::report;
using coretest::Rig;
using coretest::wallMs;
using velmarmtc::Engine;
using velmarmtc::Snapshot;
using Full = std::array<uint8_t, 10>;
using Bytes = std::vector<uint8_t>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* const kNotActive = "MTC 输出未启用。";
const char* const kBadStart = "无效的时间码帧率或起始时间。";
const char* const kStale = "播放器时钟消息已过期，MTC 输出已关闭。请重新启用。";
const char* const kImplausible = "播放器时间码位置无效，MTC 输出已关闭。";
const char* const kSpeed = "时间码输出暂支持 1× 正向播放；速度改变后已关闭输出。";
const char* const kWatchdog = "播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。";
const char* const kDetached = "MTC 输出设备已断开，时间码输出已关闭。";

// The message of the runtime_error that `f` throws, or "<no exception>".
std::string thrownBy(const std::function<void()>& f) {
    return mtctest::thrownMessage(f, "<no exception>");
}

Full fullOf(const Rig& rig, size_t index) {
    return rig.sink.packets.at(index).full();
}

// ---------------------------------------------------------------------------------------------
// start and stop

TEST(EngineStart, startClosesThenOpensAndArmsTheDeviceCheckAndWatchdogFromNow) {
    {
        Rig rig;
        rig.start(29.97, 1.5, 2.0);
        EXPECT_EQ(rig.sink.opsSince(0), (std::vector<Op>{Op::Close, Op::Open}));
        EXPECT_EQ(rig.sink.openedId, "winmm:test");
        EXPECT_TRUE(rig.engine.isActive());
        EXPECT_EQ(rig.engine.quarterInterval(), 1001.0 / 120000.0);
        // Nothing is scheduled before the first report: the next wake is the device check.
        EXPECT_EQ(rig.engine.nextDeadline(2.0), 2.05);
        rig.stepAt(2.049);
        rig.stepAt(2.05);
        EXPECT_EQ(rig.sink.opsSince(2), (std::vector<Op>{Op::Ready, Op::Connected, Op::Ready}));
        // The first report locates to the offset plus its position: 1.5 s is 00:00:01;14.
        rig.sendAt(2.06, 0, true, "A");
        EXPECT_EQ(
            rig.fullsSince(0),
            (std::vector<Full>{{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x00, 0x01, 0x0E, 0xF7}}));
    }
    {
        // The watchdog runs from the start, before any report.
        Rig rig;
        rig.start(25, 0, 2.0);
        rig.stepAt(2.3499);
        EXPECT_EQ(thrownBy([&] { rig.stepAt(2.351); }), kWatchdog);
        EXPECT_TRUE(rig.sink.packets.empty());
    }
}

TEST(EngineStart, anActiveEngineSendsNothingUntilTheFirstReport) {
    Rig rig;
    rig.start();
    rig.advanceTo(0.3);
    EXPECT_TRUE(rig.sink.packets.empty());
    for (const coretest::Call& c : rig.sink.calls) {
        EXPECT_TRUE(c.op == Op::Close || c.op == Op::Open || c.op == Op::Ready ||
                    c.op == Op::Connected);
    }
}

struct StartCase {
    const char* name;
    double fps;
    double offset;
    bool accepted;
    Full firstFull;  // what a report of position 10 then sends, when accepted
};

TEST(EngineStart, acceptsOnlyTheFourRatesAndAnOffsetWithinTheDay) {
    const StartCase cases[] = {
        {"24 fps", 24, 0, true, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x00, 0x00, 0x0A, 0x00, 0xF7}},
        {"25 fps", 25, 0, true, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x0A, 0x00, 0xF7}},
        // 10 s is 299.7 frames of 29.97: 00:00:09;29.
        {"29.97 fps", 29.97, 0, true, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x00, 0x09, 0x1D, 0xF7}},
        {"30 fps", 30, 0, true, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x60, 0x00, 0x0A, 0x00, 0xF7}},
        {"offset minus zero",
         25,
         -0.0,
         true,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x0A, 0x00, 0xF7}},
        // 86409.999 s wraps to 00:00:09:24.
        {"offset just below a day",
         25,
         86399.999,
         true,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x09, 0x18, 0xF7}},
        {"offset of a whole day", 25, 86400, false, {}},
        {"negative offset", 25, -1e-9, false, {}},
        {"NaN offset", 25, kNaN, false, {}},
        {"infinite offset", 25, kInf, false, {}},
        {"29.970001 fps", 29.970001, 0, false, {}},
        {"30000/1001 fps, which is not the literal 29.97", 30000.0 / 1001.0, 0, false, {}},
        {"NaN fps", kNaN, 0, false, {}},
        {"0 fps", 0, 0, false, {}},
        {"50 fps", 50, 0, false, {}},
    };
    for (const StartCase& c : cases) {
        Rig rig;
        // A running stream first, so a refused start is seen to stop it and close the output.
        rig.start(30, 10);
        rig.sendAt(0, 5, true, "A");
        const size_t before = rig.sink.calls.size();
        const std::string got = thrownBy([&] { rig.engine.start("winmm:x", c.fps, c.offset, 1); });
        if (c.accepted) {
            EXPECT_EQ(got, "<no exception>") << c.name;
            EXPECT_TRUE(rig.engine.isActive()) << c.name;
            EXPECT_TRUE(rig.sink.opened) << c.name;
            EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::Close, Op::Open})) << c.name;
            // The new rate and offset name the first full frame.
            const size_t n = rig.packetCount();
            rig.sendAt(1, 10, true, "A");
            EXPECT_EQ(rig.fullsSince(n), std::vector<Full>{c.firstFull}) << c.name;
        } else {
            EXPECT_EQ(got, kBadStart) << c.name;
            EXPECT_FALSE(rig.engine.isActive()) << c.name;
            EXPECT_FALSE(rig.sink.opened) << c.name;
            EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::Close})) << c.name;
            EXPECT_EQ(rig.engine.quarterInterval(), 1.0 / 120) << c.name << ": the rate changed";
            EXPECT_EQ(thrownBy([&] { rig.send(report(5, true, "A")); }), kNotActive) << c.name;
        }
    }
}

TEST(EngineStart, theSinksOpenFailurePassesThroughAndTheEngineStaysStopped) {
    Rig rig;
    rig.sink.openFailure = "找不到所选的 MIDI 输出设备。";
    EXPECT_EQ(thrownBy([&] { rig.start(24, 7); }), "找不到所选的 MIDI 输出设备。");
    EXPECT_FALSE(rig.engine.isActive());
    EXPECT_EQ(rig.engine.quarterInterval(), 0.01) << "the rate changed";
    EXPECT_EQ(rig.sink.opsSince(0), (std::vector<Op>{Op::Close, Op::Open}));
    EXPECT_EQ(thrownBy([&] { rig.send(report(5, true, "A")); }), kNotActive);
}

TEST(EngineStop, stopDisarmsAndClosesAndKeepsTheRate) {
    Rig rig;
    rig.start(24, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.advanceTo(0.045);
    ASSERT_NE(rig.quarterDataSince(0).size() % 8, 0u) << "stopped between two cycles";
    const size_t before = rig.sink.calls.size();

    rig.engine.stop();
    EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::Close}));
    EXPECT_FALSE(rig.engine.isActive());
    EXPECT_EQ(rig.engine.quarterInterval(), 0.010416666666666666) << "the rate is kept";

    // Stopped: steps touch nothing, reports are refused, and stop may be repeated.
    const size_t packets = rig.packetCount();
    rig.stepAt(0.05);
    rig.stepAt(0.5);
    EXPECT_EQ(rig.packetCount(), packets);
    EXPECT_EQ(rig.sink.calls.size(), before + 1);
    EXPECT_EQ(thrownBy([&] { rig.send(report(10.05, true, "A")); }), kNotActive);
    rig.engine.stop();
    EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::Close, Op::Close}));
}

// Stopped with a full frame pending and started again: nothing is scheduled but the device
// check, and the first report gets a full frame although it matches the old anchor (paused
// without a track, on its position, within 0.15 s of it).
TEST(EngineStop, aNewStartForgetsThePendingFullFrameAndTheAnchor) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, false, "");
    rig.at(0.05);
    rig.engine.locate(0.05);
    rig.engine.stop();
    rig.start(25, 3600, 0.1);
    EXPECT_NEAR(rig.engine.nextDeadline(0.1), 0.15, 1e-9);
    const size_t n = rig.packetCount();
    rig.sendAt(0.1, 10, false, "");
    EXPECT_EQ(rig.fullsSince(n).size(), 1u);
}

// A new engine is stopped at 25 fps and has not called its sink.
TEST(EngineStop, aNeverStartedEngineRefusesReportsAndIgnoresSteps) {
    Rig rig;
    EXPECT_FALSE(rig.engine.isActive());
    EXPECT_EQ(rig.engine.quarterInterval(), 0.01);
    EXPECT_EQ(thrownBy([&] { rig.send(report(1, true, "A")); }), kNotActive);
    rig.stepAt(1);
    EXPECT_TRUE(rig.sink.calls.empty());
}

// ---------------------------------------------------------------------------------------------
// Refused and accepted reports

struct ReportCase {
    const char* name;
    std::function<void(Snapshot&, double nowMs)> change;
    const char* refusal;  // nullptr: accepted
};

// A change that makes the report a paused one at `rate`.
std::function<void(Snapshot&, double)> pausedAt(double rate) {
    return [rate](Snapshot& s, double) {
        s.playing = false;
        s.playbackRate = rate;
    };
}

// All cases start from a playing stream at 0.1 s and a report that matches its clock. A refused
// report changes nothing: the stream runs on exactly as it does on a twin engine that never
// saw it, to the watchdog 351 ms after the last accepted report. An accepted one is the anchor
// from then on: the same report again at once needs no full frame, and the watchdog runs
// from it.
TEST(EngineTransport, refusesStaleImplausibleOrOffSpeedReportsWithoutChangingAnything) {
    const std::string track2048(2048, 't');
    const std::string track2049(2049, 't');
    const ReportCase cases[] = {
        {"a fresh report", [](Snapshot&, double) {}, nullptr},
        {"250 ms old", [](Snapshot& s, double ms) { s.sentAtUnixMs = ms - 250; }, nullptr},
        {"251 ms old", [](Snapshot& s, double ms) { s.sentAtUnixMs = ms - 251; }, kStale},
        {"1000 ms ahead", [](Snapshot& s, double ms) { s.sentAtUnixMs = ms + 1000; }, nullptr},
        {"1001 ms ahead", [](Snapshot& s, double ms) { s.sentAtUnixMs = ms + 1001; }, kStale},
        {"sent at NaN", [](Snapshot& s, double) { s.sentAtUnixMs = kNaN; }, kStale},
        {"sent at +infinity", [](Snapshot& s, double) { s.sentAtUnixMs = kInf; }, kStale},
        {"sent at -infinity", [](Snapshot& s, double) { s.sentAtUnixMs = -kInf; }, kStale},
        {"position 604800", [](Snapshot& s, double) { s.position = 604800; }, nullptr},
        {"position 604800.5", [](Snapshot& s, double) { s.position = 604800.5; }, kImplausible},
        {"position minus zero", [](Snapshot& s, double) { s.position = -0.0; }, nullptr},
        {"negative position", [](Snapshot& s, double) { s.position = -0.001; }, kImplausible},
        {"NaN position", [](Snapshot& s, double) { s.position = kNaN; }, kImplausible},
        {"infinite position", [](Snapshot& s, double) { s.position = kInf; }, kImplausible},
        {"paused at rate 16", pausedAt(16), nullptr},
        {"paused at rate 16.5", pausedAt(16.5), kImplausible},
        {"paused at rate 0", pausedAt(0), kImplausible},
        {"paused at rate -1", pausedAt(-1), kImplausible},
        {"paused at rate NaN", pausedAt(kNaN), kImplausible},
        {"paused at rate infinity", pausedAt(kInf), kImplausible},
        {"paused at rate 2.0", pausedAt(2.0), nullptr},
        {"an empty string as track id",
         [](Snapshot& s, double) {
             s.trackId = "";
             s.hasTrack = true;
         },
         kImplausible},
        {"a null track id",
         [](Snapshot& s, double) {
             s.trackId = "";
             s.hasTrack = false;
         },
         nullptr},
        {"a track id of 2048 bytes", [&](Snapshot& s, double) { s.trackId = track2048; }, nullptr},
        {"a track id of 2049 bytes", [&](Snapshot& s, double) { s.trackId = track2049; },
         kImplausible},
        {"playing at 1.0009", [](Snapshot& s, double) { s.playbackRate = 1.0009; }, nullptr},
        {"playing at 0.9991", [](Snapshot& s, double) { s.playbackRate = 0.9991; }, nullptr},
        {"playing at 1.001 (the difference is just below 0.001 in doubles)",
         [](Snapshot& s, double) { s.playbackRate = 1.001; }, nullptr},
        {"playing at 1.0011", [](Snapshot& s, double) { s.playbackRate = 1.0011; }, kSpeed},
        {"playing at 0.999", [](Snapshot& s, double) { s.playbackRate = 0.999; }, kSpeed},
        {"playing at 2.0", [](Snapshot& s, double) { s.playbackRate = 2.0; }, kSpeed},
        {"playing without a track at 2.0 (the report says playing)",
         [](Snapshot& s, double) {
             s.trackId = "";
             s.hasTrack = false;
             s.playbackRate = 2.0;
         },
         kSpeed},
        {"stale and implausible: freshness is checked first",
         [](Snapshot& s, double ms) {
             s.sentAtUnixMs = ms - 300;
             s.position = kNaN;
         },
         kStale},
        {"implausible and off speed: plausibility is checked first",
         [](Snapshot& s, double) {
             s.position = -1;
             s.playbackRate = 2.0;
         },
         kImplausible},
    };
    auto playingToATenthOfASecond = [](Rig& rig) {
        rig.start(25, 3600);
        rig.sendAt(0, 10, true, "A");
        rig.advanceTo(0.1);
    };
    for (const ReportCase& c : cases) {
        Rig rig;
        playingToATenthOfASecond(rig);
        const double nowMs = wallMs(0.1);
        Snapshot s = report(10.1, true, "A");
        s.sentAtUnixMs = nowMs;
        c.change(s, nowMs);

        const size_t calls = rig.sink.calls.size();
        const std::string got = thrownBy([&] { rig.engine.transport(s, 0.1, nowMs); });
        if (c.refusal != nullptr) {
            EXPECT_EQ(got, c.refusal) << c.name;
            EXPECT_EQ(rig.sink.calls.size(), calls) << c.name << ": the sink was called";
            Rig twin;
            playingToATenthOfASecond(twin);
            EXPECT_EQ(thrownBy([&] { rig.advanceTo(1); }), kWatchdog) << c.name;
            EXPECT_EQ(thrownBy([&] { twin.advanceTo(1); }), kWatchdog) << c.name;
            EXPECT_EQ(rig.now(), twin.now()) << c.name;
            EXPECT_TRUE(rig.sink.calls == twin.sink.calls) << c.name << ": other calls";
            EXPECT_TRUE(rig.sink.packets == twin.sink.packets) << c.name << ": other messages";
        } else {
            EXPECT_EQ(got, "<no exception>") << c.name;
            const size_t accepted = rig.sink.calls.size();
            rig.engine.transport(s, 0.1, nowMs);
            EXPECT_EQ(rig.sink.calls.size(), accepted) << c.name << ": not the anchor";
            EXPECT_EQ(thrownBy([&] { rig.stepAt(0.45); }), "<no exception>") << c.name;
        }
    }
}

TEST(EngineTransport, theFirstReportAnchorsTheClockAndLocatesToOffsetPlusPosition) {
    Rig rig;
    rig.start(25, 3600);
    const size_t before = rig.sink.calls.size();
    rig.at(0.02);
    rig.send(report(10, true, "A"));
    EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::ClearPending, Op::Full}));
    ASSERT_EQ(rig.packetCount(), 1u);
    EXPECT_EQ(fullOf(rig, 0), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0A, 0x00, 0xF7}));
    // The full frame is polled until it is done; then piece 0 is due one interval on.
    EXPECT_DOUBLE_EQ(rig.engine.nextDeadline(0.02), 0.021);
    rig.stepAt(0.02);
    EXPECT_DOUBLE_EQ(rig.engine.nextDeadline(0.02), 0.03);
    rig.advanceTo(0.1);
    const Bytes q = rig.quarterDataSince(1);
    ASSERT_GE(q.size(), 8u);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 8),
              (Bytes{0x00, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72}));  // 01:00:10:00
    // The watchdog runs from the report.
    rig.stepAt(0.37);
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.371); }), kWatchdog);
}

struct LocateCase {
    const char* name;
    double at;
    Snapshot next;
    bool locates;
    uint8_t frame;  // of 01:00:10, where a locate right after puts the stream
};

// After a first report (10 s, playing, track "A") at 0 and the step that completes its full
// frame, a second report decides on a locate; whether it does or not, it is the anchor from
// then on, so a locate right after it sends its own position (3600 s more). Times and
// positions are exact binary fractions.
TEST(EngineTransport, aReportLocatesOnlyOnAJumpAChangeARequestOrAGap) {
    const LocateCase cases[] = {
        {"on the prediction", 0.125, report(10.125, true, "A"), false, 3},
        {"0.05859375 s ahead of the prediction", 0.125, report(10.18359375, true, "A"), false, 4},
        {"0.05859375 s behind the prediction", 0.125, report(10.06640625, true, "A"), false, 1},
        {"0.0625 s ahead of the prediction", 0.125, report(10.1875, true, "A"), true, 4},
        {"0.0625 s behind the prediction", 0.125, report(10.0625, true, "A"), true, 1},
        {"a locate request on the prediction", 0.125, report(10.125, true, "A", true), true, 3},
        {"another track", 0.125, report(10.125, true, "B"), true, 3},
        {"a null track, which also counts as paused", 0.125, report(10.125, true, ""), true, 3},
        {"paused on the prediction", 0.125, report(10.125, false, "A"), true, 3},
        {"exactly 0.15 s after the last report", 0.15, report(10.15, true, "A"), false, 3},
        {"more than 0.15 s after the last report", 0.15625, report(10.15625, true, "A"), true, 3},
    };
    for (const LocateCase& c : cases) {
        Rig rig;
        rig.start(25, 3600);
        rig.sendAt(0, 10, true, "A");
        const size_t before = rig.sink.calls.size();
        rig.at(c.at);
        rig.send(c.next);
        const bool located = !rig.sink.opsSince(before).empty();
        EXPECT_EQ(located, c.locates) << c.name;
        if (c.locates) {
            // The schedule starts afresh once the full frame is done: one interval on while
            // playing, nothing but the device check while paused.
            rig.stepAt(c.at);
            const bool playing = c.next.playing && c.next.hasTrack;
            EXPECT_NEAR(rig.engine.nextDeadline(c.at), c.at + (playing ? 0.01 : 0.05), 1e-9)
                << c.name;
        } else {
            // The stream carries on: the first quarter frame is overdue.
            EXPECT_EQ(rig.engine.nextDeadline(c.at), 0.01) << c.name;
        }
        rig.engine.locate(c.at);
        EXPECT_EQ(rig.fullsSince(0).back(),
                  (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0A, c.frame, 0xF7}))
            << c.name;
    }
}

TEST(EngineTransport, whilePausedOnlyAMoveOfMoreThan60msLocates) {
    const struct {
        double position;
        bool locates;
    } cases[] = {{0.06, false}, {0.0600001, true}, {0, false}};
    for (const auto& c : cases) {
        Rig rig;
        rig.start(25, 0);
        rig.sendAt(0, 0, false, "A", true);
        const size_t packets = rig.packetCount();
        rig.sendAt(0.1, c.position, false, "A");
        EXPECT_EQ(rig.packetCount() - packets, c.locates ? 1u : 0u) << c.position;
    }
}

TEST(EngineTransport, aReportThatDiffersOnlyInHavingATrackLocates) {
    Rig rig;
    rig.start(25, 0);
    rig.sendAt(0, 1, false, "A", true);
    const size_t n = rig.packetCount();
    Snapshot s = report(1, false, "A");
    s.hasTrack = false;  // same bytes of track id, but not sent as a string
    rig.at(0.02);
    rig.send(s);
    EXPECT_EQ(rig.packetCount(), n + 1);
    // The same report again is on the anchor: nothing more.
    rig.send(s);
    EXPECT_EQ(rig.packetCount(), n + 1);
}

// A report within tolerance arrives at 0.04 s, in the middle of the cycle whose piece 0 went
// out at 0.01 s. The cycle in progress keeps the label it started with, so its eight pieces
// name one time even when the clock has crossed into the next minute by the time its minute
// pieces go out, and the schedule carries on; the next cycle carries the new anchor.
TEST(EngineTransport, aReportWithinToleranceReanchorsAndTheStreamCarriesOn) {
    const struct {
        const char* name;
        double firstPosition;
        double reanchoredPosition;  // 50 and 45 ms ahead of the clock at 0.04 s
        Bytes twoCycles;
    } cases[] = {
        {"within a second",
         10,
         10.09,
         {0x00, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72,    // 01:00:10:00
          0x03, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72}},  // 01:00:10:03
        {"across a minute",
         59.925,
         60.01,
         {0x07, 0x11, 0x2B, 0x33, 0x40, 0x50, 0x61, 0x72,    // 01:00:59:23
          0x01, 0x10, 0x20, 0x30, 0x41, 0x50, 0x61, 0x72}},  // 01:01:00:01
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(25, 3600);
        rig.sendAt(0, c.firstPosition, true, "A");
        rig.advanceTo(0.035);
        rig.at(0.04);
        rig.send(report(c.reanchoredPosition, true, "A"));
        rig.advanceTo(0.165);
        EXPECT_EQ(rig.fullsSince(1).size(), 0u);
        EXPECT_EQ(rig.quarterDataSince(0), c.twoCycles);
        for (size_t k = 1; k < rig.packetCount(); ++k) {
            EXPECT_NEAR(rig.sink.packets[k].time, 0.01 * static_cast<double>(k), 1e-9) << k;
        }
    }
}

TEST(EngineTransport, aPlayingReportWithoutATrackCountsAsPaused) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "");
    rig.advanceTo(0.1);
    // Paused without a track is what the engine now holds: a report saying so is no change.
    rig.sendAt(0.1, 10, false, "");
    rig.advanceTo(0.3);
    EXPECT_EQ(rig.packetCount(), 1u);
    EXPECT_TRUE(rig.sink.packets[0].isFull());
}

TEST(EngineTransport, aSinkFailurePassesThroughUnchanged) {
    Rig rig;
    rig.start(25, 3600);
    rig.sink.fullFailure = "MIDI 输出失败。 (WinMM 7)";
    EXPECT_EQ(thrownBy([&] { rig.send(report(10, true, "A")); }), "MIDI 输出失败。 (WinMM 7)");
}

// ---------------------------------------------------------------------------------------------
// The stream

struct RateCase {
    double fps;
    double interval;
};

const RateCase kRates[] = {
    {24, 0.010416666666666666},
    {25, 0.01},
    {29.97, 0.008341666666666667},
    {30, 0.008333333333333333},
};

TEST(EngineStream, playingSendsOneFullFrameThenQuarterFramesOnScheduleAtEveryRate) {
    for (const RateCase& r : kRates) {
        Rig rig;
        rig.start(r.fps, 3600);
        EXPECT_EQ(rig.engine.quarterInterval(), r.interval) << r.fps;
        rig.sendAt(0, 10, true, "A");
        rig.play(0.23, 10, 0);

        ASSERT_GE(rig.packetCount(), 2u) << r.fps;
        EXPECT_TRUE(rig.sink.packets[0].isFull()) << r.fps;
        EXPECT_EQ(rig.sink.packets[0].time, 0.0) << r.fps;
        const size_t quarters = rig.packetCount() - 1;
        EXPECT_GE(quarters, 19u) << r.fps;
        EXPECT_GE(quarters + 1, static_cast<size_t>(0.23 / r.interval)) << r.fps;
        for (size_t k = 0; k < quarters; ++k) {
            const coretest::Packet& p = rig.sink.packets[k + 1];
            ASSERT_TRUE(p.isQuarter()) << r.fps << " packet " << k + 1;
            EXPECT_EQ(p.data() >> 4, static_cast<int>(k % 8)) << r.fps << " piece " << k;
            EXPECT_NEAR(p.time, (k + 1) * r.interval, 1e-9) << r.fps << " piece " << k;
        }
    }
}

TEST(EngineStream, eachCycleCarriesThePositionOneIntervalBeforeItsPieceZero) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.play(0.25, 10, 0);
    const Bytes q = rig.quarterDataSince(0);
    ASSERT_GE(q.size(), 24u);
    // 01:00:10:00, then two frames later each cycle: 01:00:10:02, 01:00:10:04.
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 24),
              (Bytes{0x00, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72,  //
                     0x02, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72,  //
                     0x04, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72}));
}

struct FirstCycleCase {
    const char* name;
    double fps;
    double offset;
    double position;
    Full full;
    std::array<uint8_t, 8> quarters;
};

// A locate just before a frame boundary: one interval later the clock is in the next frame,
// but the first cycle still carries the full frame's own label.
TEST(EngineStream, theFirstCycleAfterALocateCarriesTheFullFramesOwnPosition) {
    const FirstCycleCase cases[] = {
        {"01:00:10:00 at 25, 5 ms before frame 1",
         25,
         3600,
         10.035,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0A, 0x00, 0xF7},
         {0x00, 0x10, 0x2A, 0x30, 0x40, 0x50, 0x61, 0x72}},
        {"00:00:59;29 at 29.97, 5 ms before the dropped labels of minute 1",
         29.97,
         0,
         60.055,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x00, 0x3B, 0x1D, 0xF7},
         {0x0D, 0x11, 0x2B, 0x33, 0x40, 0x50, 0x60, 0x74}},
    };
    for (const FirstCycleCase& c : cases) {
        Rig rig;
        rig.start(c.fps, c.offset);
        rig.sendAt(0, c.position, true, "A");
        rig.advanceTo(0.1);
        ASSERT_GE(rig.packetCount(), 9u) << c.name;
        EXPECT_EQ(fullOf(rig, 0), c.full) << c.name;
        const Bytes q = rig.quarterDataSince(0);
        EXPECT_EQ(Bytes(q.begin(), q.begin() + 8), Bytes(c.quarters.begin(), c.quarters.end()))
            << c.name;
    }
}

TEST(EngineStream, pausingWithLocateSendsOneFullFrameAndThenNoQuarterFrames) {
    for (const RateCase& r : kRates) {
        Rig rig;
        rig.start(r.fps, 3600);
        rig.sendAt(0, 10, true, "A");
        rig.play(0.23, 10, 0);
        const size_t n = rig.packetCount();
        rig.sendAt(0.23, 11, false, "A", true);
        ASSERT_EQ(rig.packetCount(), n + 1) << r.fps;
        EXPECT_TRUE(rig.sink.packets[n].isFull()) << r.fps;
        rig.stepAt(0.24);
        rig.stepAt(0.26);
        // A paused player keeps reporting the same position: still nothing goes out.
        for (double t : {0.28, 0.30, 0.32}) {
            rig.advanceTo(t);
            rig.sendAt(t, 11, false, "A");
        }
        rig.advanceTo(0.4);
        EXPECT_EQ(rig.packetCount(), n + 1) << r.fps;
    }
}

TEST(EngineStream, pauseThenResumeSendsAFullFrameEachTimeAndQuarterFramesAgain) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.play(0.23, 10, 0);
    rig.sendAt(0.23, 11, false, "A", true);
    EXPECT_EQ(rig.fullsSince(0).back(),
              (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0B, 0x00, 0xF7}));
    rig.stepAt(0.24);
    rig.stepAt(0.26);
    const size_t n = rig.packetCount();

    rig.sendAt(0.26, 11, true, "A");  // resume without a locate request
    ASSERT_EQ(rig.packetCount(), n + 1);
    EXPECT_EQ(fullOf(rig, n), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0B, 0x00, 0xF7}));
    rig.play(0.32, 11, 0.26);
    const Bytes q = rig.quarterDataSince(n);
    ASSERT_GE(q.size(), 5u);
    EXPECT_EQ(rig.fullsSince(n).size(), 1u);
    EXPECT_NEAR(rig.sink.packets[n + 1].time, 0.27, 1e-9);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 5), (Bytes{0x00, 0x10, 0x2B, 0x30, 0x40}));
}

TEST(EngineStream, aSeekForwardAndABackwardSeekWithATrackSwitchRestartTheCycleThere) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.play(0.035, 10, 0);
    ASSERT_NE(rig.quarterDataSince(0).size() % 8, 0u) << "the seek came between two cycles";

    size_t n = rig.packetCount();
    rig.sendAt(0.035, 90, true, "A", true);
    EXPECT_EQ(fullOf(rig, n), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x1E, 0x00, 0xF7}));
    rig.play(0.135, 90, 0.035);
    Bytes q = rig.quarterDataSince(n);
    ASSERT_GE(q.size(), 8u);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 8),
              (Bytes{0x00, 0x10, 0x2E, 0x31, 0x41, 0x50, 0x61, 0x72}));

    n = rig.packetCount();
    rig.sendAt(0.135, 2, true, "B", true);
    EXPECT_EQ(fullOf(rig, n), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x02, 0x00, 0xF7}));
    rig.play(0.235, 2, 0.135, "B");
    q = rig.quarterDataSince(n);
    ASSERT_GE(q.size(), 8u);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 8),
              (Bytes{0x00, 0x10, 0x22, 0x30, 0x40, 0x50, 0x61, 0x72}));
    EXPECT_EQ(rig.fullsSince(0).size(), 3u);
}

TEST(EngineStream, aTrackSwitchWithoutALocateRequestStillSendsAFullFrame) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.play(0.1, 10, 0);
    const size_t n = rig.packetCount();
    rig.sendAt(0.1, 10.1, true, "B");
    EXPECT_EQ(rig.fullsSince(n).size(), 1u);
    // Track "B" is the anchor's now: its next report on the prediction needs nothing more.
    rig.sendAt(0.12, 10.12, true, "B");
    EXPECT_EQ(rig.fullsSince(n).size(), 1u);
}

// Three locates while the first full frame is still in flight: the output gets the first and
// the newest only, and no quarter frame while paused.
TEST(EngineStream, locatesWhileAFullFrameIsInFlightCoalesceToTheNewest) {
    for (double slow : {0.03, 0.05}) {
        Rig rig;
        rig.sink.fullDuration = slow;
        rig.start(25, 3600);
        rig.sendAt(0, 10, true, "A");
        rig.sendAt(0.001, 40, true, "A", true);
        rig.sendAt(0.002, 50, true, "B", true);
        rig.sendAt(0.003, 60, false, "B", true);
        EXPECT_EQ(rig.sink.held.has_value(), true) << slow;
        EXPECT_EQ(rig.packetCount(), 1u) << slow;

        // The 1 ms polls: the first one at or after the end of the transfer sends the newest.
        rig.advanceTo(slow + 0.0009);
        ASSERT_EQ(rig.packetCount(), 2u) << slow;
        EXPECT_EQ(fullOf(rig, 1),
                  (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x00, 0x00, 0xF7}))
            << slow;
        EXPECT_GE(rig.sink.packets[1].time, slow) << slow;
        EXPECT_LT(rig.sink.packets[1].time, slow + 0.001) << slow;

        rig.advanceTo(2 * slow);
        rig.stepAt(2 * slow + 0.02);
        EXPECT_EQ(rig.packetCount(), 2u) << slow;

        rig.sendAt(2 * slow + 0.02, 60, true, "B");
        rig.play(2 * slow + 0.2, 60, 2 * slow + 0.02, "B");
        EXPECT_GT(rig.quarterDataSince(0).size(), 7u) << slow;
        EXPECT_EQ(rig.fullsSince(0).size(), 3u) << slow << ": a locate loop";
    }
}

TEST(EngineStream, quarterFramesWaitForASlowFullFrameAndStartOneIntervalAfterIt) {
    Rig rig;
    rig.sink.fullDuration = 0.0035;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.advanceTo(0.003);
    EXPECT_DOUBLE_EQ(rig.engine.nextDeadline(0.003), 0.004) << "no longer polling the sink";
    rig.advanceTo(0.05);
    // The polls run every millisecond: the one at 0.004 sees the frame done.
    ASSERT_GE(rig.packetCount(), 2u);
    EXPECT_NEAR(rig.sink.packets[1].time, 0.014, 1e-9);
    EXPECT_EQ(rig.sink.packets[1].data(), 0x00);
}

// ---------------------------------------------------------------------------------------------
// Timing of step

TEST(EngineStep, aStepMoreThanOneIntervalLateLocatesAndASecondStepThenSendsNothing) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 5, true, "A");
    rig.stepAt(0.001);
    const size_t n = rig.packetCount();
    rig.stepAt(0.1);
    ASSERT_EQ(rig.packetCount(), n + 1);
    // 3605.1 s: 01:00:05:02.
    EXPECT_EQ(fullOf(rig, n), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x05, 0x02, 0xF7}));
    rig.stepAt(0.1);
    EXPECT_EQ(rig.packetCount(), n + 1);
    EXPECT_DOUBLE_EQ(rig.engine.nextDeadline(0.1), 0.11);
    rig.stepAt(0.11);
    ASSERT_EQ(rig.packetCount(), n + 2);
    EXPECT_EQ(rig.sink.packets.back().data(), 0x02);  // piece 0 of 01:00:05:02
}

TEST(EngineStep, locateSendsTheAnchorWhilePausedAndTheClocksPositionWhilePlaying) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 11, false, "A", true);
    const size_t n = rig.packetCount();
    rig.at(0.2);
    rig.engine.locate(0.2);
    EXPECT_EQ(rig.sink.opsSince(rig.sink.calls.size() - 2),
              (std::vector<Op>{Op::ClearPending, Op::Full}));
    EXPECT_EQ(fullOf(rig, n), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0B, 0x00, 0xF7}));

    rig.sendAt(0.22, 11, true, "A");
    rig.advanceTo(0.295);
    rig.at(0.3);
    rig.engine.locate(0.3);  // 11.08 s: 01:00:11:02
    EXPECT_EQ(rig.fullsSince(0).back(),
              (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0B, 0x02, 0xF7}));
    // The full frame is polled, and the cycle starts afresh one interval after it is done.
    EXPECT_DOUBLE_EQ(rig.engine.nextDeadline(0.3), 0.301);
    const size_t located = rig.packetCount();
    rig.stepAt(0.3);
    rig.advanceTo(0.315);
    EXPECT_EQ(rig.quarterDataSince(located), Bytes{0x02});
}

// The handler reads the clock for a report after the loop read it for the step it is about to
// make; a step stamped before the last report must not move the position backwards.
TEST(EngineStep, aStepStampedBeforeTheLastReportCountsNoNegativeTime) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 10, true, "A");
    rig.at(0.0105);
    rig.send(report(10.0102, true, "A"));  // within tolerance: no locate
    rig.stepAt(0.01);
    // 3610.0102 - 0.01: 01:00:10:00, where a negative elapsed time would give 01:00:09:24.
    EXPECT_EQ(rig.quarterDataSince(0), (Bytes{0x00}));
    // The same for a locate: 3610.0003 is 01:00:10:00, 0.5 ms less would be 01:00:09:24.
    rig.at(0.0205);
    rig.send(report(10.0003, true, "A"));  // within tolerance: no locate
    rig.engine.locate(0.02);
    EXPECT_EQ(rig.fullsSince(0).size(), 2u);
    EXPECT_EQ(rig.fullsSince(0).back(),
              (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x0A, 0x00, 0xF7}));
}

struct LateCase {
    const char* name;
    double at;  // the first quarter frame is due at 0.01; the interval is 0.01
    size_t quarters;
    bool located;
    double nextWake;  // nextDeadline(at) after the step: the next quarter frame, or a poll
};

TEST(EngineStep, quarterFramesFollowTheScheduleWithinOneNanosecondAndOneInterval) {
    const LateCase cases[] = {
        {"2 ns early: not yet due", 0.01 - 2e-9, 0, false, 0.01},
        {"half a nanosecond early: due", 0.01 - 5e-10, 1, false, 0.02},
        {"on time", 0.01, 1, false, 0.02},
        {"half an interval late keeps the phase", 0.015, 1, false, 0.02},
        {"exactly one interval late still sends", 0.02, 1, false, 0.02},
        {"more than one interval late locates", 0.0200001, 0, true, 0.0200001 + 0.001},
    };
    for (const LateCase& c : cases) {
        Rig rig;
        rig.start(25, 3600);
        rig.sendAt(0, 5, true, "A");
        ASSERT_EQ(rig.engine.nextDeadline(0), 0.01);
        const size_t n = rig.packetCount();
        rig.stepAt(c.at);
        EXPECT_EQ(rig.quarterDataSince(n).size(), c.quarters) << c.name;
        EXPECT_EQ(rig.fullsSince(n).size(), c.located ? 1u : 0u) << c.name;
        EXPECT_EQ(rig.engine.nextDeadline(c.at), c.nextWake) << c.name;
    }
}

TEST(EngineStep, aStepCallsTheDeviceCheckThenReadyThenQuarter) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0.04, 5, true, "A");  // the first quarter frame is due with the device check
    const size_t before = rig.sink.calls.size();
    rig.stepAt(0.05);
    EXPECT_EQ(rig.sink.opsSince(before), (std::vector<Op>{Op::Connected, Op::Ready, Op::Quarter}));

    // Late by more than an interval: the locate's calls follow ready; the next step sees the
    // full frame done and restarts the schedule; the one after sends a quarter frame.
    const size_t late = rig.sink.calls.size();
    rig.stepAt(0.08);
    rig.stepAt(0.085);
    rig.stepAt(0.095);
    EXPECT_EQ(rig.sink.opsSince(late), (std::vector<Op>{Op::Ready, Op::ClearPending, Op::Full,
                                                        Op::Ready, Op::Ready, Op::Quarter}));
}

TEST(EngineStep, theWatchdogStopsTheStreamAfter350msWithoutAnAcceptedReport) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 5, true, "A");
    rig.stepAt(0.35);
    const size_t calls = rig.sink.calls.size();
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.351); }), kWatchdog);
    EXPECT_EQ(rig.sink.calls.size(), calls);
    // The engine never stops itself: it stays armed and throws again, until the caller stops it.
    EXPECT_TRUE(rig.engine.isActive());
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.352); }), kWatchdog);
    EXPECT_EQ(rig.sink.calls.size(), calls);

    rig.engine.stop();
    EXPECT_FALSE(rig.engine.isActive());
    const size_t n = rig.packetCount();
    rig.stepAt(0.6);
    EXPECT_EQ(rig.packetCount(), n);
}

TEST(EngineStep, theWatchdogRunsWhilePausedAndFromStartBeforeAnyReport) {
    {
        Rig rig;
        rig.start(25, 3600);
        rig.stepAt(0.35);
        EXPECT_EQ(thrownBy([&] { rig.stepAt(0.351); }), kWatchdog);
    }
    {
        Rig rig;
        rig.start(25, 3600);
        rig.sendAt(0, 5, false, "A");
        // The loop's own wake 351 ms after the last report is the one that notices.
        EXPECT_EQ(thrownBy([&] { rig.advanceTo(1.0); }), kWatchdog);
        EXPECT_DOUBLE_EQ(rig.now(), 0.351);
    }
}

TEST(EngineStep, theDeviceIsCheckedEvery50msAndOnlyThen) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 5, true, "A");
    rig.advanceTo(0.21);
    std::vector<double> checks;
    for (const coretest::Call& c : rig.sink.calls) {
        if (c.op == Op::Connected) {
            checks.push_back(c.time);
        }
    }
    ASSERT_EQ(checks.size(), 4u);
    for (size_t i = 0; i < checks.size(); ++i) {
        EXPECT_NEAR(checks[i], 0.05 * static_cast<double>(i + 1), 1e-9);
    }
}

TEST(EngineStep, aDetachedDeviceIsNoticedAtTheNextCheckWhichAdvancesFirst) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 5, true, "A");
    rig.stepAt(0.049);
    rig.sink.attached = false;
    rig.stepAt(0.0495);  // no check due yet
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.051); }), kDetached);
    // The failed check has moved the next one 50 ms on.
    const size_t calls = rig.sink.calls.size();
    rig.stepAt(0.1);
    for (const Op op : rig.sink.opsSince(calls)) {
        EXPECT_NE(op, Op::Connected);
    }
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.101); }), kDetached);
    rig.engine.stop();
    EXPECT_FALSE(rig.engine.isActive());
}

TEST(EngineStep, theWatchdogIsCheckedBeforeTheDevice) {
    Rig rig;
    rig.start(25, 3600);
    rig.sendAt(0, 5, true, "A");
    rig.sink.attached = false;
    const size_t calls = rig.sink.calls.size();
    EXPECT_EQ(thrownBy([&] { rig.stepAt(0.4); }), kWatchdog);
    EXPECT_EQ(rig.sink.calls.size(), calls) << "the device was checked";
}

// ---------------------------------------------------------------------------------------------
// the wake-up schedule

// The engine's deadlines, one clamp per row, each reached by what the engine was told: started
// at 7.5 s at 25 fps (24 where the row says so) and a report of position 10, then asked at
// `now`. The sleep has its floor of half a millisecond.
TEST(EngineDeadline, theNextWakeIsTheEarliestDeadlineHeldBetweenHalfAMillisecondAnd50ms) {
    const struct {
        const char* name;
        double fps;
        double reportAt;
        bool playing;
        std::function<void(Rig&)> then;
        double now;
        double deadline;
        double wait;
    } cases[] = {
        {"paused, nothing is due but the device check, 50 ms after the report's step", 25, 7.99,
         false, [](Rig&) {}, 8.0, 8.04, 0.04},
        {"the next quarter frame", 25, 7.99, true, [](Rig& rig) { rig.advanceTo(8.005); }, 8.005,
         8.01, 0.005},
        {"a full frame in flight is polled after 1 ms, whatever quarter frame was due", 25, 7.99,
         true,
         [](Rig& rig) {
             rig.advanceTo(8.005);
             rig.engine.locate(8.005);
         },
         8.005, 8.006, 0.001},
        {"just past the watchdog: 351 ms after the last report", 25, 7.65, false,
         [](Rig& rig) { rig.stepAt(7.97); }, 8.0, 8.001, 0.001},
        {"the device check before the next quarter frame", 24, 7.958, true,
         [](Rig& rig) { rig.advanceTo(8.0); }, 8.0, 8.008, 0.008},
        {"a device check 0.25 ms away still sleeps 0.5 ms", 24, 7.958, true,
         [](Rig& rig) { rig.advanceTo(8.0); }, 8.00775, 8.008, 0.0005},
        {"a quarter frame already late sleeps 0.5 ms, not 0", 25, 7.99, true,
         [](Rig& rig) { rig.advanceTo(8.005); }, 8.014, 8.01, 0.0005},
        // Only a time before the last step can find the device check further than 50 ms away.
        {"never more than 50 ms, even from before the last device check", 25, 7.97, false,
         [](Rig& rig) { rig.stepAt(8.03); }, 8.0, 8.05, 0.05},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(c.fps, 0, 7.5);
        rig.sendAt(c.reportAt, 10, c.playing, "A");
        c.then(rig);
        EXPECT_NEAR(rig.engine.nextDeadline(c.now), c.deadline, 1e-9);
        EXPECT_NEAR(rig.engine.waitBeforeNextStep(c.now), c.wait, 1e-9);
    }
    EXPECT_EQ(Engine::kShortestWait, 0.0005);
}

}  // namespace
