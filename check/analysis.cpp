#include "check/analysis.h"

#include "check/follow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace mtccheck {
namespace {

constexpr double kSampleStep = 0.005;  // the receiver's reading is compared every 5 ms
constexpr double kClaimWindow = 0.5;   // a full frame later than this is not the step's locate
constexpr double kSettleLimit = 0.5;   // a locate that has not settled by then counts as error
constexpr double kReportGap = 0.15;    // the service relocates after a report gap this long
constexpr size_t kMostChartPoints = 6000;

std::string secondsText(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

bool expectsLocate(Cause cause) {
    return cause != Cause::kNone && cause != Cause::kStop;
}

// Whether `t` lies in one of the settling windows (both ends included).
bool inSettling(const std::vector<std::pair<double, double>>& windows, double t) {
    return std::any_of(windows.begin(), windows.end(), [t](const std::pair<double, double>& w) {
        return t >= w.first && t <= w.second;
    });
}

// When the show began: its first step's write, the origin of every time the report gives.
double showStart(const ShowRecord& rec) {
    return usToSeconds(rec.steps.front().writeUs);
}

}  // namespace

int rateOfShow(const ShowRecord& rec) {
    return rateCodeOf(rec.fps) >= 0 ? rateCodeOf(rec.fps) : kRate25;
}

std::vector<SegmentRow> segmentShow(const ShowRecord& rec) {
    std::vector<SegmentRow> rows(rec.steps.empty() ? 0 : rec.steps.size() - 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        SegmentRow& row = rows[i];
        row.label = rec.steps[i].label;
        row.cause = causeName(rec.steps[i].cause);
        row.startS = usToSeconds(rec.steps[i].writeUs) - showStart(rec);
        row.durationS = usToSeconds(rec.steps[i + 1].writeUs - rec.steps[i].writeUs);
        const double c0 = rec.steps[i].cpuSeconds;
        const double c1 = rec.steps[i + 1].cpuSeconds;
        if (c0 >= 0 && c1 >= 0 && row.durationS > 0) {
            row.cpuMsPerS = (c1 - c0) * 1000 / row.durationS;
        }
    }
    return rows;
}

int segmentAt(const ShowRecord& rec, double t) {
    if (rec.steps.size() < 2 || t >= usToSeconds(rec.steps.back().writeUs)) {
        return -1;  // the stop ends the last segment
    }
    int found = -1;
    for (size_t i = 0; i + 1 < rec.steps.size(); ++i) {
        if (usToSeconds(rec.steps[i].writeUs) <= t) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

std::vector<FullFrameSeen> attributeLocates(const ShowRecord& rec,
                                            const std::vector<TimedReading>& readings,
                                            std::vector<bool>& answered) {
    // Each full frame is put down to what the host did just before: the latest step that asked
    // for a locate, has not been answered yet, and whose position the frame carries (a step's
    // report makes the service locate to exactly the reported position, so a frame with
    // another time is the service's own, for instance a late tick that went out just before
    // the step's frame). A step overtaken by a later one within the window before its frame
    // left is answered by that one: the service sends only the newest locate it holds.
    const int rate = rateOfShow(rec);
    const PlayerHistory player(rec.player);
    std::vector<FullFrameSeen> fulls;
    for (const TimedReading& tr : readings) {
        if (tr.reading.kind == Reading::kFullFrame) {
            fulls.push_back({tr.startS, tr.reading.at, tr.reading.time, -1, "", tr.relocation});
        }
    }
    auto expectedCount = [&](size_t i) {
        const double position = player.positionAt(usToSeconds(rec.steps[i].writeUs)) + rec.offset;
        return static_cast<int64_t>(std::floor(position * frameClock(rate) + 1e-7));
    };
    answered.assign(rec.steps.size(), false);
    for (FullFrameSeen& ff : fulls) {
        for (size_t i = 0; i < rec.steps.size(); ++i) {
            const double w = usToSeconds(rec.steps[i].writeUs);
            const int64_t day = framesPerDay(rate);
            const int64_t off =
                ((frameCount(ff.time) - expectedCount(i)) % day + day + day / 2) % day - day / 2;
            if (!answered[i] && expectsLocate(rec.steps[i].cause) && w <= ff.startS &&
                ff.startS - w <= kClaimWindow && off >= -1 && off <= 1) {
                ff.step = static_cast<int>(i);
            }
        }
        if (ff.step >= 0) {
            const size_t claimed = static_cast<size_t>(ff.step);
            const double w = usToSeconds(rec.steps[claimed].writeUs);
            for (size_t i = 0; i < claimed; ++i) {
                const double earlier = usToSeconds(rec.steps[i].writeUs);
                if (!answered[i] && expectsLocate(rec.steps[i].cause) &&
                    w - earlier <= kClaimWindow) {
                    answered[i] = true;  // overtaken before its own frame went out
                }
            }
            answered[claimed] = true;
            ff.cause = causeName(rec.steps[claimed].cause);
            continue;
        }
        // Not asked for: either the host's reports paused long enough for the service to
        // relocate, or the service fell behind its own schedule (a late tick, which the wire
        // shows).
        double last = -1, before = -1;
        for (int64_t w : rec.reportWrites) {
            if (usToSeconds(w) > ff.startS) {
                break;
            }
            before = last;
            last = usToSeconds(w);
        }
        if (before >= 0 && last - before > kReportGap) {
            ff.cause = "report gap";
        } else if (ff.relocation) {
            ff.cause = "late tick";
        } else {
            ff.cause = "unexplained";
        }
    }
    return fulls;
}

std::vector<size_t> missedLocates(const ShowRecord& rec, const std::vector<bool>& answered) {
    std::vector<size_t> missed;
    for (size_t i = 0; i < rec.steps.size(); ++i) {
        if (expectsLocate(rec.steps[i].cause) && !answered[i]) {
            missed.push_back(i);
        }
    }
    return missed;
}

std::vector<std::pair<double, double>> settlingWindows(const ShowRecord& rec,
                                                       const std::vector<TimedReading>& readings,
                                                       const std::vector<FullFrameSeen>& fulls,
                                                       const std::vector<size_t>& missed) {
    // Settling: from a locating step (or an unasked full frame) until the receiver shows the
    // new place, which is the full frame itself while paused and the first whole quarter-frame
    // cycle after it while playing (a strict receiver stands still until then).
    const PlayerHistory player(rec.player);
    std::vector<std::pair<double, double>> windows;
    for (const FullFrameSeen& ff : fulls) {
        double end = ff.endS;
        if (player.playingAt(ff.endS)) {
            end = ff.endS + kSettleLimit;
            for (const TimedReading& tr : readings) {
                if (tr.reading.kind == Reading::kCycle && tr.reading.at > ff.endS) {
                    end = std::min(end, tr.reading.at);
                    break;
                }
            }
        }
        const double start =
            ff.step >= 0 ? usToSeconds(rec.steps[static_cast<size_t>(ff.step)].writeUs) : ff.endS;
        windows.emplace_back(start, end);
    }
    for (size_t i : missed) {
        const double w = usToSeconds(rec.steps[i].writeUs);
        windows.emplace_back(w, w + kSettleLimit);
    }
    std::sort(windows.begin(), windows.end());
    return windows;
}

std::vector<ErrorPoint> sampleReceiverError(const ShowRecord& rec,
                                            const std::vector<TimedReading>& readings, double fromS,
                                            const std::vector<std::pair<double, double>>& windows) {
    const double tEnd = usToSeconds(rec.steps.back().writeUs);
    const PlayerHistory player(rec.player);
    FollowJudge judge(readings, player, rec.offset, rateOfShow(rec));
    std::vector<ErrorPoint> samples;
    for (int64_t k = 0;; ++k) {
        const double t = fromS + static_cast<double>(k) * kSampleStep;
        if (t >= tEnd) {
            break;
        }
        if (judge.advanceTo(t)) {
            samples.push_back({t, judge.errorAt(t) * 1000, inSettling(windows, t)});
        }
    }
    return samples;
}

std::vector<std::pair<double, double>> quarterLateness(const std::vector<TimedReading>& readings,
                                                       int rate, bool fromFirstQuarter) {
    const double quarterS = 1.0 / frameClock(rate) / 4;
    std::vector<std::pair<double, double>> out;
    double base = -1;
    int64_t k = 0;
    bool waitingForFirst = false;
    for (const TimedReading& tr : readings) {
        if (tr.reading.kind == Reading::kFullFrame) {
            base = tr.reading.at;
            k = 0;
            waitingForFirst = fromFirstQuarter;
        } else if (tr.reading.kind == Reading::kQuarter && base >= 0) {
            if (waitingForFirst) {
                base = tr.startS - quarterS;
                waitingForFirst = false;
            }
            ++k;
            out.emplace_back(tr.startS,
                             (tr.startS - (base + static_cast<double>(k) * quarterS)) * 1000);
        }
    }
    return out;
}

std::vector<double> cycleJumpTimes(const std::vector<TimedReading>& readings) {
    std::vector<double> jumps;
    bool havePrevious = false;
    int64_t previous = 0;
    for (const TimedReading& tr : readings) {
        const Reading& rd = tr.reading;
        if (rd.kind == Reading::kCycle) {
            const int64_t count = frameCount(rd.time);
            if (havePrevious &&
                (count - previous + framesPerDay(rd.time.rate)) % framesPerDay(rd.time.rate) != 2) {
                jumps.push_back(rd.at);
            }
            havePrevious = true;
            previous = count;
        } else if (rd.kind != Reading::kQuarter) {
            havePrevious = false;  // a locate, or a cycle that gave no time
        }
    }
    return jumps;
}

uint64_t countCycleJumps(const std::vector<TimedReading>& readings) {
    return cycleJumpTimes(readings).size();
}

std::vector<std::pair<double, double>> cyclePhases(const ShowRecord& rec,
                                                   const std::vector<TimedReading>& readings) {
    const int rate = rateOfShow(rec);
    const PlayerHistory player(rec.player);
    std::vector<std::pair<double, double>> phases;
    double pieceZeroAt = -1;  // when the cycle in progress began, -1 while none is
    for (const TimedReading& tr : readings) {
        const Reading& rd = tr.reading;
        if (rd.kind == Reading::kQuarter) {
            if (rd.piece == 0) {
                pieceZeroAt = tr.startS;
            }
            continue;
        }
        if (rd.kind == Reading::kCycle && pieceZeroAt >= 0 && player.playingAt(pieceZeroAt)) {
            // The receiver reads a cycle two frames on; its label is the frame piece 0 named.
            const double label = secondsOf(advance(rd.time, -2));
            const double ahead =
                wrapDifference(player.positionAt(pieceZeroAt) + rec.offset - label, rate);
            phases.emplace_back(pieceZeroAt, ahead / player.rateAt(pieceZeroAt) * 1000);
        }
        pieceZeroAt = -1;
    }
    return phases;
}

namespace {

// The show's names and settings, and the problems the host and the service reported.
Report reportHead(const ShowRecord& rec) {
    Report rep;
    rep.showName = rec.showName;
    rep.outputName = rec.outputName;
    rep.playerClock = rec.playerClock;
    rep.phaseLock = rec.phaseLock;
    rep.fps = rec.fps;
    rep.offset = rec.offset;
    rep.haveWire = rec.haveWire;
    rep.source = rec.source;
    rep.sourceName = rec.sourceName;
    rep.sampleStepMs = kSampleStep * 1000;
    for (const std::string& e : rec.serviceErrors) {
        rep.problems.push_back("the service reported: " + e);
    }
    rep.problems.insert(rep.problems.end(), rec.hostProblems.begin(), rec.hostProblems.end());
    return rep;
}

// The show's length, its segments and the service's CPU use over the whole show.
void reportTimes(const ShowRecord& rec, Report& rep) {
    const double t0 = showStart(rec);
    rep.durationS = usToSeconds(rec.steps.back().writeUs) - t0;
    rep.segments = segmentShow(rec);
    if (rec.steps.front().cpuSeconds >= 0 && rec.steps.back().cpuSeconds >= 0 &&
        rep.durationS > 0) {
        rep.cpuMsPerS =
            (rec.steps.back().cpuSeconds - rec.steps.front().cpuSeconds) * 1000 / rep.durationS;
    }
}

void reportCounters(const WireReadings& wire, Report& rep) {
    rep.counts = wire.counts;
    if (rep.counts.badCycles > 0) {
        rep.problems.push_back(std::to_string(rep.counts.badCycles) +
                               " quarter-frame cycles arrived incomplete or unreadable");
    }
}

// One row per full frame with its latency and cause, the causes counted, and the segments'
// full frames.
void reportLocates(const ShowRecord& rec, const std::vector<FullFrameSeen>& fulls, Report& rep) {
    const double t0 = showStart(rec);
    std::vector<double> latencies;
    for (const FullFrameSeen& ff : fulls) {
        LocateRow row;
        row.wireEndS = ff.endS - t0;
        row.time = format(ff.time);
        row.cause = ff.cause;
        if (ff.step >= 0) {
            const StepRecord& s = rec.steps[static_cast<size_t>(ff.step)];
            row.step = s.label;
            row.latencyMs = (ff.endS - usToSeconds(s.writeUs)) * 1000;
            latencies.push_back(row.latencyMs);
        } else if (ff.cause == "unexplained") {
            rep.problems.push_back("a full frame at " + secondsText(ff.endS - t0) +
                                   " that nothing explains");
        }
        rep.locates.push_back(row);
        const int seg = segmentAt(rec, ff.endS);
        if (seg >= 0) {
            ++rep.segments[static_cast<size_t>(seg)].fullFrames;
        }
    }
    rep.locateLatencyMs = figuresOf(latencies);
    const char* order[] = {"first report", "seek",      "pause",      "resume",     "track switch",
                           "request",      "late tick", "report gap", "unexplained"};
    for (const char* cause : order) {
        int n = 0;
        for (const FullFrameSeen& ff : fulls) {
            n += ff.cause == cause ? 1 : 0;
        }
        if (n > 0 || std::string(cause) != "unexplained") {
            rep.locateCauses.emplace_back(cause, n);
        }
    }
}

void reportMissed(const ShowRecord& rec, const std::vector<size_t>& missed, Report& rep) {
    const double t0 = showStart(rec);
    for (size_t i : missed) {
        ++rep.missedLocates;
        rep.problems.push_back("step \"" + rec.steps[i].label + "\" at " +
                               secondsText(usToSeconds(rec.steps[i].writeUs) - t0) +
                               " got no full frame");
    }
}

Figures inFrames(std::vector<double> ms, int rate) {
    const double frameMs = 1000.0 / frameClock(rate);
    for (double& v : ms) {
        v = v / frameMs;
    }
    return figuresOf(std::move(ms));
}

// The receiver's reading against the player, every 5 ms from the first full frame on: the
// series for the chart (thinned to what a chart can show) and the figures outside settling.
void reportReceiverError(const ShowRecord& rec, const WireReadings& wire,
                         const std::vector<FullFrameSeen>& fulls,
                         const std::vector<std::pair<double, double>>& windows, Report& rep) {
    const double t0 = showStart(rec);
    const int rate = rateOfShow(rec);
    if (fulls.empty()) {
        rep.errorMs = figuresOf({});
        rep.errorFrames = figuresOf({});
        rep.problems.push_back("no full frame reached the receiver");
        return;
    }
    std::vector<std::vector<double>> segErr(rep.segments.size());
    std::vector<double> allErr;
    for (const ErrorPoint& p :
         sampleReceiverError(rec, wire.readings, fulls.front().endS, windows)) {
        rep.series.push_back({p.t - t0, p.ms, p.settling});
        const int seg = segmentAt(rec, p.t);
        if (p.settling) {
            ++rep.settlingSamples;
            if (seg >= 0) {
                ++rep.segments[static_cast<size_t>(seg)].settlingSamples;
            }
            continue;
        }
        allErr.push_back(std::fabs(p.ms));
        if (seg >= 0) {
            segErr[static_cast<size_t>(seg)].push_back(std::fabs(p.ms));
        }
    }
    rep.errorMs = figuresOf(allErr);
    rep.errorFrames = inFrames(allErr, rate);
    for (size_t i = 0; i < rep.segments.size(); ++i) {
        rep.segments[i].errorMs = figuresOf(segErr[i]);
        rep.segments[i].errorFrames = inFrames(segErr[i], rate);
    }
    if (rep.series.size() > kMostChartPoints) {
        const size_t every = (rep.series.size() + kMostChartPoints - 1) / kMostChartPoints;
        std::vector<ErrorPoint> thin;
        for (size_t i = 0; i < rep.series.size(); i += every) {
            thin.push_back(rep.series[i]);
        }
        rep.series.swap(thin);
    }
}

void reportQuarterLateness(const ShowRecord& rec, const WireReadings& wire, Report& rep) {
    std::vector<std::vector<double>> segQuarter(rep.segments.size());
    std::vector<double> lateness;
    for (const auto& late : quarterLateness(wire.readings, rateOfShow(rec), rec.phaseLock)) {
        lateness.push_back(late.second);
        const int seg = segmentAt(rec, late.first);
        if (seg >= 0) {
            segQuarter[static_cast<size_t>(seg)].push_back(late.second);
        }
    }
    rep.quarterLateMs = figuresOf(lateness);
    for (size_t i = 0; i < rep.segments.size(); ++i) {
        rep.segments[i].quarterLateMs = figuresOf(segQuarter[i]);
    }
}

void reportCycleJumps(const ShowRecord& rec, const WireReadings& wire, Report& rep) {
    const std::vector<double> jumps = cycleJumpTimes(wire.readings);
    rep.cycleJumps = jumps.size();
    for (double t : jumps) {
        const int seg = segmentAt(rec, t);
        if (seg >= 0) {
            ++rep.segments[static_cast<size_t>(seg)].cycleJumps;
        }
    }
}

// Phases outside settling: the first cycle after a locate starts where the full frame left the
// receiver, not on the player's grid.
void reportPhases(const ShowRecord& rec, const WireReadings& wire,
                  const std::vector<std::pair<double, double>>& windows, Report& rep) {
    const double t0 = showStart(rec);
    std::vector<std::vector<double>> segPhase(rep.segments.size());
    std::vector<double> phases;
    for (const auto& phase : cyclePhases(rec, wire.readings)) {
        const int seg = segmentAt(rec, phase.first);
        if (inSettling(windows, phase.first) || seg < 0) {
            continue;
        }
        phases.push_back(phase.second);
        rep.phases.emplace_back(phase.first - t0, phase.second);
        segPhase[static_cast<size_t>(seg)].push_back(phase.second);
    }
    rep.phaseMs = figuresOf(phases);
    for (size_t i = 0; i < rep.segments.size(); ++i) {
        rep.segments[i].phaseMs = figuresOf(segPhase[i]);
    }
}

}  // namespace

Report analyse(const ShowRecord& rec) {
    Report rep = reportHead(rec);
    if (rec.steps.size() < 2) {
        rep.problems.push_back("the show did not run");
        return rep;
    }
    reportTimes(rec, rep);
    if (!rec.haveWire) {
        rep.problems.push_back("no recording of the MIDI wire: receiver figures are missing");
        return rep;
    }
    const WireReadings wire = readWire(rec.wire);
    reportCounters(wire, rep);
    std::vector<bool> answered;
    const std::vector<FullFrameSeen> fulls = attributeLocates(rec, wire.readings, answered);
    reportLocates(rec, fulls, rep);
    const std::vector<size_t> missed = missedLocates(rec, answered);
    reportMissed(rec, missed, rep);
    const std::vector<std::pair<double, double>> windows =
        settlingWindows(rec, wire.readings, fulls, missed);
    const double t0 = showStart(rec);
    for (const auto& w : windows) {
        rep.settlingWindows.emplace_back(w.first - t0, w.second - t0);
    }
    reportReceiverError(rec, wire, fulls, windows, rep);
    reportQuarterLateness(rec, wire, rep);
    reportCycleJumps(rec, wire, rep);
    reportPhases(rec, wire, windows, rep);
    return rep;
}

}  // namespace mtccheck
