// What the show did, as the host recorded it, and the report made from it afterwards.
//
// The host records its own side (when each step's clock report was written, what the player
// did, every clock report, the service's CPU time) and the receiver's side (every message on
// the wire of the port the service opened, with microsecond times on the same clock). The
// analysis replays the wire through the receiver of receiver.h and compares it with the
// player. It runs once on the host's main thread after the show; it allocates and never
// blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/receiver.h"
#include "tools/host/script.h"
#include "tools/host/wirelog.h"

namespace mtchost {

// The player from `atUs` on (until the next change): at `position` then, running or not.
struct PlayerChange {
    int64_t atUs = 0;
    double position = 0;
    bool playing = false;
};

// One step of the script as performed: when its clock report was written.
struct StepRecord {
    std::string label;
    Cause cause = Cause::kNone;
    int64_t writeUs = 0;
    double cpuSeconds = -1;  // the service's CPU time (user + kernel) then; negative: unknown
};

struct ShowRecord {
    std::string showName;
    std::string outputName;
    double fps = 25;
    double offset = 0;
    std::vector<StepRecord> steps;           // in order; the last one is the stop
    std::vector<PlayerChange> player;        // in time order
    std::vector<int64_t> reportWrites;       // every clock report, in order
    bool haveWire = false;                   // a recording of the port was read
    std::vector<WireMessage> wire;           // the receiver's port only, in wire order
    std::vector<std::string> serviceErrors;  // error events and failure replies during the show
    std::vector<std::string> hostProblems;   // what the host itself noticed going wrong
};

// Order statistics of a set of values (nearest rank); NaN when the set is empty.
struct Figures {
    size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double min = 0;
    double mean = 0;
};
Figures figuresOf(std::vector<double> values);

struct LocateRow {
    double wireEndS = 0;    // seconds after the show started, when it had fully arrived
    std::string time;       // the timecode it carried
    std::string cause;      // what the host did just before, or "late tick" etc.
    std::string step;       // the step's label when a step caused it
    double latencyMs = -1;  // host write to full frame on the wire; negative: no step
};

struct SegmentRow {
    std::string label;
    std::string cause;
    double startS = 0;
    double durationS = 0;
    Figures errorMs;  // |receiver - player| outside the settling windows
    Figures errorFrames;
    size_t settlingSamples = 0;
    Figures quarterLateMs;  // wire start of each quarter frame minus its due time
    int fullFrames = 0;
    double cpuMsPerS = -1;  // negative: unknown
};

struct ErrorPoint {
    double t = 0;   // seconds after the show started
    double ms = 0;  // receiver - player, signed
    bool settling = false;
};

struct Report {
    std::string showName;
    std::string outputName;
    double fps = 25;
    double offset = 0;
    double durationS = 0;
    bool haveWire = false;
    double sampleStepMs = 5;
    std::vector<SegmentRow> segments;
    Figures errorMs;
    Figures errorFrames;
    size_t settlingSamples = 0;
    Figures quarterLateMs;
    Figures locateLatencyMs;
    std::vector<LocateRow> locates;
    std::vector<std::pair<std::string, int>> locateCauses;  // every cause, counted
    uint64_t fullFrames = 0;
    uint64_t quarterFrames = 0;
    uint64_t cycles = 0;
    uint64_t badCycles = 0;
    // Whole cycles that did not read two frames on from the cycle before (a receiver sees the
    // time step by another amount), not counting the first after each full frame.
    uint64_t cycleJumps = 0;
    int missedLocates = 0;
    double cpuMsPerS = -1;
    std::vector<ErrorPoint> series;
    std::vector<std::pair<double, double>> settlingWindows;  // seconds after the start
    std::vector<std::string> problems;                       // anything a reader must not overlook
};

Report analyse(const ShowRecord& record);

// Where the player was at `atUs`, from its recorded changes (in time order): the position of
// the last change at or before then, run on in real time while playing.
double playerPositionAt(const std::vector<PlayerChange>& changes, int64_t atUs);

// The report as the host prints it at the end (UTF-8 text, lines end in "\n").
std::string reportText(const Report& report);
// The same figures, machine-readable.
std::string reportJson(const Report& report);
// The receiver's error over time with the locates marked, as a standalone SVG document.
std::string reportSvg(const Report& report);

}  // namespace mtchost
