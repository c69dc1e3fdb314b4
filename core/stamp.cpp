// Timecode arithmetic. Called on the engine's thread once per locate and once per 8-piece
// quarter-frame cycle; allocates nothing and calls nothing but ceil, floor and fmod.
#include "core/stamp.h"

#include <cmath>

namespace velmarmtc {

namespace {

// Real frames per 24 h of drop-frame labels: 144 ten-minute blocks of 17982 labels each.
constexpr int64_t kDropFrameWrap = 2589408;
// Real frames in one ten-minute block (ten minutes of 1800 labels, less 2 in each of 9 minutes).
constexpr int64_t kDropFrameBlock = 17982;
// Real frames in one dropped minute (1800 labels less the two skipped ones).
constexpr int64_t kDropFrameMinute = 1798;

}  // namespace

double frameClock(double fps) {
    // 29.97 means the 30000/1001 clock with drop-frame labels, not a clock of 29.97 Hz.
    return fps == 29.97 ? 30000.0 / 1001.0 : fps;
}

int64_t framesPerDay(double fps) {
    return fps == 29.97 ? kDropFrameWrap : static_cast<int64_t>(std::ceil(fps)) * 86400;
}

namespace {

// The count of real frames since 00:00:00:00 of the frame that contains `seconds`, wrapped at
// 24 h; negative, -0 and NaN positions count as 0. The wrap is taken on the double, so that a
// position too large for an integer count still lands in the day.
int64_t frameCountAt(double seconds, double fps) {
    const double wrap = static_cast<double>(framesPerDay(fps));
    // Negative, -0 and NaN positions all count as the start of the day.
    const double s = seconds > 0 ? seconds : 0.0;
    // A position exactly on a frame boundary can multiply out a hair below it (1.16 s at 25
    // fps gives 28.999999999999996); a ten-millionth of a frame puts it back in its frame.
    double count = std::fmod(std::floor(s * frameClock(fps) + 1e-7), wrap);
    // Only an infinite position gets here as NaN; converting NaN to an integer is undefined.
    if (!(count >= 0.0)) {
        count = 0.0;
    }
    return static_cast<int64_t>(count);
}

}  // namespace

Stamp stampOfCount(int64_t count, double fps) {
    const int nominal = static_cast<int>(std::ceil(fps));
    const bool dropFrame = fps == 29.97;
    const int64_t day = framesPerDay(fps);
    int64_t n = ((count % day) + day) % day;

    if (dropFrame) {
        // Map the count of real frames onto the 30-per-second label grid that skips ;00 and ;01
        // at the start of every minute except the tenth ones.
        const int64_t blocks = n / kDropFrameBlock;
        const int64_t within = n - kDropFrameBlock * blocks;
        int64_t minutes = (within - 2) / kDropFrameMinute;
        if (minutes < 0) {
            minutes = 0;
        }
        n += 18 * blocks + 2 * minutes;
    }

    Stamp out;
    out.frames = static_cast<int32_t>(n % nominal);
    const int64_t t = n / nominal;
    out.hours = static_cast<int32_t>((t / 3600) % 24);
    out.minutes = static_cast<int32_t>((t / 60) % 60);
    out.seconds = static_cast<int32_t>(t % 60);
    out.rate = fps == 24 ? 0 : fps == 25 ? 1 : dropFrame ? 2 : 3;
    return out;
}

Stamp stamp(double seconds, double fps) {
    return stampOfCount(frameCountAt(seconds, fps), fps);
}

std::array<uint8_t, 8> Stamp::quarters() const {
    const int32_t values[8] = {
        frames & 0x0F,  frames >> 4,  seconds & 0x0F, seconds >> 4,
        minutes & 0x0F, minutes >> 4, hours & 0x0F,   (rate << 1) | (hours >> 4),
    };
    std::array<uint8_t, 8> out{};
    for (int32_t k = 0; k < 8; ++k) {
        out[static_cast<size_t>(k)] = static_cast<uint8_t>((k << 4) | values[k]);
    }
    return out;
}

std::array<uint8_t, 10> Stamp::fullFrame() const {
    return {0xF0,
            0x7F,
            0x7F,
            0x01,
            0x01,
            static_cast<uint8_t>((rate << 5) | hours),
            static_cast<uint8_t>(minutes),
            static_cast<uint8_t>(seconds),
            static_cast<uint8_t>(frames),
            0xF7};
}

}  // namespace velmarmtc
