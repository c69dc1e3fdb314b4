// Timecode stamps and the two MTC wire forms (quarter-frame data bytes, full-frame SysEx).
// Pure functions: no allocation, no failure, no clock. Safe on any thread.
#pragma once

#include <array>
#include <cstdint>

namespace velmarmtc {

// One SMPTE label (hours:minutes:seconds:frames) with its MTC rate code
// (0 = 24, 1 = 25, 2 = 29.97 drop-frame, 3 = 30 fps).
struct Stamp {
    int32_t hours = 0;
    int32_t minutes = 0;
    int32_t seconds = 0;
    int32_t frames = 0;
    int32_t rate = 0;

    // The eight quarter-frame data bytes; element k is piece k (0nnn dddd).
    // The 0xF1 status byte is the sink's business.
    std::array<uint8_t, 8> quarters() const;

    // F0 7F 7F 01 01 hr mn sc fr F7: the MIDI Time Code Full Message.
    std::array<uint8_t, 10> fullFrame() const;
};

// The stamp of the frame that contains `seconds` at `fps` (24, 25, 29.97 or 30; any other
// value gets rate code 3). Negative, -0 and NaN positions count as 0; the label wraps at 24 h.
Stamp stamp(double seconds, double fps);

// Real frames per second: 30000/1001 at 29.97 (drop-frame labels count this clock), else fps.
double frameClock(double fps);
// Real frames in one day of labels (the count wraps there): 2589408 at 29.97, else fps * 86400.
int64_t framesPerDay(double fps);
// The label of a count of real frames (wrapped into the day first, so a count a frame or two
// past the day's last one names the first frames of the next day).
Stamp stampOfCount(int64_t count, double fps);

}  // namespace velmarmtc
