#include "check/capture.h"

#include "check/receiver.h"
#include "check/wire.h"

namespace mtccheck {
namespace {

// The messages of `port` that wholly left the wire, read by the one recording reader (a
// message a reset cut is not a message the receiver got).
std::vector<WireMessage> portMessages(const std::vector<RecordEntry>& entries, int port) {
    RecordingReader reader;
    for (const RecordEntry& entry : entries) {
        const std::string line = entry.raw + "\n";
        reader.feed(line.data(), line.size());
    }
    std::vector<WireMessage> out;
    for (WireMessage& m : reader.take()) {
        if (m.port == port && !m.cut) {
            out.push_back(std::move(m));
        }
    }
    return out;
}

SentMessage sentOf(const WireMessage& m) {
    SentMessage s;
    s.seq = static_cast<long long>(m.seq);
    s.wireStart = usToSeconds(m.startUs);
    s.wireEnd = usToSeconds(m.endUs);
    s.callAt = handedAtSeconds(m);
    s.bytes = m.bytes;
    return s;
}

// Pieces out of sequence, as the capture names them: after a full frame (or at the start) a
// cycle begins with piece 0, and each piece follows the one before.
class PieceOrder {
  public:
    void fullFrame() { expected_ = 0; }
    void quarter(const SentMessage& q, std::vector<std::string>& breaks) {
        const int piece = (q.bytes[1] >> 4) & 7;
        if (piece != expected_) {
            breaks.push_back("piece " + std::to_string(piece) + " where " +
                             std::to_string(expected_) + " was due (seq " + std::to_string(q.seq) +
                             ")");
        }
        expected_ = (piece + 1) % 8;
    }

  private:
    int expected_ = 0;
};

}  // namespace

MtcCapture decodeMtc(const std::vector<RecordEntry>& entries, int port) {
    MtcCapture capture;
    const std::vector<WireMessage> wire = portMessages(entries, port);
    std::vector<WireMessage> mtc;   // what the receiver reads: quarter and full frames only
    std::vector<size_t> sentIndex;  // each of those in capture.messages
    bool opened = false;            // a stray was the first message since the port was opened
    for (const WireMessage& m : wire) {
        capture.messages.push_back(sentOf(m));
        if (isQuarterFrame(m.bytes) || isFullFrame(m.bytes)) {
            sentIndex.push_back(capture.messages.size() - 1);
            mtc.push_back(m);
            mtc.back().afterOpen = m.afterOpen || opened;
            opened = false;
        } else {
            capture.strays.push_back(formatHex(m.bytes.data(), m.bytes.size()));
            opened = opened || m.afterOpen;
        }
    }
    WireReadings read = readWire(mtc);
    PieceOrder order;
    QuarterCycle cycle;
    size_t next = 0;
    for (size_t i = 0; i < mtc.size(); ++i) {
        const WireMessage& m = mtc[i];
        const SentMessage& sent = capture.messages[sentIndex[i]];
        const bool full = isFullFrame(m.bytes);
        if (full) {
            order.fullFrame();
        } else {
            capture.quarters.push_back(sent);
            order.quarter(sent, capture.breaks);
            if (((m.bytes[1] >> 4) & 7) == 0) {
                cycle = QuarterCycle();
                cycle.firstCallAt = sent.callAt;
                cycle.firstWireAt = sent.wireStart;
            }
        }
        for (; next < read.readings.size() && read.readings[next].message == i; ++next) {
            const TimedReading& tr = read.readings[next];
            const Reading& r = tr.reading;
            if (full && (r.kind == Reading::kFullFrame || r.kind == Reading::kBadLabel)) {
                // The label as it arrived, also one that cannot exist.
                capture.fullFrames.push_back({sent, r.time, tr.relocation});
            } else if (!full && (r.kind == Reading::kCycle || r.kind == Reading::kBadLabel)) {
                // A whole cycle, readable or not: the label it carried, as it arrived.
                cycle.tc = r.kind == Reading::kCycle ? advance(r.time, -2) : r.time;
                capture.cycles.push_back(cycle);
            }
        }
    }
    capture.readings = std::move(read.readings);
    return capture;
}

std::vector<FullFrame> MtcCapture::requested() const {
    std::vector<FullFrame> out;
    for (const FullFrame& frame : fullFrames) {
        if (!frame.lateTick) {
            out.push_back(frame);
        }
    }
    return out;
}

size_t MtcCapture::lateTicks() const {
    return fullFrames.size() - requested().size();
}

}  // namespace mtccheck
