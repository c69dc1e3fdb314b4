// A strict MTC receiver: the view of whoever sits at the other end of the MIDI cable.
//
// It reads the wire as bytes with the time each message finished arriving, and reports what a
// careful receiver would conclude:
// - a full frame (F0 7F 7F 01 01 hr mn sc fr F7) locates at once to the time it carries;
// - quarter frames (F1 0nnn dddd) are collected piece by piece; at piece 7 a cycle that arrived
//   as 0,1,...,7 without a gap gives a time. That time was current when piece 0 was sent, two
//   frames ago, so the receiver reads it as the cycle's time plus two frames;
// - the rate code (full frame hour bits 5-6, piece 7 bits 1-2) sets the frame rate, and 29.97
//   reads drop-frame labels;
// - a cycle with a missing, repeated or out-of-order piece, or whose label cannot exist, gives
//   no time at all (a receiver that guessed would jump).
// Nothing here knows how the service builds its messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "check/timecode.h"

namespace mtccheck {

// Data bytes that follow a status byte (0x80 and above): 2 or 1 for channel voice messages, 1
// or 2 for the system common ones that carry data (F1, F3; F2), none for the rest. Pure.
int dataBytesOf(uint8_t status);

// One conclusion of the receiver, in wire order.
struct Reading {
    enum Kind {
        kFullFrame,  // a full frame arrived: `time` is its time, valid
        kCycle,      // a quarter-frame cycle completed: `time` is cycle + 2 frames, valid
        kBadCycle,   // pieces arrived out of order or missing: no time
        kBadLabel,   // a full frame or cycle carried a label that cannot exist: no time
        kQuarter,    // one quarter frame arrived (every piece, for counting and timing)
    };
    Kind kind = kQuarter;
    double at = 0;   // seconds on the caller's clock when the message's last byte arrived
    Timecode time;   // kFullFrame and kCycle; kBadLabel: the label as it arrived
    int piece = -1;  // kQuarter
};

// Turns wire bytes into readings. Owned and called by one thread; allocates only to grow the
// readings vector and the System Exclusive buffer; never blocks.
class MtcDecoder {
  public:
    // Feeds bytes that finished arriving at `at` seconds. Messages may span calls (a System
    // Exclusive split over two feeds completes in the second). Appends readings to `out`.
    void feed(const uint8_t* bytes, size_t count, double at, std::vector<Reading>& out);

    // The same bytes as a receiver would see after a cable was pulled: whatever was half
    // received is forgotten (an unfinished System Exclusive, a half-built cycle).
    void resync();

    uint64_t fullFrames() const { return fullFrames_; }
    uint64_t quarterFrames() const { return quarterFrames_; }
    uint64_t cycles() const { return cycles_; }
    uint64_t badCycles() const { return badCycles_; }

  private:
    void quarter(uint8_t data, double at, std::vector<Reading>& out);
    // Piece 7 has arrived in order: the cycle's label, or a bad label.
    void completeCycle(double at, std::vector<Reading>& out);
    void systemExclusive(double at, std::vector<Reading>& out);

    // Byte-level state.
    uint8_t status_ = 0;  // running message status whose data bytes are expected
    int dataNeeded_ = 0;  // data bytes still to come for status_
    bool inSysex_ = false;
    std::vector<uint8_t> sysex_;  // bytes after F0, without F7

    // Quarter-frame cycle state: the piece expected next, -1 while waiting for piece 0.
    int nextPiece_ = -1;
    uint8_t nibbles_[8] = {};

    uint64_t fullFrames_ = 0;
    uint64_t quarterFrames_ = 0;
    uint64_t cycles_ = 0;
    uint64_t badCycles_ = 0;
};

// What the receiver shows between messages: after a full frame it stands still at that time;
// after a good cycle it runs on in real time as long as quarter frames keep coming, and stops
// where it was when they stop. Any thread (one owner); never blocks or allocates.
class ReceiverClock {
  public:
    void apply(const Reading& reading);

    bool hasTime() const { return hasTime_; }
    // Quarter frames have given a time since the last full frame (it is not standing still).
    bool running() const { return running_; }
    // Seconds of timecode the receiver shows at `at` (same clock as the readings).
    double readAt(double at) const;
    // Running on quarter frames, and the last two cycles followed each other by two frames.
    bool lockedAt(double at) const;
    // The rate of the last time read.
    int rate() const { return rate_; }
    double lastReadingAt() const { return anchorAt_; }

  private:
    // Shows the reading's time from its arrival on, running or standing still.
    void anchor(const Reading& reading, bool running);
    double runsUntil() const;

    bool hasTime_ = false;
    bool running_ = false;
    bool consecutive_ = false;
    double anchorTime_ = 0;  // timecode seconds at anchorAt_
    double anchorAt_ = 0;
    double lastQuarterAt_ = 0;
    int rate_ = kRate25;
    bool haveCycle_ = false;
    Timecode lastCycle_;
};

}  // namespace mtccheck
