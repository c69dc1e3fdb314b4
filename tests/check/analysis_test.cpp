// The report from a recorded show whose figures are known by construction: a stream laid out
// by hand on its exact schedule, so every figure can be worked out on paper.
#include "check/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "check/follow.h"
#include "check/json.h"

namespace {

using mtccheck::Cause;
using mtccheck::Report;
using mtccheck::ShowRecord;
using mtccheck::WireMessage;

WireMessage message(int64_t startUs, std::vector<uint8_t> bytes) {
    WireMessage m;
    m.port = 0;
    m.startUs = startUs;
    m.endUs = startUs + 320 * static_cast<int64_t>(bytes.size());
    m.bytes = std::move(bytes);
    return m;
}

mtccheck::StepRecord step(const char* label, Cause cause, int64_t writeUs, double cpu) {
    mtccheck::StepRecord s;
    s.label = label;
    s.cause = cause;
    s.writeUs = writeUs;
    s.cpuSeconds = cpu;
    return s;
}

// 25 fps from 01:00:00:00. The player plays from position 0 at 1.0 s and pauses at 1.6025 s
// (position 0.6025, in frame 15); the show stops at 2.0025 s. The service uses 10 ms of CPU
// per second throughout.
// - The first full frame (01:00:00:00) leaves 1.8 ms after the first report and has fully
//   arrived at 1.005 s: latency 5 ms.
// - Quarter frames leave exactly on schedule, every 10 ms from 1.005 s, except one 1 ms late.
//   Cycle c carries frame 2c; its piece 7 has arrived 8 intervals after its piece 0 was due
//   plus the 0.64 ms the two bytes take, when the player is 2c + 2 frames + 5.64 ms along.
//   So the receiver reads 5.64 ms behind the player from the first whole cycle on.
// - The pause's full frame (01:00:00:15) arrives at 1.6067 s: latency 4.2 ms, and from then
//   on the receiver stands at the start of frame 15, 2.5 ms before the paused player.
ShowRecord playThenPause() {
    ShowRecord r;
    r.showName = "hand-made";
    r.outputName = "Sim";
    r.fps = 25;
    r.offset = 3600;
    r.steps = {step("track a, play", Cause::kFirstReport, 1000000, 0.0),
               step("pause", Cause::kPause, 1602500, 0.006025),
               step("stop", Cause::kStop, 2002500, 0.010025)};
    r.player = {{1000000, 0, true}, {1602500, 0.6025, false}};
    for (int64_t t = 1000000; t < 2002500; t += 20000) {
        r.reportWrites.push_back(t);
    }
    r.haveWire = true;
    r.wire.push_back(message(1001800, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0, 0, 0, 0xF7}));
    for (int c = 0; c < 8; ++c) {
        const uint8_t f = static_cast<uint8_t>(2 * c);
        const uint8_t data[8] = {static_cast<uint8_t>(f & 0x0F),
                                 static_cast<uint8_t>(0x10 | (f >> 4)),
                                 0x20,
                                 0x30,
                                 0x40,
                                 0x50,
                                 0x61,
                                 0x72};
        for (int k = 0; k < 8; ++k) {
            const int64_t due = 1005000 + (8 * c + k + 1) * 10000;
            if (due >= 1602500) {
                break;  // the player paused: the stream ends mid-cycle
            }
            const int64_t start = (c == 2 && k == 3) ? due + 1000 : due;
            r.wire.push_back(message(start, {0xF1, data[k]}));
        }
    }
    r.wire.push_back(message(1603500, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0, 0, 0x0F, 0xF7}));
    return r;
}

TEST(Analysis, figuresOfAStreamOnScheduleMatchTheHandWorkedValues) {
    const Report rep = mtccheck::analyse(playThenPause());
    EXPECT_TRUE(rep.problems.empty()) << rep.problems.front();
    EXPECT_NEAR(rep.durationS, 1.0025, 1e-9);
    ASSERT_EQ(rep.segments.size(), 2u);

    const mtccheck::SegmentRow& play = rep.segments[0];
    EXPECT_EQ(play.cause, "first report");
    EXPECT_NEAR(play.errorMs.p50, 5.64, 1e-6);
    EXPECT_NEAR(play.errorMs.p99, 5.64, 1e-6);
    EXPECT_NEAR(play.errorMs.max, 5.64, 1e-6);
    EXPECT_NEAR(play.errorFrames.max, 5.64 / 40, 1e-6);
    // Samples every 5 ms from 1.005 s to 1.600 s; those up to the first whole cycle
    // (1.08564 s) are the settling after the first locate.
    EXPECT_EQ(play.settlingSamples, 17u);
    EXPECT_EQ(play.errorMs.count, 120u - 17u);
    EXPECT_NEAR(play.cpuMsPerS, 10.0, 1e-9);

    const mtccheck::SegmentRow& pause = rep.segments[1];
    EXPECT_EQ(pause.cause, "pause");
    EXPECT_NEAR(pause.errorMs.p50, 2.5, 1e-6);
    EXPECT_NEAR(pause.errorMs.max, 2.5, 1e-6);
    EXPECT_EQ(pause.settlingSamples, 1u);  // 1.605 s, before the pause's full frame arrived
    EXPECT_EQ(pause.fullFrames, 1);

    // 59 quarter frames, one of them 1 ms late.
    EXPECT_EQ(rep.counts.quarterFrames, 59u);
    EXPECT_EQ(rep.quarterLateMs.count, 59u);
    EXPECT_NEAR(rep.quarterLateMs.p50, 0.0, 1e-6);
    EXPECT_NEAR(rep.quarterLateMs.max, 1.0, 1e-6);
    EXPECT_EQ(rep.counts.cycles, 7u);
    EXPECT_EQ(rep.counts.badCycles, 0u);  // the cycle cut by the pause's locate is no fault
    EXPECT_EQ(rep.cycleJumps, 0u);

    ASSERT_EQ(rep.locates.size(), 2u);
    EXPECT_EQ(rep.locates[0].cause, "first report");
    EXPECT_EQ(rep.locates[0].time, "01:00:00:00");
    EXPECT_NEAR(rep.locates[0].latencyMs, 5.0, 1e-6);
    EXPECT_EQ(rep.locates[1].cause, "pause");
    EXPECT_EQ(rep.locates[1].time, "01:00:00:15");
    EXPECT_NEAR(rep.locates[1].latencyMs, 4.2, 1e-6);
    EXPECT_NEAR(rep.locateLatencyMs.max, 5.0, 1e-6);
    EXPECT_NEAR(rep.cpuMsPerS, 10.0, 1e-9);
}

TEST(Analysis, theJsonReportCarriesTheSameFiguresAndTheChartIsAnSvgDocument) {
    const Report rep = mtccheck::analyse(playThenPause());
    mtccheck::Json j;
    std::string error;
    ASSERT_TRUE(mtccheck::parseJson(mtccheck::reportJson(rep), j, error)) << error;
    ASSERT_NE(j.find("locateLatencyMs"), nullptr);
    EXPECT_NEAR(j.find("locateLatencyMs")->find("max")->number, 5.0, 1e-9);
    EXPECT_NEAR(j.find("quarterLatenessMs")->find("max")->number, 1.0, 1e-9);
    EXPECT_EQ(j.find("fullFramesByCause")->find("pause")->number, 1);
    EXPECT_EQ(j.find("fullFramesByCause")->find("late tick")->number, 0);
    EXPECT_EQ(j.find("segments")->items.size(), 2u);
    EXPECT_EQ(j.find("segments")->items[0].find("label")->text, "track a, play");
    EXPECT_EQ(j.find("problems")->items.size(), 0u);

    const std::string svg = mtccheck::reportSvg(rep);
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find("<polyline"), std::string::npos);
    EXPECT_NE(svg.find(">pause</text>"), std::string::npos);  // the locate is marked
}

// Every form of the report names what the receiver read, so that figures from a recording, a
// real chain and the host alone are never mistaken for one another.
TEST(Analysis, everyFormOfTheReportNamesWhatTheReceiverRead) {
    struct Case {
        const char* name;
        bool haveWire;
        mtccheck::WireSource source;
        const char* sourceName;
        std::vector<std::string> textLines;  // each a whole line of the text report
        const char* kind;
        const char* includes;  // "" for null
        const char* chartTitleEnd;
    };
    const Case cases[] = {
        {"a recording",
         true,
         mtccheck::WireSource::kRecording,
         "C:\\run\\wire.log",
         {"Receiver reads the simulated port's recording C:\\run\\wire.log",
          "Locate latency, host write to full frame on the wire:"},
         "recording",
         "",
         "receiver reads the simulated port's recording C:\\run\\wire.log</text>"},
        {"a MIDI input",
         true,
         mtccheck::WireSource::kInput,
         "Loop In <2>",
         {"Receiver reads MIDI input \"Loop In <2>\"",
          "  (figures include driver and transport latency both ways)",
          "Locate latency, host write to full frame complete at the input:"},
         "input",
         "driver and transport latency both ways",
         "receiver reads MIDI input &quot;Loop In &lt;2&gt;&quot;</text>"},
        {"nothing",
         false,
         mtccheck::WireSource::kRecording,
         "",
         {"Receiver reads nothing: this report has the host's side only",
          "Problem: no recording of the MIDI wire: receiver figures are missing"},
         "none",
         "",
         "receiver reads nothing: this report has the host's side only</text>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShowRecord r = playThenPause();
        r.haveWire = c.haveWire;
        r.source = c.source;
        r.sourceName = c.sourceName;
        if (!c.haveWire) {
            r.wire.clear();
        }
        const Report rep = mtccheck::analyse(r);
        const std::string text = mtccheck::reportText(rep);
        for (const std::string& line : c.textLines) {
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
            EXPECT_LE(line.size(), 80u) << "within the 80 columns of a default console";
        }
        mtccheck::Json j;
        std::string error;
        ASSERT_TRUE(mtccheck::parseJson(mtccheck::reportJson(rep), j, error)) << error;
        const mtccheck::Json* source = j.find("receiverSource");
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(source->find("kind")->text, c.kind);
        if (c.haveWire) {
            EXPECT_EQ(source->find("name")->text, c.sourceName);
        } else {
            EXPECT_EQ(source->find("name")->kind, mtccheck::Json::kNull);
        }
        if (*c.includes != '\0') {
            EXPECT_EQ(source->find("includes")->text, c.includes);
        } else {
            EXPECT_EQ(source->find("includes")->kind, mtccheck::Json::kNull);
        }
        EXPECT_NE(mtccheck::reportSvg(rep).find(c.chartTitleEnd), std::string::npos);
    }
}

TEST(Analysis, theComparisonPutsTheRecordingAndTheInputSideBySide) {
    const Report recording = mtccheck::analyse(playThenPause());
    ShowRecord late = playThenPause();
    for (WireMessage& m : late.wire) {  // every message read back 2 ms later
        m.startUs += 2000;
        m.endUs += 2000;
    }
    late.source = mtccheck::WireSource::kInput;
    const Report input = mtccheck::analyse(late);
    const std::string text = mtccheck::comparisonText(recording, input);
    const std::string rows[] = {
        "The same show as it left the wire and as the input read it back:\n",
        "                                      recording      input\n",
        "  locate latency p50 ms                    4.20       6.20\n",
        "  full frames                                 2          2\n",
    };
    for (const std::string& row : rows) {
        EXPECT_NE(text.find(row), std::string::npos) << row << text;
    }
}

// 25 fps from 00:00:00:00: the player plays from 1.0 s and seeks to 90 s at 2.0 s; the show
// stops at 3.0 s. Reports every 20 ms, none between `gapFromUs` and `gapToUs`. No wire yet.
ShowRecord playThenSeek(const char* seekLabel, int64_t gapFromUs = 0, int64_t gapToUs = 0) {
    ShowRecord r;
    r.fps = 25;
    r.offset = 0;
    r.steps = {step("track a, play", Cause::kFirstReport, 1000000, -1),
               step(seekLabel, Cause::kSeek, 2000000, -1), step("stop", Cause::kStop, 3000000, -1)};
    r.player = {{1000000, 0, true}, {2000000, 90, true}};
    for (int64_t t = 1000000; t <= 3000000; t += 20000) {
        if (t <= gapFromUs || t >= gapToUs) {
            r.reportWrites.push_back(t);
        }
    }
    r.haveWire = true;
    return r;
}

// A full frame at 25 fps within hour 0, beginning to leave at `startUs`.
WireMessage fullFrame25(int64_t startUs, int minutes, int seconds, int frames) {
    return message(startUs, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, static_cast<uint8_t>(minutes),
                             static_cast<uint8_t>(seconds), static_cast<uint8_t>(frames), 0xF7});
}

using Causes = std::vector<std::string>;

// What each full frame was put down to, in wire order.
Causes causesOf(const Report& rep) {
    Causes causes;
    for (const mtccheck::LocateRow& l : rep.locates) {
        causes.push_back(l.cause);
    }
    return causes;
}

TEST(Analysis, fullFramesArePutDownToWhatTheHostDidJustBefore) {
    // The reports pause from 1.5 to 1.7 s.
    ShowRecord r = playThenSeek("seek 90", 1500000, 1700000);
    r.wire.push_back(fullFrame25(1002000, 0, 0, 0));
    // 20 ms after a quarter frame, more than its 10 ms interval: the service's own relocation.
    r.wire.push_back(message(1280000, {0xF1, 0x00}));
    r.wire.push_back(fullFrame25(1300000, 0, 0, 7));
    // 5 ms after a quarter frame, with no step, stall or report gap to explain it.
    r.wire.push_back(message(1400000, {0xF1, 0x00}));
    r.wire.push_back(fullFrame25(1405000, 0, 0, 10));
    r.wire.push_back(fullFrame25(1702000, 0, 0, 17));
    // Nothing answers the seek.
    const Report rep = mtccheck::analyse(r);
    ASSERT_EQ(causesOf(rep), (Causes{"first report", "late tick", "unexplained", "report gap"}));
    EXPECT_LT(rep.locates[1].latencyMs, 0);
    EXPECT_EQ(rep.missedLocates, 1);
    ASSERT_FALSE(rep.problems.empty());
    EXPECT_EQ(rep.problems.back(), "step \"seek 90\" at 1.000 s got no full frame");
    EXPECT_EQ(rep.problems[rep.problems.size() - 2],
              "a full frame at 0.408 s that nothing explains");
    EXPECT_LT(rep.cpuMsPerS, 0);  // unknown stays unknown
    EXPECT_LT(rep.segments[0].cpuMsPerS, 0);
}

TEST(Analysis, aLateTickJustBeforeASeeksFrameIsNotMistakenForIt) {
    // The service fell behind at 1.999 s and located to where the player was (frame 25), 15 ms
    // after its last quarter frame; the seek to 90 s, written at 2.0 s, had to wait for that
    // frame and went out right after it.
    ShowRecord r = playThenSeek("seek 1:30");
    r.wire.push_back(fullFrame25(1002000, 0, 0, 0));
    r.wire.push_back(message(1985000, {0xF1, 0x00}));
    r.wire.push_back(fullFrame25(2000100, 0, 1, 0));
    r.wire.push_back(fullFrame25(2003300, 1, 30, 0));
    const Report rep = mtccheck::analyse(r);
    ASSERT_EQ(causesOf(rep), (Causes{"first report", "late tick", "seek"}));
    EXPECT_NEAR(rep.locates[2].latencyMs, 6.5, 1e-6);
    EXPECT_EQ(rep.missedLocates, 0);
}

TEST(Analysis, cyclesThatDoNotStepTwoFramesAreCountedButNotAcrossALocate) {
    ShowRecord r = playThenPause();
    // Cycle 3 should carry frame 6; make it carry frame 7, so the receiver steps 3 frames and
    // then 1. A locate between two cycles may change the time freely.
    for (WireMessage& m : r.wire) {
        if (m.startUs == 1005000 + (8 * 3 + 1) * 10000) {
            m.bytes[1] = 0x07;
        }
    }
    EXPECT_EQ(mtccheck::analyse(r).cycleJumps, 2u);
}

TEST(Analysis, withoutARecordingTheReportSaysSoInsteadOfShowingZeros) {
    ShowRecord r = playThenPause();
    r.haveWire = false;
    r.wire.clear();
    const Report rep = mtccheck::analyse(r);
    EXPECT_EQ(rep.errorMs.count, 0u);
    ASSERT_EQ(rep.problems.size(), 1u);
    EXPECT_EQ(rep.problems[0], "no recording of the MIDI wire: receiver figures are missing");
    EXPECT_NE(mtccheck::reportText(rep).find("Problem: no recording"), std::string::npos);
}

TEST(Figures, percentilesAreNearestRank) {
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    struct Case {
        std::vector<double> values;
        size_t count;
        double p50, p99, max;
    };
    const Case cases[] = {
        {hundred, 100, 50, 99, 100},
        {{7}, 1, 7, 7, 7},
        {{3, 1, 2}, 3, 2, 3, 3},
        {{1, 2, 3, 4}, 4, 2, 4, 4},
    };
    for (const Case& c : cases) {
        const mtccheck::Figures f = mtccheck::figuresOf(c.values);
        EXPECT_EQ(f.count, c.count);
        EXPECT_EQ(f.p50, c.p50);
        EXPECT_EQ(f.p99, c.p99);
        EXPECT_EQ(f.max, c.max);
    }
    const mtccheck::Figures none = mtccheck::figuresOf({});
    EXPECT_EQ(none.count, 0u);
    EXPECT_TRUE(std::isnan(none.p99));
}

TEST(Figures, percentileRoundsDownMedianTakesTheUpperMiddleAndALineShowsMilliseconds) {
    struct Case {
        std::vector<double> values;
        double p;
        double percentile;
        double median;
    };
    const Case cases[] = {
        {{0.4, 0.1, 0.3, 0.2}, 0.5, 0.2, 0.3},  // index floor(0.5 * 3) = 1
        {{0.4, 0.1, 0.3, 0.2}, 1.0, 0.4, 0.3},
        {{0.4, 0.1, 0.3, 0.2}, 0.99, 0.3, 0.3},
        {{5}, 0.0, 5, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mtccheck::percentile(c.values, c.p), c.percentile);
        EXPECT_EQ(mtccheck::median(c.values), c.median);
    }
    EXPECT_TRUE(std::isnan(mtccheck::percentile({}, 0.5)));
    EXPECT_TRUE(std::isnan(mtccheck::median({})));
    EXPECT_EQ(mtccheck::distributionLine("late", {0.001, 0.002, 0.0035}, 6, 2),
              "late   n=3      p50=   2.00 p99=   2.00 max=   3.50 ms\n");
}

// The passes alone, on the hand-made show whose figures are worked out above.
TEST(AnalysisPasses, theShowIsCutAtItsStepsAndEachMomentFallsInOneSegment) {
    const ShowRecord r = playThenPause();
    const std::vector<mtccheck::SegmentRow> rows = mtccheck::segmentShow(r);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].label, "pause");
    EXPECT_NEAR(rows[1].startS, 0.6025, 1e-9);
    EXPECT_NEAR(rows[1].durationS, 0.4, 1e-9);
    struct Case {
        double t;
        int segment;
    };
    const Case cases[] = {
        {0.9999, -1}, {1.0, 0}, {1.6024, 0}, {1.6025, 1}, {2.0024, 1}, {2.0025, -1}, {9.0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mtccheck::segmentAt(r, c.t), c.segment) << c.t;
    }
}

TEST(AnalysisPasses, quarterFramesAreTimedFromTheFullFrameBeforeThem) {
    const mtccheck::WireReadings wire = mtccheck::readWire(playThenPause().wire);
    EXPECT_EQ(wire.counts.fullFrames, 2u);
    EXPECT_EQ(wire.counts.quarterFrames, 59u);
    const std::vector<std::pair<double, double>> late =
        mtccheck::quarterLateness(wire.readings, mtccheck::kRate25);
    ASSERT_EQ(late.size(), 59u);
    // Due every 10 ms from 1.005 s, when the first full frame had fully arrived; each left on
    // time but cycle 2's piece 3 (the 20th), 1 ms late.
    EXPECT_NEAR(late[0].first, 1.015, 1e-9);
    for (size_t i = 0; i < late.size(); ++i) {
        EXPECT_NEAR(late[i].second, i == 19 ? 1.0 : 0.0, 1e-6) << i;
    }
}

// On the hand-made show every whole cycle ends 5.64 ms behind the player (see playThenPause).
TEST(AnalysisPasses, eachWholeCycleIsJudgedAgainstThePlayerWhenItsLastPieceArrives) {
    const int64_t lateSeven = 1005000 + (8 * 3 + 8) * 10000;  // cycle 3's piece 7
    const struct {
        const char* name;
        mtccheck::FollowBounds bounds;
        int64_t lateUs;  // cycle 3's piece 7 leaves this much late
        size_t judged, outside, stalled;
        const char* firstOutside;
    } cases[] = {
        {"within 6 ms behind", {0, 0.006, 0}, 0, 7, 0, 0, ""},
        {"5 ms behind is too strict for all",
         {0, 0.005, 0},
         0,
         7,
         7,
         0,
         "01:00:00:00@1 at 0.086 s, off by -5.6 ms, piece 7 late by 0.0 ms"},
        {"none may be ahead",
         {-0.006, 0.006, 0},
         0,
         7,
         7,
         0,
         "01:00:00:00@1 at 0.086 s, off by -5.6 ms, piece 7 late by 0.0 ms"},
        {"a piece 7 2 ms late may lag by as much", {0, 0.006, 0}, 2000, 7, 0, 1, ""},
        {"a piece 7 late never excuses a reading ahead",
         {-0.006, 0.006, 0},
         2000,
         7,
         7,
         0,
         "01:00:00:00@1 at 0.086 s, off by -5.6 ms, piece 7 late by 0.0 ms"},
        {"the cycle within reach of the player's start is left alone",
         {0, 0.006, 0.03},
         0,
         6,
         0,
         0,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShowRecord r = playThenPause();
        for (WireMessage& m : r.wire) {
            if (m.startUs == lateSeven) {
                m.startUs += c.lateUs;
                m.endUs += c.lateUs;
            }
        }
        const mtccheck::WireReadings wire = mtccheck::readWire(r.wire);
        const mtccheck::FollowVerdict v =
            mtccheck::judgeCycles(wire.readings, mtccheck::PlayerHistory(r.player), r.offset,
                                  mtccheck::kRate25, c.bounds, 1.0, 2.0);
        EXPECT_EQ(v.cycles.size(), c.judged);
        EXPECT_EQ(v.outside, c.outside);
        EXPECT_EQ(v.firstOutside, c.firstOutside);
        size_t stalled = 0;
        for (const mtccheck::CycleFollow& f : v.cycles) {
            stalled += f.stalled ? 1 : 0;
            EXPECT_NEAR(f.errorS, f.label.frames == 6 ? -0.00564 - c.lateUs / 1e6 : -0.00564, 1e-9);
        }
        EXPECT_EQ(stalled, c.stalled);
    }
}

TEST(AnalysisPasses, aCycleJumpIsAnyStepButTwoFramesAndALocateStartsAfresh) {
    using mtccheck::Reading;
    auto cycle = [](int frame) {
        mtccheck::TimedReading r;
        r.reading.kind = Reading::kCycle;
        r.reading.time = mtccheck::labelOf(frame, mtccheck::kRate25);
        return r;
    };
    auto other = [](Reading::Kind kind) {
        mtccheck::TimedReading r;
        r.reading.kind = kind;
        return r;
    };
    const mtccheck::TimedReading quarter = other(Reading::kQuarter);
    const mtccheck::TimedReading locate = other(Reading::kFullFrame);
    const mtccheck::TimedReading broken = other(Reading::kBadCycle);
    const int dayEnd = 25 * 86400;
    struct Case {
        const char* name;
        std::vector<mtccheck::TimedReading> readings;
        uint64_t jumps;
    };
    const Case cases[] = {
        {"two frames on", {cycle(4), quarter, cycle(6), cycle(8)}, 0},
        {"three, then one", {cycle(4), cycle(7), cycle(8)}, 2},
        {"across midnight", {cycle(dayEnd - 1), cycle(1)}, 0},
        {"after a locate", {cycle(4), locate, cycle(90)}, 0},
        {"after a broken cycle", {cycle(4), broken, cycle(90)}, 0},
        {"standing still", {cycle(4), cycle(4)}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mtccheck::countCycleJumps(c.readings), c.jumps) << c.name;
    }
}

// Each cycle's piece 0 leaves at 1.015 s + 80 ms a cycle, when the player has played 15 ms of the
// frame the cycle names; a player clock running 0.1 % fast is that much further on by then.
TEST(AnalysisPasses, eachCyclesPieceZeroIsTimedAgainstTheStartOfItsFrameOnThePlayersClock) {
    for (const double rate : {1.0, 1.001}) {
        ShowRecord r = playThenPause();
        r.player[0].rate = rate;
        const auto phases = mtccheck::cyclePhases(r, mtccheck::readWire(r.wire).readings);
        ASSERT_EQ(phases.size(), 7u) << rate;
        for (size_t c = 0; c < phases.size(); ++c) {
            const double pieceZero = 1.015 + 0.08 * static_cast<double>(c);
            const double ahead = (pieceZero - 1.0) * rate - 0.08 * static_cast<double>(c);
            EXPECT_NEAR(phases[c].first, pieceZero, 1e-9) << c;
            EXPECT_NEAR(phases[c].second, ahead / rate * 1000, 1e-6) << rate << " cycle " << c;
        }
    }
    // The report leaves out the first cycle, which completes the first locate's settling.
    const Report rep = mtccheck::analyse(playThenPause());
    EXPECT_EQ(rep.phaseMs.count, 6u);
    EXPECT_NEAR(rep.phaseMs.p1, 15, 1e-6);
    EXPECT_NEAR(rep.phaseMs.p99, 15, 1e-6);
    EXPECT_EQ(rep.segments[0].phaseMs.count, 6u);
    EXPECT_EQ(rep.segments[1].phaseMs.count, 0u);
}

TEST(AnalysisPasses, aMissedLocateGetsHalfASecondOfSettlingAndAnAnsweredOneUntilTheFirstCycle) {
    const ShowRecord r = playThenPause();
    const mtccheck::WireReadings wire = mtccheck::readWire(r.wire);
    std::vector<bool> answered;
    const std::vector<mtccheck::FullFrameSeen> fulls =
        mtccheck::attributeLocates(r, wire.readings, answered);
    ASSERT_EQ(fulls.size(), 2u);
    EXPECT_EQ(fulls[0].step, 0);
    EXPECT_EQ(fulls[1].step, 1);
    EXPECT_EQ(answered, (std::vector<bool>{true, true, false}));
    EXPECT_TRUE(mtccheck::missedLocates(r, answered).empty());
    const std::vector<std::pair<double, double>> windows =
        mtccheck::settlingWindows(r, wire.readings, fulls, {});
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_NEAR(windows[0].first, 1.0, 1e-9);       // the step's write
    EXPECT_NEAR(windows[0].second, 1.08564, 1e-9);  // the first whole cycle
    EXPECT_NEAR(windows[1].second, 1.6067, 1e-9);   // paused: the frame itself

    // Without the pause's frame, the pause is missed and settles for half a second.
    ShowRecord missing = r;
    missing.wire.pop_back();
    const mtccheck::WireReadings fewer = mtccheck::readWire(missing.wire);
    const std::vector<mtccheck::FullFrameSeen> one =
        mtccheck::attributeLocates(missing, fewer.readings, answered);
    const std::vector<size_t> missed = mtccheck::missedLocates(missing, answered);
    EXPECT_EQ(missed, std::vector<size_t>{1});
    const std::vector<std::pair<double, double>> two =
        mtccheck::settlingWindows(missing, fewer.readings, one, missed);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_NEAR(two[1].first, 1.6025, 1e-9);
    EXPECT_NEAR(two[1].second, 2.1025, 1e-9);
}

}  // namespace
