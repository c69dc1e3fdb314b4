// Timecode stamps and both wire forms, checked against literal vectors laid out by hand from
// the MIDI Time Code layout, and against a label counter that walks a whole day frame by frame.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/stamp.h"

namespace {

using velmarmtc::Stamp;
using velmarmtc::stamp;
using Quarters = std::array<uint8_t, 8>;
using Full = std::array<uint8_t, 10>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Label {
    int32_t hours, minutes, seconds, frames, rate;
};

bool sameLabel(const Stamp& s, const Label& want) {
    return s.hours == want.hours && s.minutes == want.minutes && s.seconds == want.seconds &&
           s.frames == want.frames && s.rate == want.rate;
}

::testing::AssertionResult hasLabel(const Stamp& s, const Label& want) {
    if (sameLabel(s, want)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "got " << s.hours << ":" << s.minutes << ":" << s.seconds << ":" << s.frames
           << " rate " << s.rate << ", want " << want.hours << ":" << want.minutes << ":"
           << want.seconds << ":" << want.frames << " rate " << want.rate;
}

struct LabelCase {
    const char* name;
    double seconds;
    double fps;
    Label want;
};

// The labels the wire table below does not already show byte for byte.
TEST(Stamp, labelsPositionsAtEveryRateAsTheFrameThatContainsThem) {
    const LabelCase cases[] = {
        {"60 s at 29.97 is still the last label of minute 0", 60.0, 29.97, {0, 0, 59, 28, 2}},
        {"1.16 s at 25, on a frame boundary, is frame 29", 1.16, 25, {0, 0, 1, 4, 1}},
        {"1.001 s at 29.97, on a frame boundary, is frame 30", 1.001, 29.97, {0, 0, 1, 0, 2}},
        {"the last frame of the day at 24", 86399.99, 24, {23, 59, 59, 23, 0}},
        {"the last frame of the day at 29.97", 86399.9, 29.97, {23, 59, 59, 29, 2}},
        {"24 hours at 30 wraps to midnight", 86400, 30, {0, 0, 0, 0, 3}},
        {"24 drop-frame hours (86399.9136 s) wrap to midnight", 86399.92, 29.97, {0, 0, 0, 0, 2}},
        {"25 hours at 25 wrap to one o'clock", 90000, 25, {1, 0, 0, 0, 1}},
        {"minus zero at 24 counts as zero", -0.0, 24, {0, 0, 0, 0, 0}},
        {"minus infinity at 25 counts as zero", -kInf, 25, {0, 0, 0, 0, 1}},
        {"plus infinity at 25 gives midnight rather than garbage", kInf, 25, {0, 0, 0, 0, 1}},
        {"30000/1001, not the literal 29.97, drops no labels",
         60.06,
         30000.0 / 1001.0,
         {0, 1, 0, 0, 3}},
        {"an unknown rate 29.970001 gets code 3 and nominal 30", 600, 29.970001, {0, 9, 59, 12, 3}},
        {"an unknown rate 23.976 gets code 3 and nominal 24", 1.5, 23.976, {0, 0, 1, 11, 3}},
    };
    for (const LabelCase& c : cases) {
        EXPECT_TRUE(hasLabel(stamp(c.seconds, c.fps), c.want)) << c.name;
    }
}

struct WireCase {
    const char* name;
    double seconds;
    double fps;
    Quarters quarters;
    Full full;
};

TEST(Stamp, rendersQuarterFrameDataAndTheFullFrameByteForByte) {
    const WireCase cases[] = {
        {"01:00:00:00 at 25: one hour",
         3600,
         25,
         {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0xF7}},
        {"01:01:30:00 at 25: ninety seconds past the hour",
         3690,
         25,
         {0x00, 0x10, 0x2E, 0x31, 0x41, 0x50, 0x61, 0x72},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x1E, 0x00, 0xF7}},
        {"01:00:02:00 at 25: two seconds past the hour",
         3602,
         25,
         {0x00, 0x10, 0x22, 0x30, 0x40, 0x50, 0x61, 0x72},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x02, 0x00, 0xF7}},
        {"01:01:00:00 at 25: one minute past the hour",
         3660,
         25,
         {0x00, 0x10, 0x20, 0x30, 0x41, 0x50, 0x61, 0x72},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x00, 0x00, 0xF7}},
        {"00:01:00;02 at 29.97: 60.06 s skips the dropped labels ;00 and ;01",
         60.06,
         29.97,
         {0x02, 0x10, 0x20, 0x30, 0x41, 0x50, 0x60, 0x74},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x01, 0x00, 0x02, 0xF7}},
        {"00:10:00;00 at 29.97: ten minutes keeps its ;00",
         600,
         29.97,
         {0x00, 0x10, 0x20, 0x30, 0x4A, 0x50, 0x60, 0x74},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x0A, 0x00, 0x00, 0xF7}},
        {"23:59:59:29 at 30: the last frame of the day",
         86399.99,
         30,
         {0x0D, 0x11, 0x2B, 0x33, 0x4B, 0x53, 0x67, 0x77},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x77, 0x3B, 0x3B, 0x1D, 0xF7}},
        {"23:59:59:24 at 25: the last frame of the day",
         86399.96,
         25,
         {0x08, 0x11, 0x2B, 0x33, 0x4B, 0x53, 0x67, 0x73},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x37, 0x3B, 0x3B, 0x18, 0xF7}},
        {"12:34:56:12 at 24: a mid-frame position",
         45296.5,
         24,
         {0x0C, 0x10, 0x28, 0x33, 0x42, 0x52, 0x6C, 0x70},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x0C, 0x22, 0x38, 0x0C, 0xF7}},
        {"12:34:56:15 at 30: the same mid-frame position",
         45296.5,
         30,
         {0x0F, 0x10, 0x28, 0x33, 0x42, 0x52, 0x6C, 0x76},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x6C, 0x22, 0x38, 0x0F, 0xF7}},
        {"midnight at 24: 24 hours wrap",
         86400,
         24,
         {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0xF7}},
        {"midnight at 30: a negative position counts as zero",
         -5,
         30,
         {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x76},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x60, 0x00, 0x00, 0x00, 0xF7}},
        {"midnight at 25: NaN counts as zero",
         kNaN,
         25,
         {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x72},
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x00, 0x00, 0xF7}},
    };
    for (const WireCase& c : cases) {
        const Stamp s = stamp(c.seconds, c.fps);
        EXPECT_EQ(s.quarters(), c.quarters) << c.name;
        EXPECT_EQ(s.fullFrame(), c.full) << c.name;
    }
}

TEST(Stamp, rendersFieldsAsGivenWithoutNormalisingThem) {
    // A hand-made stamp with the largest value of every field, to see each nibble land.
    Stamp s;
    s.hours = 23;
    s.minutes = 59;
    s.seconds = 58;
    s.frames = 27;
    s.rate = 2;
    EXPECT_EQ(s.quarters(), (Quarters{0x0B, 0x11, 0x2A, 0x33, 0x4B, 0x53, 0x67, 0x75}));
    EXPECT_EQ(s.fullFrame(), (Full{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x57, 0x3B, 0x3A, 0x1B, 0xF7}));
    const Stamp zero;
    EXPECT_EQ(zero.quarters(), (Quarters{0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}));
}

// An SMPTE label counter that knows nothing of the arithmetic under test: it adds one frame at
// a time and, at 29.97, skips labels ;00 and ;01 at the start of every minute not divisible by 10.
struct LabelCounter {
    int32_t nominal;
    bool dropFrame;
    Label label{0, 0, 0, 0, 0};
    int64_t droppedMinutes = 0;

    void next() {
        if (++label.frames < nominal) {
            return;
        }
        label.frames = 0;
        if (++label.seconds == 60) {
            label.seconds = 0;
            if (++label.minutes == 60) {
                label.minutes = 0;
                label.hours = (label.hours + 1) % 24;
            }
            if (dropFrame && label.minutes % 10 != 0) {
                label.frames = 2;
                ++droppedMinutes;
            }
        }
    }
};

struct DayCase {
    double fps;
    int32_t nominal;
    bool dropFrame;
    int32_t rate;
    double framesPerSecond;  // the real frame clock: 30000/1001 at 29.97
    int64_t framesPerDay;
};

// Every frame of a whole day at every rate, at the first instant of the frame (which must not
// fall into the previous one through rounding) and in its middle.
TEST(Stamp, matchesAFrameByFrameLabelCounterForAWholeDayAtEveryRate) {
    const DayCase cases[] = {
        {24, 24, false, 0, 24.0, 24 * 86400},
        {25, 25, false, 1, 25.0, 25 * 86400},
        {29.97, 30, true, 2, 30000.0 / 1001.0, 2589408},
        {30, 30, false, 3, 30.0, 30 * 86400},
    };
    for (const DayCase& c : cases) {
        LabelCounter counter{c.nominal, c.dropFrame};
        counter.label.rate = c.rate;
        int64_t mismatches = 0;
        for (int64_t n = 0; n < c.framesPerDay; ++n) {
            const double start = c.dropFrame ? static_cast<double>(n * 1001) / 30000.0
                                             : static_cast<double>(n) / c.framesPerSecond;
            const double middle = (static_cast<double>(n) + 0.5) / c.framesPerSecond;
            const Stamp a = stamp(start, c.fps);
            const Stamp b = stamp(middle, c.fps);
            if (!sameLabel(a, counter.label) || !sameLabel(b, counter.label)) {
                if (++mismatches <= 5) {
                    ADD_FAILURE() << "fps " << c.fps << " frame " << n << ": "
                                  << hasLabel(a, counter.label).message() << " / "
                                  << hasLabel(b, counter.label).message();
                }
            }
            counter.next();
        }
        EXPECT_EQ(mismatches, 0) << "fps " << c.fps;
        // The counter itself must have come full circle, dropping labels in 1296 minutes at 29.97.
        EXPECT_TRUE(hasLabel(stamp(0, c.fps), counter.label)) << "fps " << c.fps;
        EXPECT_EQ(counter.droppedMinutes, c.dropFrame ? 1296 : 0) << "fps " << c.fps;
    }
}

struct BoundaryCase {
    int32_t minute;  // the minute whose first label is checked
    Label lastBefore;
    Label first;
};

// Around the minute and ten-minute boundaries of the first hour and of the last one: the last
// label of the minute before and the first label of the minute, at the exact boundary instant.
TEST(Stamp, dropFrameMinutesStartAtTwoExceptEveryTenthMinute) {
    // Real frames before minute m of an hour: 17982 per ten minutes, 1800 for the first minute of
    // a block and 1798 for each further one.
    for (int32_t hour : {0, 1, 23}) {
        for (int32_t minute = 0; minute < 60; ++minute) {
            const int64_t blocks = hour * 6 + minute / 10;
            const int32_t inBlock = minute % 10;
            const int64_t frame = blocks * 17982 + (inBlock == 0 ? 0 : 1800 + (inBlock - 1) * 1798);
            const double at = static_cast<double>(frame * 1001) / 30000.0;
            const Label first{hour, minute, 0, inBlock == 0 ? 0 : 2, 2};
            EXPECT_TRUE(hasLabel(stamp(at, 29.97), first)) << hour << ":" << minute;
            if (frame > 0) {
                const double before = static_cast<double>((frame - 1) * 1001) / 30000.0;
                const Label last{minute == 0 ? hour - 1 : hour, (minute + 59) % 60, 59, 29, 2};
                EXPECT_TRUE(hasLabel(stamp(before, 29.97), last)) << hour << ":" << minute;
            }
        }
    }
}

TEST(Stamp, givesEachRateItsCode) {
    const struct {
        double fps;
        int32_t rate;
    } cases[] = {{24, 0}, {25, 1}, {29.97, 2}, {30, 3}, {29.970001, 3}, {50, 3}, {23.976, 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(stamp(1, c.fps).rate, c.rate) << c.fps;
    }
}

}  // namespace
