#include "check/capture.h"

#include <map>

#include "check/receiver.h"

namespace mtccheck {
namespace {

bool isQuarterFrame(const std::vector<uint8_t>& b) {
    return b.size() == 2 && b[0] == 0xF1 && b[1] < 0x80;
}

bool isFullFrame(const std::vector<uint8_t>& b) {
    return b.size() == 10 && b[0] == 0xF0 && b[1] == 0x7F && b[2] == 0x7F && b[3] == 0x01 &&
           b[4] == 0x01 && b[9] == 0xF7;
}

}  // namespace

MtcCapture decodeMtc(const std::vector<RecordEntry>& entries, int port) {
    MtcCapture capture;
    std::map<long long, double> callTimes;
    std::vector<double> opens;  // a new port session: quarter frames before it do not count
    for (const RecordEntry& entry : entries) {
        if (entry.event == "midiOutOpen" && entry.field("result") == "0") {
            opens.push_back(entry.at);
        }
        if ((entry.event == "midiOutShortMsg" || entry.event == "midiOutLongMsg") &&
            entry.field("result") == "0" && entry.has("seq")) {
            callTimes[entry.number("seq")] = entry.at;
        }
    }
    MtcDecoder decoder;
    std::vector<Reading> readings;
    double lastQuarterCallAt = -1;  // of the message before, when it was a quarter frame
    int expectedPiece = 0;  // after a full frame (or at the start) a cycle begins with piece 0
    QuarterCycle cycle;
    for (const RecordEntry& entry : entries) {
        if (entry.event != "wire" || entry.number("port") != port) {
            continue;
        }
        SentMessage message;
        message.seq = entry.number("seq");
        message.wireStart = static_cast<double>(entry.number("start")) / 1e6;
        message.wireEnd = static_cast<double>(entry.number("end")) / 1e6;
        parseHex(entry.field("bytes"), message.bytes);
        const auto call = callTimes.find(message.seq);
        message.callAt = call == callTimes.end() ? message.wireStart : call->second;
        capture.messages.push_back(message);
        const std::vector<uint8_t>& b = message.bytes;
        const double quarterBefore = lastQuarterCallAt;
        lastQuarterCallAt = -1;
        if (!isQuarterFrame(b) && !isFullFrame(b)) {
            capture.strays.push_back(formatHex(b.data(), b.size()));
            continue;
        }
        readings.clear();
        decoder.feed(b.data(), b.size(), message.wireEnd, readings);
        if (isQuarterFrame(b)) {
            capture.quarters.push_back(message);
            lastQuarterCallAt = message.callAt;
            const int piece = (b[1] >> 4) & 7;
            if (piece != expectedPiece) {
                capture.breaks.push_back("piece " + std::to_string(piece) + " where " +
                                         std::to_string(expectedPiece) + " was due (seq " +
                                         std::to_string(message.seq) + ")");
            }
            expectedPiece = (piece + 1) % 8;
            if (piece == 0) {
                cycle = QuarterCycle();
                cycle.firstCallAt = message.callAt;
                cycle.firstWireAt = message.wireStart;
            }
            for (const Reading& r : readings) {
                // A whole cycle, readable or not: the label it carried, as it arrived.
                if (r.kind == Reading::kCycle || r.kind == Reading::kBadLabel) {
                    cycle.tc = r.kind == Reading::kCycle ? advance(r.time, -2) : r.time;
                    capture.cycles.push_back(cycle);
                }
            }
            continue;
        }
        FullFrame frame;
        frame.message = message;
        frame.tc.rate = (b[5] >> 5) & 3;
        frame.tc.hours = b[5] & 0x1F;
        frame.tc.minutes = b[6];
        frame.tc.seconds = b[7];
        frame.tc.frames = b[8];
        double sessionStart = -1;
        for (double open : opens) {
            sessionStart = open <= message.callAt ? open : sessionStart;
        }
        frame.lateTick = quarterBefore > sessionStart &&
                         message.callAt - quarterBefore > frameSeconds(frame.tc.rate) / 4.0;
        capture.fullFrames.push_back(frame);
        expectedPiece = 0;
    }
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

std::string formatWithRate(const Timecode& tc) {
    return format(tc) + "@" + std::to_string(tc.rate);
}

}  // namespace mtccheck
