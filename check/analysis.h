// What the show did, as the host recorded it, and the report made from it afterwards.
//
// The host records its own side (when each step's clock report was written, what the player
// did, every clock report, the service's CPU time) and the receiver's side (every message on
// the wire of the port the service opened, with microsecond times on the same clock). Where
// the wire messages come from does not matter (a recording of the simulated port, or a MIDI
// input), as long as their times are on the host's clock. The analysis replays the wire
// through the receiver of receiver.h and compares it with the player, in passes that each
// answer one question and can be checked alone; analyse() runs them all. It runs once after
// the show, on one thread; it allocates and never blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/player.h"
#include "check/receiver.h"
#include "check/recording.h"
#include "check/script.h"
#include "check/stats.h"
#include "check/wire.h"

namespace mtccheck {

// One step of the script as performed: when its clock report was written.
struct StepRecord {
    std::string label;
    Cause cause = Cause::kNone;
    int64_t writeUs = 0;
    double cpuSeconds = -1;  // the service's CPU time (user + kernel) then; negative: unknown
};

// What the receiver read: the simulated port's recording of the wire, or a MIDI input the
// output is looped back to (its figures then include both drivers and both transports).
enum class WireSource { kRecording, kInput };

struct ShowRecord {
    std::string showName;
    std::string outputName;
    std::string playerClock;  // how the player read and reported its clock (ClockModel)
    bool phaseLock = false;   // the show started the service with "phaseLock"
    double fps = 25;
    double offset = 0;
    std::vector<StepRecord> steps;               // in order; the last one is the stop
    std::vector<PlayerChange> player;            // in time order
    std::vector<int64_t> reportWrites;           // every clock report, in order
    bool haveWire = false;                       // a recording of the port was read
    WireSource source = WireSource::kRecording;  // where `wire` came from, when haveWire
    std::string sourceName;                      // the recording's path, or the input's name
    std::vector<WireMessage> wire;               // the receiver's port only, in wire order
    std::vector<std::string> serviceErrors;      // error events and failure replies during the show
    std::vector<std::string> hostProblems;       // what the host itself noticed going wrong
};

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
    Figures phaseMs;          // piece 0 against the player's frame grid (cyclePhases)
    uint64_t cycleJumps = 0;  // cycles not two frames on from the one before
    double cpuMsPerS = -1;    // negative: unknown
};

struct ErrorPoint {
    double t = 0;   // seconds after the show started
    double ms = 0;  // receiver - player, signed
    bool settling = false;
};

struct Report {
    std::string showName;
    std::string outputName;
    std::string playerClock;
    bool phaseLock = false;
    double fps = 25;
    double offset = 0;
    double durationS = 0;
    bool haveWire = false;
    WireSource source = WireSource::kRecording;
    std::string sourceName;
    double sampleStepMs = 5;
    std::vector<SegmentRow> segments;
    Figures errorMs;
    Figures errorFrames;
    size_t settlingSamples = 0;
    Figures quarterLateMs;
    Figures locateLatencyMs;
    // When each whole cycle's piece 0 began to leave, against the start of its label's frame on
    // the player's true clock, outside the settling windows: the figures, and each cycle's
    // (seconds after the start, milliseconds).
    Figures phaseMs;
    std::vector<std::pair<double, double>> phases;
    std::vector<LocateRow> locates;
    std::vector<std::pair<std::string, int>> locateCauses;  // every cause, counted
    WireCounts counts;
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

// ---- The passes analyse() is made of, in the order it runs them ----------------------------

// The rate code of the show's frame rate (25 fps for a rate MTC does not have).
int rateOfShow(const ShowRecord& record);

// The show cut at its steps: one row per step before the stop, with its label, cause, start
// (seconds after the first step), length and the service's CPU use. Figures stay empty.
std::vector<SegmentRow> segmentShow(const ShowRecord& record);
// The segment that host time `t` (seconds) falls in, or -1 before the first step or from the
// stop on.
int segmentAt(const ShowRecord& record, double t);

// One full frame the receiver saw, and what it is put down to.
struct FullFrameSeen {
    double startS = 0;  // host clock, seconds
    double endS = 0;
    Timecode time;
    int step = -1;            // the step that asked for it, or -1
    std::string cause;        // the step's cause name, or "report gap", "late tick", "unexplained"
    bool relocation = false;  // the wire shows the service's own relocation (wire.h)
};
// Each full frame put down to what the host did just before; `answered` gets, per step,
// whether a full frame answered it (or a later step overtook it before its frame went out).
// A frame no step claims is a "report gap" when the host's reports paused long enough for the
// service to relocate, a "late tick" when the wire shows the service's own relocation, and
// "unexplained" otherwise.
std::vector<FullFrameSeen> attributeLocates(const ShowRecord& record,
                                            const std::vector<TimedReading>& readings,
                                            std::vector<bool>& answered);

// The steps that asked for a locate and got no full frame, in order.
std::vector<size_t> missedLocates(const ShowRecord& record, const std::vector<bool>& answered);

// Host-time windows (sorted) in which a locate is settling: from the step (or the unasked
// frame) until the receiver shows the new place, and half a second after each missed locate.
std::vector<std::pair<double, double>> settlingWindows(const ShowRecord& record,
                                                       const std::vector<TimedReading>& readings,
                                                       const std::vector<FullFrameSeen>& fulls,
                                                       const std::vector<size_t>& missed);

// The receiver's reading minus the player's position every 5 ms from `fromS` until the stop,
// once the receiver has a time (host clock seconds; `settling` marks samples in a window).
std::vector<ErrorPoint> sampleReceiverError(const ShowRecord& record,
                                            const std::vector<TimedReading>& readings, double fromS,
                                            const std::vector<std::pair<double, double>>& windows);

// Each quarter frame's lateness: after each full frame has fully arrived, the k-th quarter
// frame is due k quarter intervals later; `first` is when it began to leave (host clock
// seconds), `second` how late that was in milliseconds. With `fromFirstQuarter` (phase lock,
// whose first cycle waits for the player's next even frame boundary) the schedule runs from the
// first quarter frame after each full frame instead.
std::vector<std::pair<double, double>> quarterLateness(const std::vector<TimedReading>& readings,
                                                       int rate, bool fromFirstQuarter = false);

// Whole cycles that did not read two frames on from the whole cycle before, not counting the
// first after a locate or after a cycle that gave no time: when each such cycle completed (host
// clock seconds), and how many there are.
std::vector<double> cycleJumpTimes(const std::vector<TimedReading>& readings);
uint64_t countCycleJumps(const std::vector<TimedReading>& readings);

// Each whole cycle's phase while the player plays: `first` is when its piece 0 began to leave
// (host clock seconds), `second` how far the player's true timecode had run past the start of
// the cycle's label by then, in milliseconds of the host's clock. A generator locked to the
// player sends piece 0 as its frame begins (0 ms); one that follows reports lags it.
std::vector<std::pair<double, double>> cyclePhases(const ShowRecord& record,
                                                   const std::vector<TimedReading>& readings);

// The report as the host prints it at the end (UTF-8 text, lines end in "\n").
std::string reportText(const Report& report);
// The receiver's main figures from two readings of one show side by side: what left the wire
// (the recording) and what came back through an input looped to it. Text as reportText.
std::string comparisonText(const Report& recording, const Report& input);
// The same figures, machine-readable.
std::string reportJson(const Report& report);
// The receiver's error over time with the locates marked, as a standalone SVG document.
std::string reportSvg(const Report& report);

}  // namespace mtccheck
