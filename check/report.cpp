// The three forms of the report: text for the console, JSON for machines, SVG for people.
#include <cmath>
#include <cstdio>
#include <string>

#include "check/analysis.h"
#include "check/json.h"

namespace mtccheck {
namespace {

std::string fixed(double v, int decimals) {
    if (!std::isfinite(v)) {
        return "-";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string pad(const std::string& text, size_t width, bool right = true) {
    // Widths count bytes; labels are the script's own words, mostly ASCII.
    if (text.size() >= width) {
        return text;
    }
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::string offsetText(double offset, double fps) {
    const int rate = rateCodeOf(fps) >= 0 ? rateCodeOf(fps) : kRate25;
    const int64_t count = static_cast<int64_t>(std::floor(offset * frameClock(rate) + 1e-7));
    return format(labelOf(count, rate));
}

std::string fpsText(double fps) {
    return fps == 29.97 ? "29.97 drop-frame" : fixed(fps, 0);
}

bool fromInput(const Report& r) {
    return r.haveWire && r.source == WireSource::kInput;
}

// What the receiver read, in words: the figures mean different things for each.
std::string sourceText(const Report& r) {
    if (!r.haveWire) {
        return "nothing: this report has the host's side only";
    }
    if (fromInput(r)) {
        return "MIDI input \"" + r.sourceName + "\"";
    }
    return "the simulated port's recording" +
           (r.sourceName.empty() ? std::string() : " " + r.sourceName);
}

// Where a locate's latency ends: the wire itself, or the input that reads it back.
const char* locateEnd(const Report& r) {
    return fromInput(r) ? "full frame complete at the input" : "full frame on the wire";
}

// Both ways: the output's driver and cable out, the input's driver and cable in.
const char* kInputIncludes = "driver and transport latency both ways";

std::string figuresLine(const Figures& f, const char* unit) {
    if (f.count == 0) {
        return "no samples";
    }
    return "p50 " + fixed(f.p50, 2) + ", p99 " + fixed(f.p99, 2) + ", max " + fixed(f.max, 2) +
           " " + unit + " (n " + std::to_string(f.count) + ")";
}

// Values in JSON keep microsecond resolution; more digits would only be noise.
std::string num(double v, int decimals = 3) {
    if (!std::isfinite(v)) {
        return "null";
    }
    const double scale = std::pow(10.0, decimals);
    return numberJson(std::round(v * scale) / scale);
}

std::string figuresJson(const Figures& f) {
    return "{\"count\":" + std::to_string(f.count) + ",\"p1\":" + num(f.p1) +
           ",\"p50\":" + num(f.p50) + ",\"p99\":" + num(f.p99) + ",\"max\":" + num(f.max) +
           ",\"min\":" + num(f.min) + ",\"mean\":" + num(f.mean) + "}";
}

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Piece 0 against the player's frame grid, per segment and for the whole show, with the cycles
// that did not follow the one before by two frames.
std::string phaseTable(const Report& r) {
    std::string s = "Piece 0 after its frame began on the player's clock, ms, outside settling:\n";
    s += "  " + pad("segment", 21, false) + pad("cycles", 7) + pad("jumps", 6) + pad("p1", 7) +
         pad("p50", 7) + pad("p99", 7) + pad("spread", 7) + "\n";
    auto row = [&](const std::string& label, const Figures& f, uint64_t jumps) {
        s += "  " + pad(label.size() > 20 ? label.substr(0, 19) + "~" : label, 21, false) +
             pad(std::to_string(f.count), 7) + pad(std::to_string(jumps), 6) +
             pad(fixed(f.p1, 2), 7) + pad(fixed(f.p50, 2), 7) + pad(fixed(f.p99, 2), 7) +
             pad(fixed(f.p99 - f.p1, 2), 7) + "\n";
    };
    for (const SegmentRow& g : r.segments) {
        row(g.label, g.phaseMs, g.cycleJumps);
    }
    row("whole show", r.phaseMs, r.cycleJumps);
    s += "  (jumps: cycles not two frames on from the one before, outside locates)\n";
    return s;
}

// The receiver's error per segment, with the segment's full frames, quarter-frame lateness and
// the service's CPU use.
std::string errorTable(const Report& r) {
    std::string s;
    s += "Receiver error |receiver - player| in ms, every " + fixed(r.sampleStepMs, 0) +
         " ms outside settling:\n";
    s += "  " + pad("segment", 21, false) + pad("start", 6) + pad("p50", 7) + pad("p99", 7) +
         pad("max", 7) + pad("p99 fr", 7) + pad("full", 5) + pad("qf p99", 7) + pad("cpu/s", 7) +
         "\n";
    for (const SegmentRow& g : r.segments) {
        std::string label = g.label.size() > 20 ? g.label.substr(0, 19) + "~" : g.label;
        s += "  " + pad(label, 21, false) + pad(fixed(g.startS, 2), 6) +
             pad(fixed(g.errorMs.p50, 2), 7) + pad(fixed(g.errorMs.p99, 2), 7) +
             pad(fixed(g.errorMs.max, 2), 7) + pad(fixed(g.errorFrames.p99, 2), 7) +
             pad(std::to_string(g.fullFrames), 5) + pad(fixed(g.quarterLateMs.p99, 2), 7) +
             pad(g.cpuMsPerS >= 0 ? fixed(g.cpuMsPerS, 1) : "-", 7) + "\n";
    }
    s += "  (p99 fr: p99 in frames; qf p99: quarter-frame lateness; cpu/s: service CPU ms/s)\n";
    return s;
}

// The full frames counted by cause, then one line each.
std::string locateList(const Report& r) {
    std::string s;
    s += "Full frames: " + std::to_string(r.counts.fullFrames);
    std::string causes;
    for (const auto& c : r.locateCauses) {
        if (c.second > 0) {
            causes += (causes.empty() ? "" : ", ") + c.first + " " + std::to_string(c.second);
        }
    }
    s += (causes.empty() ? std::string() : " (" + causes + ")") + "\n";
    for (const LocateRow& l : r.locates) {
        s += "  " + pad(fixed(l.wireEndS, 3), 7) + " s  " + l.time + "  " + pad(l.cause, 12, false);
        if (l.latencyMs >= 0) {
            s += " " + pad(fixed(l.latencyMs, 2), 6) + " ms after \"" + l.step + "\"";
        }
        s += "\n";
    }
    return s;
}

}  // namespace

std::string reportText(const Report& r) {
    // Kept within 80 columns: consoles wrap there by default.
    std::string s;
    s += "== Show report: " + r.showName + ", " + fpsText(r.fps) + " fps from " +
         offsetText(r.offset, r.fps) + ", " + fixed(r.durationS, 2) + " s, \"" + r.outputName +
         "\"\n";
    s += "Receiver reads " + sourceText(r) + "\n";
    if (fromInput(r)) {
        s += "  (figures include " + std::string(kInputIncludes) + ")\n";
    }
    if (!r.playerClock.empty()) {
        s += "Player: " + r.playerClock + "; timing: " + (r.phaseLock ? "phase lock" : "default") +
             "\n";
    }
    s += errorTable(r);
    s += "Receiver error, whole show: " + figuresLine(r.errorMs, "ms") + "\n";
    s += "  in frames: p50 " + fixed(r.errorFrames.p50, 2) + ", p99 " +
         fixed(r.errorFrames.p99, 2) + ", max " + fixed(r.errorFrames.max, 2) + "; " +
         std::to_string(r.settlingSamples) + " samples in settling left out\n";
    s += phaseTable(r);
    s += "Quarter frames vs schedule: " + figuresLine(r.quarterLateMs, "ms") + "\n";
    s += "Locate latency, host write to " + std::string(locateEnd(r)) + ":\n  " +
         figuresLine(r.locateLatencyMs, "ms") + "\n";
    s += locateList(r);
    s += "Receiver: " + std::to_string(r.counts.quarterFrames) + " quarter frames, " +
         std::to_string(r.counts.cycles) + " whole cycles, " + std::to_string(r.counts.badCycles) +
         " broken, " + std::to_string(r.cycleJumps) + " not two frames on\n";
    s += "Service CPU: " +
         (r.cpuMsPerS >= 0 ? fixed(r.cpuMsPerS, 1) + " ms per second" : std::string("unknown")) +
         "\n";
    for (const std::string& p : r.problems) {
        s += "Problem: " + p + "\n";
    }
    return s;
}

std::string comparisonText(const Report& recording, const Report& input) {
    std::string s = "The same show as it left the wire and as the input read it back:\n";
    s += "  " + pad("", 34, false) + pad("recording", 11) + pad("input", 11) + "\n";
    auto row = [&](const char* label, const std::string& a, const std::string& b) {
        s += "  " + pad(label, 34, false) + pad(a, 11) + pad(b, 11) + "\n";
    };
    row("receiver error p50 ms", fixed(recording.errorMs.p50, 2), fixed(input.errorMs.p50, 2));
    row("receiver error p99 ms", fixed(recording.errorMs.p99, 2), fixed(input.errorMs.p99, 2));
    row("receiver error max ms", fixed(recording.errorMs.max, 2), fixed(input.errorMs.max, 2));
    row("quarter-frame lateness p50 ms", fixed(recording.quarterLateMs.p50, 2),
        fixed(input.quarterLateMs.p50, 2));
    row("locate latency p50 ms", fixed(recording.locateLatencyMs.p50, 2),
        fixed(input.locateLatencyMs.p50, 2));
    row("piece 0 phase p50 ms", fixed(recording.phaseMs.p50, 2), fixed(input.phaseMs.p50, 2));
    row("piece 0 phase spread p1-p99 ms", fixed(recording.phaseMs.p99 - recording.phaseMs.p1, 2),
        fixed(input.phaseMs.p99 - input.phaseMs.p1, 2));
    row("full frames", std::to_string(recording.counts.fullFrames),
        std::to_string(input.counts.fullFrames));
    row("quarter frames", std::to_string(recording.counts.quarterFrames),
        std::to_string(input.counts.quarterFrames));
    row("broken cycles", std::to_string(recording.counts.badCycles),
        std::to_string(input.counts.badCycles));
    row("cycles not two frames on", std::to_string(recording.cycleJumps),
        std::to_string(input.cycleJumps));
    return s;
}

namespace {

std::string segmentsJson(const Report& r) {
    std::string s;
    for (size_t i = 0; i < r.segments.size(); ++i) {
        const SegmentRow& g = r.segments[i];
        s +=
            std::string(i > 0 ? "," : "") + "\n    {\"label\": " + quoteJson(g.label) +
            ", \"cause\": " + quoteJson(g.cause) + ", \"startSeconds\": " + num(g.startS) +
            ", \"durationSeconds\": " + num(g.durationS) +
            ",\n     \"receiverErrorMs\": " + figuresJson(g.errorMs) +
            ",\n     \"receiverErrorFrames\": " + figuresJson(g.errorFrames) +
            ",\n     \"settlingSamples\": " + std::to_string(g.settlingSamples) +
            ", \"fullFrames\": " + std::to_string(g.fullFrames) +
            ",\n     \"quarterLatenessMs\": " + figuresJson(g.quarterLateMs) +
            ",\n     \"pieceZeroPhaseMs\": " + figuresJson(g.phaseMs) +
            ", \"cyclesNotTwoFramesOn\": " + std::to_string(g.cycleJumps) +
            ",\n     \"serviceCpuMsPerSecond\": " + (g.cpuMsPerS >= 0 ? num(g.cpuMsPerS) : "null") +
            "}";
    }
    return s;
}

std::string locatesJson(const Report& r) {
    std::string s;
    for (size_t i = 0; i < r.locates.size(); ++i) {
        const LocateRow& l = r.locates[i];
        s += std::string(i > 0 ? "," : "") + "\n    {\"atSeconds\": " + num(l.wireEndS, 6) +
             ", \"timecode\": " + quoteJson(l.time) + ", \"cause\": " + quoteJson(l.cause) +
             ", \"step\": " + (l.step.empty() ? "null" : quoteJson(l.step)) +
             ", \"latencyMs\": " + (l.latencyMs >= 0 ? num(l.latencyMs) : "null") + "}";
    }
    return s;
}

}  // namespace

std::string reportJson(const Report& r) {
    std::string s = "{\n";
    s += "  \"show\": " + quoteJson(r.showName) + ",\n";
    s += "  \"output\": " + quoteJson(r.outputName) + ",\n";
    s += "  \"fps\": " + num(r.fps, 2) + ",\n";
    s += "  \"offsetSeconds\": " + num(r.offset) + ",\n";
    s += "  \"offsetTimecode\": " + quoteJson(offsetText(r.offset, r.fps)) + ",\n";
    s += "  \"durationSeconds\": " + num(r.durationS) + ",\n";
    s += "  \"wireRecorded\": " + std::string(r.haveWire ? "true" : "false") + ",\n";
    s += "  \"receiverSource\": {\"kind\": " +
         quoteJson(!r.haveWire ? "none" : (fromInput(r) ? "input" : "recording")) +
         ", \"name\": " + (r.haveWire ? quoteJson(r.sourceName) : std::string("null")) +
         ", \"includes\": " + (fromInput(r) ? quoteJson(kInputIncludes) : std::string("null")) +
         ", \"locateLatencyTo\": " + quoteJson(locateEnd(r)) + "},\n";
    s += "  \"playerClock\": " + quoteJson(r.playerClock) + ",\n";
    s += "  \"phaseLock\": " + std::string(r.phaseLock ? "true" : "false") + ",\n";
    s += "  \"sampleStepMs\": " + num(r.sampleStepMs) + ",\n";
    s += "  \"receiverErrorMs\": " + figuresJson(r.errorMs) + ",\n";
    s += "  \"receiverErrorFrames\": " + figuresJson(r.errorFrames) + ",\n";
    s += "  \"settlingSamples\": " + std::to_string(r.settlingSamples) + ",\n";
    s += "  \"quarterLatenessMs\": " + figuresJson(r.quarterLateMs) + ",\n";
    s += "  \"locateLatencyMs\": " + figuresJson(r.locateLatencyMs) + ",\n";
    s += "  \"fullFrames\": " + std::to_string(r.counts.fullFrames) + ",\n";
    s += "  \"fullFramesByCause\": {";
    for (size_t i = 0; i < r.locateCauses.size(); ++i) {
        s += (i > 0 ? ", " : "") + quoteJson(r.locateCauses[i].first) + ": " +
             std::to_string(r.locateCauses[i].second);
    }
    s += "},\n";
    s += "  \"quarterFrames\": " + std::to_string(r.counts.quarterFrames) + ",\n";
    s += "  \"wholeCycles\": " + std::to_string(r.counts.cycles) + ",\n";
    s += "  \"brokenCycles\": " + std::to_string(r.counts.badCycles) + ",\n";
    s += "  \"cyclesNotTwoFramesOn\": " + std::to_string(r.cycleJumps) + ",\n";
    s += "  \"pieceZeroPhaseMs\": " + figuresJson(r.phaseMs) + ",\n";
    s += "  \"missedLocates\": " + std::to_string(r.missedLocates) + ",\n";
    s += "  \"serviceCpuMsPerSecond\": " + (r.cpuMsPerS >= 0 ? num(r.cpuMsPerS) : "null") + ",\n";
    s += "  \"segments\": [" + segmentsJson(r) + "\n  ],\n  \"locates\": [" + locatesJson(r);
    s += "\n  ],\n  \"problems\": [";
    for (size_t i = 0; i < r.problems.size(); ++i) {
        s += std::string(i > 0 ? ", " : "") + quoteJson(r.problems[i]);
    }
    s += "]\n}\n";
    return s;
}

namespace {

// The chart's geometry: the plot area, its time and millisecond scales, and their mapping to
// the page. The scale follows the settled samples (at least one frame each way); the settling
// samples after a seek can be minutes off and are drawn clipped at the edge.
struct Chart {
    static constexpr double kWidth = 1000, kHeight = 440;
    static constexpr double kLeft = 70, kRight = 20, kTop = 50, kBottom = 60;
    static constexpr double kPlotW = kWidth - kLeft - kRight, kPlotH = kHeight - kTop - kBottom;

    explicit Chart(const Report& r)
        : frameMs(1000.0 / frameClock(rateCodeOf(r.fps) >= 0 ? rateCodeOf(r.fps) : kRate25)),
          extent(frameMs * 1.1),
          duration(std::max(r.durationS, 0.001)) {
        for (const ErrorPoint& p : r.series) {
            if (!p.settling) {
                extent = std::max(extent, std::fabs(p.ms) * 1.1);
            }
        }
    }
    double x(double t) const {
        return kLeft + std::min(std::max(t, 0.0), duration) / duration * kPlotW;
    }
    double y(double ms) const {
        const double c = std::min(std::max(ms, -extent), extent);
        return kTop + (extent - c) / (2 * extent) * kPlotH;
    }

    double frameMs;
    double extent;
    double duration;
};

std::string f1(double v) {
    return fixed(v, 1);
}

std::string svgHead(const Report& r) {
    std::string s;
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + f1(Chart::kWidth) + "\" height=\"" +
         f1(Chart::kHeight) + "\" viewBox=\"0 0 " + f1(Chart::kWidth) + " " + f1(Chart::kHeight) +
         "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + f1(Chart::kLeft) + "\" y=\"20\" font-size=\"14\">" +
         escapeXml("Receiver error (receiver - player), " + r.showName + ", " + fpsText(r.fps) +
                   " fps; receiver reads " + sourceText(r)) +
         "</text>\n";
    s += "<text x=\"" + f1(Chart::kLeft) + "\" y=\"36\" fill=\"#555\">" +
         escapeXml("p50 " + fixed(r.errorMs.p50, 2) + " ms, p99 " + fixed(r.errorMs.p99, 2) +
                   " ms, max " + fixed(r.errorMs.max, 2) +
                   " ms outside settling; grey bands: settling after a locate; red lines: full "
                   "frames") +
         "</text>\n";
    return s;
}

std::string svgSettlingBands(const Report& r, const Chart& c) {
    std::string s;
    for (const auto& w : r.settlingWindows) {
        s += "<rect x=\"" + f1(c.x(w.first)) + "\" y=\"" + f1(Chart::kTop) + "\" width=\"" +
             f1(std::max(1.0, c.x(w.second) - c.x(w.first))) + "\" height=\"" + f1(Chart::kPlotH) +
             "\" fill=\"#e4e4e4\"/>\n";
    }
    return s;
}

// Grid: a round step giving four to ten lines each way, and dashed lines one frame off.
std::string svgGrid(const Chart& c) {
    double gridStep = 1;
    for (double candidate : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0}) {
        gridStep = candidate;
        if (c.extent / candidate <= 5) {
            break;
        }
    }
    std::string s;
    const double left = Chart::kLeft, right = Chart::kLeft + Chart::kPlotW;
    for (double v = 0; v <= c.extent; v += gridStep) {
        for (int sign = (v == 0 ? 1 : -1); sign <= 1; sign += 2) {
            const double ms = sign * v;
            s += "<line x1=\"" + f1(left) + "\" x2=\"" + f1(right) + "\" y1=\"" + f1(c.y(ms)) +
                 "\" y2=\"" + f1(c.y(ms)) + "\" stroke=\"" + (v == 0 ? "#888" : "#ddd") + "\"/>\n";
            s += "<text x=\"" + f1(left - 6) + "\" y=\"" + f1(c.y(ms) + 4) +
                 "\" text-anchor=\"end\">" + fixed(ms, 0) + "</text>\n";
        }
    }
    for (int sign = -1; sign <= 1; sign += 2) {
        s += "<line x1=\"" + f1(left) + "\" x2=\"" + f1(right) + "\" y1=\"" +
             f1(c.y(sign * c.frameMs)) + "\" y2=\"" + f1(c.y(sign * c.frameMs)) +
             "\" stroke=\"#999\" stroke-dasharray=\"4 4\"/>\n";
    }
    s += "<text x=\"" + f1(right - 4) + "\" y=\"" + f1(c.y(-c.frameMs) - 4) +
         "\" text-anchor=\"end\" fill=\"#777\">one frame</text>\n";
    return s;
}

std::string svgAxes(const Chart& c) {
    std::string s;
    const double bottom = Chart::kTop + Chart::kPlotH, middle = Chart::kTop + Chart::kPlotH / 2;
    const double tStep = c.duration > 60 ? 10 : (c.duration > 20 ? 5 : 1);
    for (double t = 0; t <= c.duration + 1e-9; t += tStep) {
        s += "<text x=\"" + f1(c.x(t)) + "\" y=\"" + f1(bottom + 16) +
             "\" text-anchor=\"middle\">" + fixed(t, 0) + "</text>\n";
    }
    s += "<text x=\"" + f1(Chart::kLeft + Chart::kPlotW / 2) + "\" y=\"" + f1(Chart::kHeight - 12) +
         "\" text-anchor=\"middle\">seconds since the show started</text>\n";
    s += "<text x=\"16\" y=\"" + f1(middle) + "\" transform=\"rotate(-90 16 " + f1(middle) +
         ")\" text-anchor=\"middle\">ms</text>\n";
    return s;
}

// The segments' labels under the plot, and a red line for each full frame.
std::string svgMarks(const Report& r, const Chart& c) {
    std::string s;
    for (const SegmentRow& g : r.segments) {
        s += "<text x=\"" + f1(c.x(g.startS) + 3) + "\" y=\"" +
             f1(Chart::kTop + Chart::kPlotH + 32) + "\" fill=\"#555\">" + escapeXml(g.label) +
             "</text>\n";
    }
    for (const LocateRow& l : r.locates) {
        s += "<line x1=\"" + f1(c.x(l.wireEndS)) + "\" x2=\"" + f1(c.x(l.wireEndS)) + "\" y1=\"" +
             f1(Chart::kTop) + "\" y2=\"" + f1(Chart::kTop + Chart::kPlotH) +
             "\" stroke=\"#d33\" stroke-width=\"1\"/>\n";
        s += "<text x=\"" + f1(c.x(l.wireEndS) + 2) + "\" y=\"" + f1(Chart::kTop + 10) +
             "\" fill=\"#d33\">" + escapeXml(l.cause) + "</text>\n";
    }
    return s;
}

// The error as a line, broken where settling starts or ends so each part has one colour.
std::string svgSeries(const Report& r, const Chart& c) {
    std::string s, points;
    bool settling = false;
    auto flush = [&]() {
        if (!points.empty()) {
            s += "<polyline fill=\"none\" stroke=\"" + std::string(settling ? "#999" : "#1f5fbf") +
                 "\" stroke-width=\"1.2\" points=\"" + points + "\"/>\n";
        }
        points.clear();
    };
    for (const ErrorPoint& p : r.series) {
        if (p.settling != settling) {
            flush();
            settling = p.settling;
        }
        points += f1(c.x(p.t)) + "," + f1(c.y(p.ms)) + " ";
    }
    flush();
    return s;
}

}  // namespace

std::string reportSvg(const Report& r) {
    const Chart chart(r);
    std::string s = svgHead(r) + svgSettlingBands(r, chart) + svgGrid(chart) + svgAxes(chart) +
                    svgMarks(r, chart) + svgSeries(r, chart);
    s += "<rect x=\"" + f1(Chart::kLeft) + "\" y=\"" + f1(Chart::kTop) + "\" width=\"" +
         f1(Chart::kPlotW) + "\" height=\"" + f1(Chart::kPlotH) +
         "\" fill=\"none\" stroke=\"#444\"/>\n";
    s += "</svg>\n";
    return s;
}

}  // namespace mtccheck
