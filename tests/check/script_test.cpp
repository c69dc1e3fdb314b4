// The show script: the built-in show, what each step makes the host expect, and the messages
// for scripts that cannot run (each naming the line).
#include "check/script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mtccheck::Cause;
using mtccheck::parseShow;
using mtccheck::Show;

std::string errorOf(const std::string& text) {
    try {
        parseShow(text, "show.txt");
    } catch (const mtccheck::ScriptError& e) {
        return e.what();
    }
    return "<parsed>";
}

TEST(Script, theBuiltInShowPlaysSeeksPausesResumesSwitchesSeeksBackAndStops) {
    const Show show = parseShow(mtccheck::defaultShowText(), "default show");
    EXPECT_EQ(show.fps, 25);
    EXPECT_EQ(show.offset, 3600);
    EXPECT_EQ(show.clock.describe(), "512-sample blocks at 48 kHz, reports every 20 ms +-4 ms");
    struct Expected {
        double at;
        Cause cause;
        const char* label;
    };
    const Expected expected[] = {
        {0, Cause::kFirstReport, "track song-1, play"},
        {4, Cause::kSeek, "seek 1:30"},
        {7, Cause::kPause, "pause"},
        {8.5, Cause::kResume, "play"},
        {11.5, Cause::kTrackSwitch, "track song-2 at 30"},
        {14.5, Cause::kSeek, "seek 12.5"},
        {17.5, Cause::kStop, "stop"},
    };
    ASSERT_EQ(show.steps.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < show.steps.size(); ++i) {
        SCOPED_TRACE(expected[i].label);
        EXPECT_DOUBLE_EQ(show.steps[i].at, expected[i].at);
        EXPECT_EQ(show.steps[i].cause, expected[i].cause);
        EXPECT_EQ(show.steps[i].label, expected[i].label);
    }
    // The forward seek lands later than the player would be, the backward one earlier.
    EXPECT_EQ(show.steps[1].position, 90);
    EXPECT_TRUE(show.steps[4].setTrack);
    EXPECT_EQ(show.steps[4].track, "song-2");
    EXPECT_EQ(show.steps[4].position, 30);
    EXPECT_LT(show.steps[5].position, 30 + 3);
    EXPECT_TRUE(show.steps.back().stop);
}

TEST(Script, aScriptWithoutStopStopsAfterItsLastWait) {
    const Show show = parseShow("track a\nplay\nwait 2\n", "s");
    ASSERT_EQ(show.steps.size(), 2u);
    EXPECT_TRUE(show.steps[1].stop);
    EXPECT_DOUBLE_EQ(show.steps[1].at, 2);
    EXPECT_DOUBLE_EQ(show.duration(), 2);
}

TEST(Script, waitingBeforeAnythingSendsAPausedFirstReportAndPlayIsThenAResume) {
    const Show show = parseShow(
        "fps 29.97\noffset 600\nwait 1\ntrack \"my song\" at 1:00\n"
        "play # go\nwait 1\nlocate\nwait 0.5\nstop\n",
        "s");
    EXPECT_EQ(show.fps, 29.97);
    EXPECT_EQ(show.offset, 600);
    ASSERT_EQ(show.steps.size(), 4u);
    EXPECT_EQ(show.steps[0].cause, Cause::kFirstReport);
    EXPECT_EQ(show.steps[0].label, "idle");
    EXPECT_EQ(show.steps[1].cause, Cause::kTrackSwitch);
    EXPECT_EQ(show.steps[1].track, "my song");
    EXPECT_EQ(show.steps[1].position, 60);
    EXPECT_EQ(show.steps[1].play, 1);
    EXPECT_EQ(show.steps[1].label, "track \"my song\" at 1:00, play");
    EXPECT_EQ(show.steps[2].cause, Cause::kRequest);
    EXPECT_TRUE(show.steps[2].locate);
    EXPECT_DOUBLE_EQ(show.steps[3].at, 2.5);
}

TEST(Script, thePlayerLinesSetHowThePlayerReadsAndReportsItsClock) {
    const Show show = parseShow(
        "player blocks 1024 44100\nplayer jitter 2.5\nplayer drift -120\nplayer reports 10 2\n",
        "show.txt");
    EXPECT_EQ(show.clock.blockFrames, 1024);
    EXPECT_EQ(show.clock.sampleRate, 44100);
    EXPECT_EQ(show.clock.readJitterMs, 2.5);
    EXPECT_EQ(show.clock.driftPpm, -120);
    EXPECT_EQ(show.clock.reportPeriodMs, 10);
    EXPECT_EQ(show.clock.sendJitterMs, 2);
    EXPECT_EQ(parseShow("player blocks 512 48000\nplayer exact\n", "show.txt").clock.describe(),
              "exact positions, reports every 20 ms");
}

TEST(Script, mistakesAreReportedWithTheLineTheyAreOn) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"track a\nplay\njump 3\n",
         "show.txt line 3: unknown command \"jump\" (expected fps, offset, player, track, play, "
         "pause, seek, locate, wait or stop)"},
        {"player blocks 512\n", "show.txt line 1: expected \"player blocks SAMPLES RATE\""},
        {"player blocks 100.5 48000\n", "show.txt line 1: a block is a whole number of samples"},
        {"player drift 1000\n",
         "show.txt line 1: expected a drift of -999 to 999 ppm, not \"1000\""},
        {"player reports 20 11\n",
         "show.txt line 1: expected a send jitter of at most half the period, not \"11\""},
        {"player wobble\n",
         "show.txt line 1: unknown player setting \"wobble\" (expected blocks, jitter, drift, "
         "reports or exact)"},
        {"wait 1\nplayer exact\n", "show.txt line 2: player must come before the first wait"},
        {"# comment\n\nplay\n",
         "show.txt line 3: play needs a track first (add a line \"track NAME\" before it)"},
        {"track a\nplay\nwait 1\nplay\n", "show.txt line 4: the player is already playing"},
        {"pause\n", "show.txt line 1: the player is already paused"},
        {"wait 0\n", "show.txt line 1: wait must be more than 0 and at most 600 seconds"},
        {"wait 601\n", "show.txt line 1: wait must be more than 0 and at most 600 seconds"},
        {"wait\n", "show.txt line 1: expected \"wait SECONDS\""},
        {"wait 1 2\n", "show.txt line 1: expected \"wait SECONDS\""},
        {"seek -3\n",
         "show.txt line 1: cannot read position \"-3\" (write seconds like 90 or 2.5, or "
         "[h:]m:s like 1:30)"},
        {"seek 1:75\n",
         "show.txt line 1: cannot read position \"1:75\" (write seconds like 90 or 2.5, or "
         "[h:]m:s like 1:30)"},
        {"seek 604801\n", "show.txt line 1: a position must be at most 604800 seconds (7 days)"},
        {"fps 29.976\n", "show.txt line 1: fps must be 24, 25, 29.97 or 30, not \"29.976\""},
        {"wait 1\nfps 25\n", "show.txt line 2: fps must come before the first wait"},
        {"wait 1\noffset 0\n", "show.txt line 2: offset must come before the first wait"},
        {"offset 24:00:00\n", "show.txt line 1: offset must be below 24 hours"},
        {"track \"unclosed\n", "show.txt line 1: missing closing quote"},
        {"track a b\n", "show.txt line 1: expected \"track NAME\" or \"track NAME at POSITION\""},
        {"track \"\"\n", "show.txt line 1: a track name has 1 to 2048 bytes"},
        {"stop\nwait 1\n", "show.txt line 2: nothing may follow \"stop\""},
        {"wait 600\nwait 600\nwait 600\nwait 600\nwait 600\nwait 600\nwait 1\n",
         "show.txt line 7: the show would last more than an hour"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(errorOf(c.text), c.message);
    }
}

TEST(Script, timesAreSecondsOrColonSeparated) {
    struct Case {
        const char* text;
        bool ok;
        double seconds;
    };
    const Case cases[] = {
        {"90", true, 90},        {"2.5", true, 2.5},       {"1:30", true, 90},
        {"1:00:00", true, 3600}, {"0:59.25", true, 59.25}, {"1:02:03.5", true, 3723.5},
        {"", false, 0},          {"1:60", false, 0},       {"1.5:00", false, 0},
        {"1:2:3:4", false, 0},   {"+5", false, 0},         {"1e3", false, 0},
        {"nan", false, 0},       {"1..2", false, 0},       {".", false, 0},
        {"1:", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        double v = -1;
        EXPECT_EQ(mtccheck::parseTime(c.text, v), c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.seconds);
        }
    }
}

}  // namespace
