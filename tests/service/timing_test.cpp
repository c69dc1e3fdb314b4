// The service loop's unit conversions against literal numbers: the waitable timer's due time
// for the engine's next step (sign, 100-nanosecond units, rounding, the shortest and longest
// waits), with the engine brought to each case by its own calls, and the system time as Unix
// milliseconds.
#include <cstdint>

#include <gtest/gtest.h>

#include "core/engine.h"
#include "service/timing.h"
#include "tests/kit/recording_sink.h"
#include "tests/kit/wall_clock.h"

namespace {

TEST(LoopTiming, TheTimerIsArmedRelativeIn100NanosecondUnitsRoundedUpWithinItsClamps) {
    // An uptime with no short binary form, as a real clock has.
    constexpr double kNow = 86401.123456789;
    constexpr double kInterval = 1001.0 / 120000.0;  // a quarter frame at 29.97
    // How far the engine got at kNow, right after its start there.
    enum class Reached { Started, Located, Playing };
    struct Case {
        const char* name;
        Reached reached;
        double askedAfter;  // seconds after kNow the loop asks
        std::int64_t due;
    };
    const Case cases[] = {
        {"nothing near: 50 ms", Reached::Started, 0, -500000},
        {"a full frame in flight is polled after 1 ms", Reached::Located, 0, -10000},
        {"a 29.97 quarter interval rounds up to the next 100 ns", Reached::Playing, 0, -83417},
        {"a quarter frame due in 0.2 ms: the shortest wait, 0.5 ms", Reached::Playing,
         kInterval - 0.0002, -5000},
        {"a quarter frame already late: 0.5 ms, never 0 or positive", Reached::Playing,
         kInterval + 0.004, -5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mtctest::RecordingSink sink;
        velmarmtc::Engine engine(&sink);
        engine.start("out", 29.97, 0, kNow);
        if (c.reached != Reached::Started) {
            velmarmtc::Snapshot playing;
            playing.trackId = "t";
            playing.hasTrack = true;
            playing.playing = true;
            playing.sentAtUnixMs = mtctest::wallMs(kNow);
            engine.transport(playing, kNow, mtctest::wallMs(kNow));
        }
        if (c.reached == Reached::Playing) {
            engine.step(kNow);  // the full frame is done: the first quarter frame is one
                                // interval away
        }
        EXPECT_EQ(mtcservice::relativeDueTime(engine, kNow + c.askedAfter), c.due);
    }
}

TEST(LoopTiming, TheSystemTimeBecomesUnixMillisecondsKeepingTheFraction) {
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;  // 1970 in 100 ns since 1601
    struct Case {
        std::uint64_t fileTime;
        double unixMs;
    };
    const Case cases[] = {
        {kUnixEpoch, 0.0},
        {kUnixEpoch + 1, 0.0001},
        {kUnixEpoch + 17000000100005000ULL, 1700000010000.5},
        {kUnixEpoch + 17000000100009999ULL, 1700000010000.9999},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(mtcservice::unixMillisecondsFromFileTime(c.fileTime), c.unixMs)
            << c.fileTime;
    }
}

}  // namespace
