#include "check/wire.h"

namespace mtccheck {
namespace {

double seconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

// When the service handed the message over: the call, or the wire's start when unknown.
double handedAt(const WireMessage& m) {
    return seconds(m.callUs >= 0 ? m.callUs : m.startUs);
}

}  // namespace

bool isQuarterFrame(const std::vector<uint8_t>& b) {
    return b.size() == 2 && b[0] == 0xF1 && b[1] < 0x80;
}

bool isFullFrame(const std::vector<uint8_t>& b) {
    return b.size() == 10 && b[0] == 0xF0 && b[1] == 0x7F && b[2] == 0x7F && b[3] == 0x01 &&
           b[4] == 0x01 && b[9] == 0xF7;
}

bool isRelocation(const WireMessage& m, const WireMessage* before) {
    if (before == nullptr || m.afterOpen || !isFullFrame(m.bytes) ||
        !isQuarterFrame(before->bytes)) {
        return false;
    }
    const int rate = (m.bytes[5] >> 5) & 3;
    return handedAt(m) - handedAt(*before) > frameSeconds(rate) / 4.0;
}

WireReadings readWire(const std::vector<WireMessage>& wire) {
    WireReadings out;
    MtcDecoder decoder;
    std::vector<Reading> readings;
    for (size_t i = 0; i < wire.size(); ++i) {
        const WireMessage& m = wire[i];
        const bool relocation = isRelocation(m, i > 0 ? &wire[i - 1] : nullptr);
        readings.clear();
        decoder.feed(m.bytes.data(), m.bytes.size(), seconds(m.endUs), readings);
        for (const Reading& r : readings) {
            out.readings.push_back({r, seconds(m.startUs), relocation, i});
        }
    }
    out.counts = {decoder.fullFrames(), decoder.quarterFrames(), decoder.cycles(),
                  decoder.badCycles()};
    return out;
}

}  // namespace mtccheck
