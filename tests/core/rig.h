// A recording sink and the production engine on a simulated clock. The rig wakes the engine
// at every deadline Engine::nextDeadline names (1 ms polls while a full frame is in flight, the
// next quarter frame, 1 ms past the clock watchdog, the device check, at least every 50 ms),
// one by one, never skipping one, as the service loop does. The loop never sleeps less than
// 0.5 ms; the rig wakes exactly on each deadline instead, so that quarter-frame times can be
// checked to the nanosecond.
#pragma once

#include <algorithm>
#include <array>
#include <stdexcept>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine.h"
#include "tests/kit/recording_sink.h"
#include "tests/kit/wall_clock.h"

namespace coretest {

using mtctest::Call;
using mtctest::Op;
using mtctest::Packet;
using mtctest::RecordingSink;
using mtctest::wallMs;

inline velmarmtc::Snapshot report(double position, bool playing, const std::string& track,
                                  bool locate = false) {
    velmarmtc::Snapshot s;
    s.trackId = track;
    s.hasTrack = !track.empty();
    s.position = position;
    s.playing = playing;
    s.locate = locate;
    return s;
}

struct Rig {
    RecordingSink sink;
    velmarmtc::Engine engine{&sink};

    double now() const { return sink.now; }
    void at(double t) { sink.now = t; }

    void start(double fps = 25, double offset = 3600, double t = 0, bool phaseLock = false) {
        at(t);
        engine.start("winmm:test", fps, offset, t, phaseLock);
    }

    // The report as fresh as it can be: sent at this very instant.
    void send(velmarmtc::Snapshot s) {
        s.sentAtUnixMs = wallMs(now());
        engine.transport(s, now(), wallMs(now()));
    }

    // A report at t, then the step the service loop makes right after a command.
    void sendAt(double t, double position, bool playing, const std::string& track,
                bool locate = false) {
        at(t);
        send(report(position, playing, track, locate));
        engine.step(t);
    }

    void stepAt(double t) {
        at(t);
        engine.step(t);
    }

    // When the engine is next due, as the service loop plans it, but without the loop's
    // shortest sleep: a deadline already passed is due now.
    double nextWake() const {
        const double t = now();
        return std::max(engine.nextDeadline(t), t);
    }

    // Wakes the engine at every deadline up to and including `until`, then sets the clock there.
    // Bounded: a simulated second has at most a few hundred deadlines.
    void advanceTo(double until) {
        const double span = std::max(until - now(), 0.0);
        const long limit = 10000 + static_cast<long>(span * 10000);
        long wakes = 0;
        for (double t = nextWake(); t <= until; t = nextWake()) {
            if (++wakes > limit) {
                throw std::logic_error("the engine's deadlines stopped advancing");
            }
            stepAt(t);
        }
        at(until);
    }

    // A playing player that reports every `every` seconds from now on, its position following
    // the clock (basePosition at baseTime), interleaved with every engine deadline up to `until`.
    void play(double until, double basePosition, double baseTime, const std::string& track = "A",
              double every = 0.02) {
        const double first = now();
        for (int k = 1;; ++k) {
            const double reportAt = first + k * every;
            if (reportAt > until) {
                break;
            }
            advanceTo(reportAt);
            send(report(basePosition + reportAt - baseTime, true, track));
            engine.step(reportAt);
        }
        advanceTo(until);
    }

    size_t packetCount() const { return sink.packets.size(); }

    std::vector<uint8_t> quarterDataSince(size_t from) const {
        std::vector<uint8_t> out;
        for (size_t i = from; i < sink.packets.size(); ++i) {
            if (sink.packets[i].isQuarter()) {
                out.push_back(sink.packets[i].data());
            }
        }
        return out;
    }

    std::vector<std::array<uint8_t, 10>> fullsSince(size_t from) const {
        std::vector<std::array<uint8_t, 10>> out;
        for (size_t i = from; i < sink.packets.size(); ++i) {
            if (sink.packets[i].isFull()) {
                out.push_back(sink.packets[i].full());
            }
        }
        return out;
    }
};

}  // namespace coretest
