// Timecode labels as an MTC receiver reads them: hours, minutes, seconds and frames with the
// rate code that came with them, turned into a count of real frames and into seconds.
//
// This is the receiver's own arithmetic, written from the SMPTE layout, so that what the host
// reports about the wire never depends on the service's encoder agreeing with itself.
// Everything here is pure: any thread, never blocks; only `format` allocates.
#pragma once

#include <cstdint>
#include <string>

namespace mtccheck {

// MTC rate codes as carried in quarter-frame piece 7 and in the full frame's hour byte.
enum RateCode : int { kRate24 = 0, kRate25 = 1, kRate2997Drop = 2, kRate30 = 3 };

struct Timecode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
    int rate = kRate25;

    bool operator==(const Timecode& o) const {
        return hours == o.hours && minutes == o.minutes && seconds == o.seconds &&
               frames == o.frames && rate == o.rate;
    }
    bool operator!=(const Timecode& o) const { return !(*this == o); }
};

// Labels per second (24, 25, 30, 30) and real frames per second (24, 25, 30000/1001, 30).
int nominalFps(int rate);
double frameClock(int rate);

// Real frames in one timecode day (labels wrap to 00:00:00:00 after it) and its length in
// seconds: 86400 s, except at 29.97 drop-frame, where 2589408 frames last 86399.9136 s.
int64_t framesPerDay(int rate);
double daySeconds(int rate);

// `seconds` brought into [-half a day, +half a day): the difference of two timecode times
// read across midnight is small, not nearly a day.
double wrapDifference(double seconds, int rate);

// The rate code of a frame rate given as the host gives it (24, 25, 29.97, 30); -1 otherwise.
int rateCodeOf(double fps);

// Seconds one frame lasts at a rate (1/24, 1/25, 1001/30000, 1/30).
double frameSeconds(int rate);

// True for the labels ;00 and ;01 of minutes not divisible by ten at 29.97 drop-frame, which
// drop-frame counting skips.
bool isDroppedLabel(const Timecode& tc);

// True when every field is in range for the rate and, at 29.97 drop-frame, the label exists
// (frames 0 and 1 are skipped at the start of every minute not divisible by ten).
bool isValid(const Timecode& tc);

// Real frames since 00:00:00:00. Only meaningful for a valid label.
int64_t frameCount(const Timecode& tc);

// The label of a frame count at a rate; counts wrap at 24 hours (negative counts wrap too).
Timecode labelOf(int64_t count, int rate);

// The label `frames` real frames after (or before) `tc`, across drop-frame gaps and midnight.
Timecode advance(const Timecode& tc, int64_t frames);

// Seconds since 00:00:00:00 of the start of the labelled frame.
double secondsOf(const Timecode& tc);

// "01:00:00:00" (";" before the frames at 29.97 drop-frame).
std::string format(const Timecode& tc);
// A label with its rate code, as failure messages name it: "01:00:00:00@1".
std::string formatWithRate(const Timecode& tc);

}  // namespace mtccheck
