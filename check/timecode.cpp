#include "check/timecode.h"

#include <cmath>
#include <cstdio>

namespace mtccheck {
namespace {

// Drop-frame: a ten-minute block holds one minute of 1800 frames and nine of 1798.
constexpr int64_t kDropBlock = 1800 + 9 * 1798;  // 17982
constexpr int64_t kDropDay = kDropBlock * 6 * 24;

}  // namespace

int64_t framesPerDay(int rate) {
    return rate == kRate2997Drop ? kDropDay : static_cast<int64_t>(nominalFps(rate)) * 86400;
}

double daySeconds(int rate) {
    return static_cast<double>(framesPerDay(rate)) / frameClock(rate);
}

double wrapDifference(double seconds, int rate) {
    return std::remainder(seconds, daySeconds(rate));
}

int nominalFps(int rate) {
    switch (rate) {
        case kRate24:
            return 24;
        case kRate25:
            return 25;
        default:
            return 30;
    }
}

double frameClock(int rate) {
    return rate == kRate2997Drop ? 30000.0 / 1001.0 : static_cast<double>(nominalFps(rate));
}

int rateCodeOf(double fps) {
    if (fps == 24.0) {
        return kRate24;
    }
    if (fps == 25.0) {
        return kRate25;
    }
    if (fps == 29.97) {
        return kRate2997Drop;
    }
    if (fps == 30.0) {
        return kRate30;
    }
    return -1;
}

double frameSeconds(int rate) {
    return 1.0 / frameClock(rate);
}

bool isDroppedLabel(const Timecode& tc) {
    return tc.rate == kRate2997Drop && tc.seconds == 0 && tc.frames < 2 && tc.minutes % 10 != 0;
}

bool isValid(const Timecode& tc) {
    if (tc.rate < 0 || tc.rate > 3) {
        return false;
    }
    if (tc.hours < 0 || tc.hours > 23 || tc.minutes < 0 || tc.minutes > 59 || tc.seconds < 0 ||
        tc.seconds > 59 || tc.frames < 0 || tc.frames >= nominalFps(tc.rate)) {
        return false;
    }
    return !isDroppedLabel(tc);
}

int64_t frameCount(const Timecode& tc) {
    const int64_t totalMinutes = 60LL * tc.hours + tc.minutes;
    const int64_t labels =
        (totalMinutes * 60 + tc.seconds) * nominalFps(tc.rate) + static_cast<int64_t>(tc.frames);
    if (tc.rate != kRate2997Drop) {
        return labels;
    }
    // Two labels are skipped in every minute but each tenth.
    return labels - 2 * (totalMinutes - totalMinutes / 10);
}

Timecode labelOf(int64_t count, int rate) {
    const int64_t day = framesPerDay(rate);
    count %= day;
    if (count < 0) {
        count += day;
    }
    Timecode tc;
    tc.rate = rate;
    const int nominal = nominalFps(rate);
    int64_t minuteOfDay = 0;
    int64_t labelInMinute = 0;
    if (rate == kRate2997Drop) {
        const int64_t block = count / kDropBlock;
        const int64_t inBlock = count % kDropBlock;
        if (inBlock < 1800) {
            minuteOfDay = block * 10;
            labelInMinute = inBlock;
        } else {
            const int64_t rest = inBlock - 1800;
            minuteOfDay = block * 10 + 1 + rest / 1798;
            labelInMinute = rest % 1798 + 2;  // labels ;00 and ;01 do not exist here
        }
    } else {
        minuteOfDay = count / (60LL * nominal);
        labelInMinute = count % (60LL * nominal);
    }
    tc.hours = static_cast<int>(minuteOfDay / 60);
    tc.minutes = static_cast<int>(minuteOfDay % 60);
    tc.seconds = static_cast<int>(labelInMinute / nominal);
    tc.frames = static_cast<int>(labelInMinute % nominal);
    return tc;
}

Timecode advance(const Timecode& tc, int64_t frames) {
    return labelOf(frameCount(tc) + frames, tc.rate);
}

double secondsOf(const Timecode& tc) {
    return static_cast<double>(frameCount(tc)) / frameClock(tc.rate);
}

std::string format(const Timecode& tc) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", tc.hours, tc.minutes, tc.seconds,
                  tc.rate == kRate2997Drop ? ';' : ':', tc.frames);
    return text;
}

std::string formatWithRate(const Timecode& tc) {
    return format(tc) + "@" + std::to_string(tc.rate);
}

}  // namespace mtccheck
