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

}  // namespace velmarmtc
