// Timecode labels as a receiver reads them, against counts worked out by hand from the SMPTE
// layout (drop-frame: 17982 frames per ten minutes, labels ;00 and ;01 skipped in each minute
// not divisible by ten).
#include "check/timecode.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using mtccheck::Timecode;

Timecode tc(int h, int m, int s, int f, int rate) {
    return Timecode{h, m, s, f, rate};
}

struct LabelCase {
    Timecode label;
    int64_t count;
    const char* text;
};

TEST(Timecode, labelsAndFrameCountsMatchTheHandWorkedTable) {
    const LabelCase cases[] = {
        {tc(0, 0, 0, 0, mtccheck::kRate25), 0, "00:00:00:00"},
        {tc(1, 0, 0, 0, mtccheck::kRate25), 90000, "01:00:00:00"},
        {tc(0, 0, 1, 0, mtccheck::kRate24), 24, "00:00:01:00"},
        {tc(23, 59, 59, 29, mtccheck::kRate30), 2591999, "23:59:59:29"},
        {tc(0, 0, 59, 29, mtccheck::kRate2997Drop), 1799, "00:00:59;29"},
        {tc(0, 1, 0, 2, mtccheck::kRate2997Drop), 1800, "00:01:00;02"},
        {tc(0, 1, 59, 29, mtccheck::kRate2997Drop), 3597, "00:01:59;29"},
        {tc(0, 2, 0, 2, mtccheck::kRate2997Drop), 3598, "00:02:00;02"},
        {tc(0, 9, 59, 29, mtccheck::kRate2997Drop), 17981, "00:09:59;29"},
        {tc(0, 10, 0, 0, mtccheck::kRate2997Drop), 17982, "00:10:00;00"},
        {tc(0, 10, 0, 1, mtccheck::kRate2997Drop), 17983, "00:10:00;01"},
        {tc(0, 11, 0, 2, mtccheck::kRate2997Drop), 19782, "00:11:00;02"},
        {tc(1, 0, 0, 0, mtccheck::kRate2997Drop), 107892, "01:00:00;00"},
        {tc(23, 59, 59, 29, mtccheck::kRate2997Drop), 2589407, "23:59:59;29"},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(mtccheck::isValid(c.label));
        EXPECT_EQ(mtccheck::frameCount(c.label), c.count);
        EXPECT_EQ(mtccheck::labelOf(c.count, c.label.rate), c.label);
        EXPECT_EQ(mtccheck::format(c.label), c.text);
    }
}

TEST(Timecode, stepsAcrossMinuteTenMinuteAndMidnightBoundaries) {
    struct Case {
        Timecode from;
        int64_t frames;
        Timecode to;
    };
    const Case cases[] = {
        // 00:01:00;02 follows 00:00:59;29, but 00:10:00;00 follows 00:09:59;29.
        {tc(0, 0, 59, 29, mtccheck::kRate2997Drop), 1, tc(0, 1, 0, 2, mtccheck::kRate2997Drop)},
        {tc(0, 1, 0, 2, mtccheck::kRate2997Drop), -1, tc(0, 0, 59, 29, mtccheck::kRate2997Drop)},
        {tc(0, 9, 59, 29, mtccheck::kRate2997Drop), 1, tc(0, 10, 0, 0, mtccheck::kRate2997Drop)},
        {tc(0, 0, 59, 28, mtccheck::kRate2997Drop), 2, tc(0, 1, 0, 2, mtccheck::kRate2997Drop)},
        {tc(23, 59, 59, 29, mtccheck::kRate2997Drop), 1, tc(0, 0, 0, 0, mtccheck::kRate2997Drop)},
        {tc(23, 59, 59, 29, mtccheck::kRate30), 2, tc(0, 0, 0, 1, mtccheck::kRate30)},
        {tc(0, 0, 0, 0, mtccheck::kRate24), -1, tc(23, 59, 59, 23, mtccheck::kRate24)},
        // Non-drop 30 keeps every label.
        {tc(0, 0, 59, 29, mtccheck::kRate30), 1, tc(0, 1, 0, 0, mtccheck::kRate30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mtccheck::format(c.from) + " + " + std::to_string(c.frames));
        EXPECT_EQ(mtccheck::advance(c.from, c.frames), c.to);
    }
}

TEST(Timecode, labelsThatCannotExistAreRefused) {
    struct Case {
        Timecode label;
        bool valid;
    };
    const Case cases[] = {
        {tc(0, 1, 0, 0, mtccheck::kRate2997Drop), false},  // dropped
        {tc(0, 1, 0, 1, mtccheck::kRate2997Drop), false},  // dropped
        {tc(0, 59, 0, 1, mtccheck::kRate2997Drop), false},
        {tc(0, 10, 0, 0, mtccheck::kRate2997Drop), true},  // every tenth minute keeps them
        {tc(0, 50, 0, 1, mtccheck::kRate2997Drop), true},
        {tc(0, 1, 1, 0, mtccheck::kRate2997Drop), true},  // only second 0 loses labels
        {tc(0, 1, 0, 0, mtccheck::kRate30), true},
        {tc(0, 0, 0, 25, mtccheck::kRate25), false},
        {tc(0, 0, 0, 24, mtccheck::kRate25), true},
        {tc(0, 0, 0, 24, mtccheck::kRate24), false},
        {tc(0, 0, 0, 30, mtccheck::kRate30), false},
        {tc(24, 0, 0, 0, mtccheck::kRate25), false},
        {tc(0, 60, 0, 0, mtccheck::kRate25), false},
        {tc(0, 0, 60, 0, mtccheck::kRate25), false},
        {tc(0, 0, 0, -1, mtccheck::kRate25), false},
        {tc(0, 0, 0, 0, 4), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mtccheck::format(c.label) + " rate " + std::to_string(c.label.rate));
        EXPECT_EQ(mtccheck::isValid(c.label), c.valid);
    }
}

TEST(Timecode, everyDropFrameCountOfADayHasOneValidLabelInOrder) {
    // A whole day, frame by frame: each count maps to an existing label, back to itself, and
    // each label is later than the one before (the skipped labels never appear).
    Timecode previous = mtccheck::labelOf(0, mtccheck::kRate2997Drop);
    for (int64_t count = 1; count < 2589408; ++count) {
        const Timecode t = mtccheck::labelOf(count, mtccheck::kRate2997Drop);
        const bool later =
            std::make_tuple(t.hours, t.minutes, t.seconds, t.frames) >
            std::make_tuple(previous.hours, previous.minutes, previous.seconds, previous.frames);
        if (!mtccheck::isValid(t) || mtccheck::frameCount(t) != count || !later) {
            FAIL() << "count " << count << " gives " << mtccheck::format(t);
        }
        previous = t;
    }
    EXPECT_EQ(mtccheck::labelOf(2589408, mtccheck::kRate2997Drop),
              tc(0, 0, 0, 0, mtccheck::kRate2997Drop));
}

TEST(Timecode, differencesAcrossMidnightAreSmall) {
    EXPECT_NEAR(mtccheck::wrapDifference(0.01 - 86400.0, mtccheck::kRate25), 0.01, 1e-9);
    EXPECT_NEAR(mtccheck::wrapDifference(86400.0 - 0.02, mtccheck::kRate30), -0.02, 1e-9);
    EXPECT_NEAR(mtccheck::wrapDifference(-0.005, mtccheck::kRate24), -0.005, 1e-12);
    // A drop-frame day is 2589408 frames of 1001/30000 s: 86399.9136 s, not 86400.
    EXPECT_NEAR(mtccheck::daySeconds(mtccheck::kRate2997Drop), 86399.9136, 1e-9);
    EXPECT_NEAR(mtccheck::wrapDifference(0.0 - 86399.9136, mtccheck::kRate2997Drop), 0.0, 1e-9);
}

TEST(Timecode, secondsOfALabelUseTheRealFrameClock) {
    EXPECT_DOUBLE_EQ(mtccheck::secondsOf(tc(1, 0, 0, 0, mtccheck::kRate25)), 3600.0);
    EXPECT_DOUBLE_EQ(mtccheck::secondsOf(tc(0, 0, 1, 12, mtccheck::kRate24)), 1.5);
    // 107892 frames of 1001/30000 s: an hour of drop-frame labels is 3.6 ms short of an hour.
    EXPECT_NEAR(mtccheck::secondsOf(tc(1, 0, 0, 0, mtccheck::kRate2997Drop)), 3599.9964, 1e-9);
    EXPECT_EQ(mtccheck::rateCodeOf(29.97), mtccheck::kRate2997Drop);
    EXPECT_EQ(mtccheck::rateCodeOf(29.970001), -1);
    EXPECT_EQ(mtccheck::rateCodeOf(30), mtccheck::kRate30);
}

}  // namespace
