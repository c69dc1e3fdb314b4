// The whole recording of one port as a receiver at the end of the cable reads it, with the
// service's side of each message beside it: when the service handed it to WinMM and when it
// left the wire. End-to-end checks judge the service's timing and content from this.
//
// The timecode comes from the one reader of the wire (wire.h), so the checks read the wire, and
// tell the service's own relocations, exactly as mtc-host does. Pure: any thread; allocates; never
// blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/recording.h"
#include "check/timecode.h"
#include "check/wire.h"

namespace mtccheck {

// One message of the port, in seconds on the recording's clock.
struct SentMessage {
    double callAt = 0;  // when the service handed it to WinMM
    double wireStart = 0;
    double wireEnd = 0;
    long long seq = 0;
    std::vector<uint8_t> bytes;
};

struct FullFrame {
    SentMessage message;
    Timecode tc;
    // The service's own relocation after a stall, by the wire's one rule (check/wire.h). A
    // locate the host asked for while the service was stalled looks the same, so tests that ask
    // for locates tell them apart by time (the first full frame after a request answers it).
    bool lateTick = false;
};

// A whole quarter-frame cycle: pieces 0 to 7 in order.
struct QuarterCycle {
    double firstCallAt = 0;  // call time of piece 0
    double firstWireAt = 0;
    Timecode tc;  // the label it carried (the receiver shows it two frames on)
};

struct MtcCapture {
    std::vector<SentMessage> messages;  // everything that left the wire, in wire order
    std::vector<FullFrame> fullFrames;
    std::vector<SentMessage> quarters;
    std::vector<QuarterCycle> cycles;
    // Pieces out of sequence: a quarter frame that is not the successor of the one before, or a
    // first piece after a full frame that is not piece 0.
    std::vector<std::string> breaks;
    // Anything on the wire that is neither a quarter frame nor a well-formed full frame.
    std::vector<std::string> strays;
    // The receiver's readings of the quarter and full frames (wire.h), for the judges.
    std::vector<TimedReading> readings;

    // The full frames that answer the host (every one but the late-tick relocations).
    std::vector<FullFrame> requested() const;
    size_t lateTicks() const;
};

// The messages of `port` that left the wire, read in wire order.
MtcCapture decodeMtc(const std::vector<RecordEntry>& entries, int port = 0);

}  // namespace mtccheck
