#include "check/wire.h"

namespace mtccheck {

bool isQuarterFrame(const std::vector<uint8_t>& b) {
    return b.size() == 2 && b[0] == 0xF1 && b[1] < 0x80;
}

bool isFullFrame(const std::vector<uint8_t>& b) {
    return b.size() == 10 && b[0] == 0xF0 && b[1] == 0x7F && b[2] == 0x7F && b[3] == 0x01 &&
           b[4] == 0x01 && b[9] == 0xF7;
}

namespace {

// Whether `m`, a full frame, is the service's own relocation, given the message just before it
// on the same port (null when there is none since the port was opened).
bool isRelocation(const WireMessage& m, const WireMessage* before) {
    if (before == nullptr || m.afterOpen || !isFullFrame(m.bytes) ||
        !isQuarterFrame(before->bytes)) {
        return false;
    }
    const int rate = (m.bytes[5] >> 5) & 3;
    return handedAtSeconds(m) - handedAtSeconds(*before) > frameSeconds(rate) / 4.0;
}

}  // namespace

WireReadings readWire(const std::vector<WireMessage>& wire) {
    WireReadings out;
    MtcDecoder decoder;
    std::vector<Reading> readings;
    for (size_t i = 0; i < wire.size(); ++i) {
        const WireMessage& m = wire[i];
        const bool relocation = isRelocation(m, i > 0 ? &wire[i - 1] : nullptr);
        readings.clear();
        decoder.feed(m.bytes.data(), m.bytes.size(), usToSeconds(m.endUs), readings);
        for (const Reading& r : readings) {
            out.readings.push_back({r, usToSeconds(m.startUs), relocation, i});
        }
    }
    out.counts = {decoder.fullFrames(), decoder.quarterFrames(), decoder.cycles(),
                  decoder.badCycles()};
    return out;
}

}  // namespace mtccheck
