// The one reader of the wire that every check uses: the messages of the service's port, in wire
// order, replayed through the strict receiver of receiver.h, each conclusion with when its
// message began to leave, and each full frame marked when it was the service's own relocation.
// mtc-host's report (analysis.h) and the end-to-end tests' capture (capture.h) both read the
// wire through it, so they count, time and explain the same messages the same way.
//
// The service's own relocation: when the service wakes more than a quarter interval late for
// its next quarter frame it sends a full frame instead of a burst of stale pieces (a late
// tick). On the wire that is a full frame handed over more than one quarter interval (at the
// frame's own rate) after the quarter frame just before it, in the same port session. The
// time a message was handed over is the driver call's where the reader knows it (the simulated
// port's recording) and when it began to leave otherwise (a MIDI input). A locate the host
// asked for while the service stalled looks the same: judges that know what the host did
// put full frames down to its steps first.
//
// Pure: any thread; allocates; never blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "check/receiver.h"
#include "check/recording.h"

namespace mtccheck {

// One conclusion of the receiver with when the message that carried it began to leave (seconds
// on the wire's clock) and, for a full frame, whether the service sent it on its own.
struct TimedReading {
    Reading reading;
    double startS = 0;
    bool relocation = false;
    size_t message = 0;  // the message's index in the wire read
};

// What the receiver counted: full frames, quarter frames, whole cycles, and the cycles that
// gave no time (a piece missing or out of order, or a label that cannot exist).
struct WireCounts {
    uint64_t fullFrames = 0, quarterFrames = 0, cycles = 0, badCycles = 0;
};

// The wire replayed through the receiver: its readings in wire order and its counters.
struct WireReadings {
    std::vector<TimedReading> readings;
    WireCounts counts;
};
WireReadings readWire(const std::vector<WireMessage>& wire);

// The message's bytes are one quarter frame (F1 0nnn dddd), or one well-formed full frame
// (F0 7F 7F 01 01 hr mn sc fr F7).
bool isQuarterFrame(const std::vector<uint8_t>& bytes);
bool isFullFrame(const std::vector<uint8_t>& bytes);

}  // namespace mtccheck
