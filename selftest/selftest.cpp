#include "selftest/selftest.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/stamp.h"
#include "json/mtcjson.h"

namespace velmarmtc {
namespace selftest {

namespace {

// The number of checks the self test reports. Hosts compare it with the count they expect, so
// it is a fixed property of this self test's scenario set, not a tally of require() calls.
constexpr int32_t kChecks = 43;

constexpr double kOffset = 3600;

const char kScope[] = "Production engine with simulated driver only; no physical MIDI selected";

using Bytes = std::vector<uint8_t>;

bool isQuarter(const Packet& packet) {
    return !packet.bytes.empty() && packet.bytes[0] == 0xF1;
}

int quarterCount(const Capture& capture) {
    int count = 0;
    for (const Packet& packet : capture.packets) {
        count += isQuarter(packet) ? 1 : 0;
    }
    return count;
}

// The data bytes of the quarter frames recorded from packet index `from` on.
Bytes quarterDataFrom(const Capture& capture, size_t from) {
    Bytes data;
    for (size_t i = from; i < capture.packets.size(); ++i) {
        if (isQuarter(capture.packets[i])) {
            data.push_back(capture.packets[i].bytes[1]);
        }
    }
    return data;
}

bool beginsWith(const Bytes& data, const Bytes& prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

// Steps the rig's engine at `t` after moving the simulated clock there.
void stepAt(Rig& rig, double t) {
    rig.capture.now = t;
    rig.engine.step(t);
}

void sendAt(Rig& rig, double t, double position, bool playing, const char* track, bool locate) {
    rig.capture.now = t;
    rig.send(position, playing, track, locate);
}

// Each frame rate plays, pauses with a locate, resumes and stops.
void playPauseResumeStop() {
    for (double fps : {24.0, 25.0, 29.97, 30.0}) {
        Rig rig(fps);
        sendAt(rig, 0, 10, true, "A", false);
        rig.run(0.23, 10, 0);
        require(quarterCount(rig.capture) >= 19, "quarter output missing");

        // Paused at the time run left the clock (0.23).
        rig.send(11, false, "A", true);
        const size_t n = rig.capture.packets.size();
        stepAt(rig, 0.24);
        stepAt(rig, 0.26);
        require(rig.capture.packets.size() == n, "pause leaked quarter");

        sendAt(rig, 0.26, 11, true, "A", false);
        rig.run(0.32, 11, 0.26);
        require(rig.capture.packets.size() > n, "resume missing");

        rig.engine.stop();
        const size_t stopped = rig.capture.packets.size();
        stepAt(rig, 0.5);
        require(rig.capture.packets.size() == stopped, "stop leaked quarter");
    }
}

// The first quarter-frame cycle after a seek carries the new position, not the old cycle's.
void seeks() {
    Rig rig;
    sendAt(rig, 0, 10, true, "A", false);
    rig.run(0.035, 10, 0);

    size_t mark = rig.capture.packets.size();
    sendAt(rig, 0.035, 90, true, "A", true);
    rig.run(0.135, 90, 0.035);
    require(beginsWith(quarterDataFrom(rig.capture, mark),
                       {0x00, 0x10, 0x2E, 0x31, 0x41, 0x50, 0x61, 0x72}),
            "forward seek reused old cycle");

    mark = rig.capture.packets.size();
    sendAt(rig, 0.135, 2, true, "B", true);
    rig.run(0.235, 2, 0.135);
    require(beginsWith(quarterDataFrom(rig.capture, mark),
                       {0x00, 0x10, 0x22, 0x30, 0x40, 0x50, 0x61, 0x72}),
            "backward seek or track switch stale nibbles");
}

// Locates that arrive while a full frame is still in flight coalesce into the newest one.
void slowOutputLocates() {
    for (double slow : {0.03, 0.05}) {
        Rig rig;
        rig.capture.fullDuration = slow;
        sendAt(rig, 0, 10, true, "A", false);
        sendAt(rig, 0.001, 40, true, "A", true);
        sendAt(rig, 0.002, 50, true, "B", true);
        sendAt(rig, 0.003, 60, false, "B", true);

        stepAt(rig, slow);
        require(rig.capture.packets.size() == 2, "rapid locates weren't coalesced");
        const Bytes latest = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x01, 0x00, 0x00, 0xF7};
        require(rig.capture.packets[1].bytes == latest, "latest paused locate lost");

        stepAt(rig, 2 * slow);
        stepAt(rig, 2 * slow + 0.02);
        require(rig.capture.packets.size() == 2, "paused pending full leaked QF");

        sendAt(rig, 2 * slow + 0.02, 60, true, "B", false);
        rig.run(2 * slow + 0.2, 60, 2 * slow + 0.02);
        require(quarterCount(rig.capture) > 7, "slow full completion caused locate loop");
    }
}

// A step far behind the schedule locates instead of sending the backlog.
void lateTick() {
    Rig rig;
    sendAt(rig, 0, 5, true, "A", false);
    stepAt(rig, 0.001);
    stepAt(rig, 0.1);
    require(!rig.capture.packets.empty() && rig.capture.packets.back().bytes[0] == 0xF0,
            "late tick burst instead of locate");
    const size_t n = rig.capture.packets.size();
    stepAt(rig, 0.1);
    require(rig.capture.packets.size() == n, "same time emitted backlog");
}

// Steps at `t` and reports whether the step threw; afterwards stops the engine the way the
// service does after any failed engine operation.
bool stepThrowsAndStops(Rig& rig, double t) {
    bool threw = false;
    try {
        stepAt(rig, t);
    } catch (const std::exception&) {
        threw = true;
    }
    rig.engine.stop();
    return threw;
}

void watchdog() {
    Rig rig;
    sendAt(rig, 0, 5, true, "A", false);
    const bool threw = stepThrowsAndStops(rig, 0.351);
    require(threw && !rig.engine.isActive(), "watchdog didn't disarm");
    const size_t n = rig.capture.packets.size();
    stepAt(rig, 0.6);
    require(rig.capture.packets.size() == n, "watchdog leaked");
}

void deviceDetach() {
    Rig rig;
    sendAt(rig, 0, 5, true, "A", false);
    rig.capture.attached = false;
    const bool threw = stepThrowsAndStops(rig, 0.051);
    require(threw && !rig.engine.isActive(), "device detach didn't disarm");
}

// Stale, early, off-speed and non-numeric reports are refused and end the output.
void invalidReports() {
    for (int kind = 0; kind < 4; ++kind) {
        Rig rig;
        sendAt(rig, 0, 5, true, "A", false);
        Snapshot report = value(7, true, "A", false, 0);
        double t = 0;
        switch (kind) {
            case 0:
                t = 0.251;
                break;
            case 1:
                report.sentAtUnixMs = 1001;
                break;
            case 2:
                report.playbackRate = 2.0;
                break;
            default:
                report.position = std::numeric_limits<double>::quiet_NaN();
                break;
        }
        rig.capture.now = t;
        bool threw = false;
        try {
            rig.engine.transport(report, t, t * 1000);
        } catch (const std::exception&) {
            threw = true;
        }
        rig.engine.stop();
        require(threw && !rig.engine.isActive(), "invalid transport continued old clock");
    }
}

// Drop-frame labels skip ;00 and ;01 at a minute, except every tenth minute.
void dropFrameLabels() {
    const std::array<uint8_t, 10> minute = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                                            0x40, 0x01, 0x00, 0x02, 0xF7};
    require(stamp(60.06, 29.97).fullFrame() == minute, "DF minute");
    const std::array<uint8_t, 10> tenMinutes = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                                                0x40, 0x0A, 0x00, 0x00, 0xF7};
    require(stamp(600, 29.97).fullFrame() == tenMinutes, "DF ten-minute");
}

// Raw UTF-8 passes through and an escaped surrogate pair becomes one 4-byte sequence.
void unicodeJson() {
    const std::string text =
        "{\"trackId\":\"\xE4\xB8\xAD\xE6\x96\x87\\uD83C\\uDFB5\",\"position\":1.25,"
        "\"playing\":false,\"n\":null}";
    mtcjson::Parser parser(text);
    const mtcjson::Members members = parser.parse();
    require(mtcjson::str(members, "trackId") == "\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x8E\xB5" &&
                !mtcjson::boolean(members, "playing"),
            "Unicode JSON");
}

void strictJson() {
    const char* const malformed[] = {
        "{\"x\":1,\"x\":2}", "{\"x\":NaN}",      "{\"x\":1e309}",       "{\"x\":[]}",
        "{\"x\":01}",        "{\"x\":true}tail", "{\"x\":\"\\uDC00\"}", "{\"x\":\"\\uD800x\"}",
    };
    for (const char* text : malformed) {
        const std::string line(text);
        bool threw = false;
        try {
            mtcjson::Parser parser(line);
            parser.parse();
        } catch (...) {
            threw = true;
        }
        require(threw, "malformed JSON accepted");
    }
}

}  // namespace

void Capture::open(const std::string& /*id*/) {
    opened = true;
}

void Capture::clearPending() {
    ++clears;
    queued.reset();
    if (busy && now >= busyUntil) {
        busy = false;
    }
}

void Capture::full(const std::array<uint8_t, 10>& message) {
    if (!busy) {
        submit(message);
    } else {
        queued = message;
    }
}

void Capture::quarter(uint8_t data) {
    if (busy) {
        throw std::runtime_error("quarter interleaved pending locate");
    }
    packets.push_back(Packet{now, Bytes{0xF1, data}});
}

bool Capture::ready() {
    if (busy && busyUntil > now) {
        return false;
    }
    busy = false;
    if (queued) {
        const std::array<uint8_t, 10> held = *queued;
        queued.reset();
        submit(held);
        return false;
    }
    return true;
}

bool Capture::connected() {
    return attached;
}

void Capture::close() {
    opened = false;
    busy = false;
    queued.reset();
}

void Capture::submit(const std::array<uint8_t, 10>& message) {
    packets.push_back(Packet{now, Bytes(message.begin(), message.end())});
    busy = true;
    busyUntil = now + fullDuration;
}

Rig::Rig(double fps) : engine(&capture) {
    engine.start("selftest", fps, kOffset, 0);
}

void Rig::send(double position, bool playing, std::string trackId, bool locate) {
    const double now = capture.now;
    engine.transport(value(position, playing, std::move(trackId), locate, now), now, now * 1000);
}

void Rig::run(double until, double basePosition, double baseTime) {
    for (double t = capture.now + 0.001; t <= until + 1e-9; t += 0.001) {
        capture.now = t;
        if (std::llround(t * 1000) % 20 == 0) {
            send(basePosition + t - baseTime, true, "A", false);
        }
        engine.step(t);
    }
}

void require(bool condition, const char* message) {
    if (!condition) {
        throw std::runtime_error(message);
    }
}

Snapshot value(double position, bool playing, std::string trackId, bool locate, double sentAt) {
    Snapshot report;
    report.hasTrack = !trackId.empty();
    report.trackId = std::move(trackId);
    report.position = position;
    report.playing = playing;
    report.playbackRate = 1.0;
    report.locate = locate;
    report.sentAtUnixMs = sentAt * 1000;
    return report;
}

int32_t run() {
    playPauseResumeStop();
    seeks();
    slowOutputLocates();
    lateTick();
    watchdog();
    deviceDetach();
    invalidReports();
    dropFrameLabels();
    unicodeJson();
    strictJson();
    return kChecks;
}

std::string passedLine(int32_t checks) {
    return "{\"passed\":true,\"checks\":" + std::to_string(checks) + ",\"scope\":\"" + kScope +
           "\"}";
}

std::string failedLine(const std::string& message) {
    return "{\"passed\":false,\"error\":" + mtcjson::quote(message) + "}";
}

Verdict judge(int32_t (*body)()) {
    try {
        const int32_t checks = body();
        return Verdict{passedLine(checks), 0};
    } catch (const std::exception& failure) {
        return Verdict{failedLine(failure.what()), 1};
    } catch (...) {
        // Nothing the self test calls throws outside the standard family; should it happen, it
        // is still a failed run with a line to read, never an abort.
        return Verdict{failedLine("unexpected exception"), 1};
    }
}

}  // namespace selftest
}  // namespace velmarmtc
