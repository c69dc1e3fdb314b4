#include "check/receiver.h"

#include <algorithm>

namespace mtccheck {
namespace {

// Longest System Exclusive worth keeping: a full frame has 8 bytes between F0 and F7. Longer
// messages are someone else's and are skipped without growing the buffer.
constexpr size_t kSysexKeep = 16;

}  // namespace

int dataBytesOf(uint8_t status) {
    if (status < 0xF0) {
        const uint8_t kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
    }
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        default:
            return 0;
    }
}

void MtcDecoder::resync() {
    status_ = 0;
    dataNeeded_ = 0;
    inSysex_ = false;
    sysex_.clear();
    nextPiece_ = -1;
}

void MtcDecoder::feed(const uint8_t* bytes, size_t count, double at, std::vector<Reading>& out) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0xF8) {
            continue;  // real-time bytes may appear anywhere, even inside a System Exclusive
        }
        if (b == 0xF0) {
            inSysex_ = true;
            sysex_.clear();
            status_ = 0;
            dataNeeded_ = 0;
            continue;
        }
        if (b == 0xF7) {
            if (inSysex_) {
                systemExclusive(at, out);
            }
            inSysex_ = false;
            continue;
        }
        if (b >= 0x80) {
            // Any other status ends an unterminated System Exclusive without meaning.
            inSysex_ = false;
            status_ = b;
            dataNeeded_ = dataBytesOf(b);
            if (dataNeeded_ == 0) {
                status_ = 0;
            }
            continue;
        }
        if (inSysex_) {
            if (sysex_.size() <= kSysexKeep) {
                sysex_.push_back(b);
            }
            continue;
        }
        if (status_ == 0 || dataNeeded_ == 0) {
            continue;  // a stray data byte: nothing to attach it to
        }
        if (status_ == 0xF1) {
            quarter(b, at, out);
        }
        if (--dataNeeded_ == 0) {
            if (status_ >= 0xF0) {
                status_ = 0;  // system common messages have no running status
            } else {
                dataNeeded_ = dataBytesOf(status_);
            }
        }
    }
}

void MtcDecoder::quarter(uint8_t data, double at, std::vector<Reading>& out) {
    ++quarterFrames_;
    const int piece = (data >> 4) & 0x07;
    Reading seen;
    seen.kind = Reading::kQuarter;
    seen.at = at;
    seen.piece = piece;
    out.push_back(seen);

    Reading bad;
    bad.kind = Reading::kBadCycle;
    bad.at = at;
    if (piece == 0) {
        if (nextPiece_ > 0) {
            ++badCycles_;  // the cycle before never reached piece 7
            out.push_back(bad);
        }
        nibbles_[0] = data & 0x0F;
        nextPiece_ = 1;
        return;
    }
    if (nextPiece_ != piece) {
        // Out of order, repeated or without its piece 0: this cycle is lost; count it once
        // (-2 waits silently for the next piece 0).
        if (nextPiece_ != -2) {
            ++badCycles_;
            out.push_back(bad);
        }
        nextPiece_ = -2;
        return;
    }
    nibbles_[piece] = data & 0x0F;
    if (piece < 7) {
        nextPiece_ = piece + 1;
        return;
    }
    nextPiece_ = -1;
    completeCycle(at, out);
}

void MtcDecoder::completeCycle(double at, std::vector<Reading>& out) {
    Timecode tc;
    tc.frames = nibbles_[0] | (nibbles_[1] << 4);
    tc.seconds = nibbles_[2] | (nibbles_[3] << 4);
    tc.minutes = nibbles_[4] | (nibbles_[5] << 4);
    tc.hours = nibbles_[6] | ((nibbles_[7] & 0x01) << 4);
    tc.rate = (nibbles_[7] >> 1) & 0x03;
    // Bits the layout leaves unused must be zero: frames high nibble 1 bit, seconds and
    // minutes 2 bits, piece 7 bit 3.
    const bool reservedClear = (nibbles_[1] & 0x0E) == 0 && (nibbles_[3] & 0x0C) == 0 &&
                               (nibbles_[5] & 0x0C) == 0 && (nibbles_[7] & 0x08) == 0;
    Reading reading;
    reading.at = at;
    if (!reservedClear || !isValid(tc)) {
        reading.time = tc;
        ++badCycles_;
        reading.kind = Reading::kBadLabel;
        out.push_back(reading);
        return;
    }
    ++cycles_;
    reading.kind = Reading::kCycle;
    reading.time = advance(tc, 2);
    out.push_back(reading);
}

void MtcDecoder::systemExclusive(double at, std::vector<Reading>& out) {
    // Universal real-time (7F), any device id, MTC (01) full message (01), four time bytes.
    if (sysex_.size() != 8 || sysex_[0] != 0x7F || sysex_[2] != 0x01 || sysex_[3] != 0x01) {
        return;
    }
    ++fullFrames_;
    nextPiece_ = -1;  // a locate restarts the quarter-frame stream; a half cycle is not a fault
    Timecode tc;
    tc.rate = (sysex_[4] >> 5) & 0x03;
    tc.hours = sysex_[4] & 0x1F;
    tc.minutes = sysex_[5];
    tc.seconds = sysex_[6];
    tc.frames = sysex_[7];
    Reading reading;
    reading.at = at;
    if (!isValid(tc)) {
        reading.time = tc;
        reading.kind = Reading::kBadLabel;
        out.push_back(reading);
        return;
    }
    reading.kind = Reading::kFullFrame;
    reading.time = tc;
    out.push_back(reading);
}

void ReceiverClock::apply(const Reading& reading) {
    switch (reading.kind) {
        case Reading::kQuarter:
            lastQuarterAt_ = reading.at;
            return;
        case Reading::kFullFrame:
            consecutive_ = false;
            haveCycle_ = false;
            anchor(reading, false);
            return;
        case Reading::kCycle:
            // Two frames on, also across midnight.
            consecutive_ = haveCycle_ && lastCycle_.rate == reading.time.rate &&
                           (frameCount(reading.time) - frameCount(lastCycle_) +
                            framesPerDay(reading.time.rate)) %
                                   framesPerDay(reading.time.rate) ==
                               2;
            haveCycle_ = true;
            lastCycle_ = reading.time;
            anchor(reading, true);
            return;
        case Reading::kBadCycle:
        case Reading::kBadLabel:
            consecutive_ = false;
            haveCycle_ = false;
            return;
    }
}

void ReceiverClock::anchor(const Reading& reading, bool running) {
    hasTime_ = true;
    running_ = running;
    anchorTime_ = secondsOf(reading.time);
    anchorAt_ = reading.at;
    rate_ = reading.time.rate;
}

double ReceiverClock::runsUntil() const {
    // A receiver keeps running for a moment after the last quarter frame (it cannot tell a
    // late one from a stopped stream at once); two quarter intervals is a common allowance.
    const double quarterInterval = 1.0 / (4.0 * frameClock(rate_));
    return running_ ? std::max(anchorAt_, lastQuarterAt_ + 2 * quarterInterval) : anchorAt_;
}

double ReceiverClock::readAt(double at) const {
    if (!running_) {
        return anchorTime_;
    }
    return anchorTime_ + std::max(0.0, std::min(at, runsUntil()) - anchorAt_);
}

bool ReceiverClock::lockedAt(double at) const {
    return running_ && consecutive_ && at <= runsUntil();
}

}  // namespace mtccheck
