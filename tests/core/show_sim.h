// A whole show on the simulated clock: the checking library's player (its script and its clock
// model) reports to the production engine through a simulated pipe, the engine drives the
// recording sink at every deadline, and the wire it leaves is judged by the checking library's
// analysis, exactly as mtc-host judges a show under Wine, but with no real time at all.
//
// The pipe delivers each report after a delay drawn from `Delivery` (in order, as a pipe does);
// the service's wall clock is the simulated clock, so a report's age is its delay. Host time and
// engine time are one clock here.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "check/analysis.h"
#include "check/player.h"
#include "check/script.h"
#include "tests/core/rig.h"

namespace coretest {

// How long a report takes from the host to the engine: `baseMs` plus up to `spreadMs`, and now
// and then (`stallChance` of the reports) a stall of up to `stallMs` more.
struct Delivery {
    double baseMs = 0.5, spreadMs = 2.5;  // every report
    double stallChance = 0, stallMs = 0;  // now and then
};

struct SimulatedShow {
    mtccheck::ShowRecord record;
    std::vector<Packet> packets;  // what the engine sent, in order
};

// The wire time of a message: 10 bits a byte at 31250 baud.
constexpr double kSecondsPerByte = 0.00032;

// Plays `show` (its frame rate, offset, clock model and steps) against the engine on a rig.
// Deterministic for a seed. Bounded: the loop ends at the show's stop.
inline SimulatedShow simulateShow(const mtccheck::Show& show, bool phaseLock, uint64_t seed,
                                  const Delivery& delivery = Delivery()) {
    Rig rig;
    rig.sink.fullDuration = 10 * kSecondsPerByte;
    mtccheck::Random pipe(seed ^ 0x5DEECE66Dull);
    SimulatedShow out;
    mtccheck::ShowRecord& rec = out.record;
    rec.showName = show.name;
    rec.outputName = "simulated";
    rec.fps = show.fps;
    rec.offset = show.offset;
    rec.playerClock = show.clock.describe();
    rec.phaseLock = phaseLock;
    rec.haveWire = true;

    const double start = 1.0;  // the engine's clock need not start at 0
    rig.start(show.fps, show.offset, start, phaseLock);

    // The checking library's player: its history, its clock read in blocks with jitter.
    mtccheck::ShowPlayer player(show.clock, seed);
    auto us = [](double t) { return static_cast<int64_t>(std::llround(t * 1e6)); };

    struct InFlight {
        double arrives;
        velmarmtc::Snapshot report;
    };
    std::vector<InFlight> pipeQueue;
    double lastArrival = 0;
    auto send = [&](double t, bool locate) {
        velmarmtc::Snapshot s =
            report(player.reportedAt(us(t)), player.playing(), player.track().value_or(""), locate);
        s.sentAtUnixMs = wallMs(t);
        double delay = delivery.baseMs + delivery.spreadMs * pipe.unit();
        if (pipe.unit() < delivery.stallChance) {
            delay += delivery.stallMs * pipe.unit();
        }
        lastArrival = std::max(lastArrival, t + delay / 1000);
        pipeQueue.push_back({lastArrival, s});
        rec.reportWrites.push_back(us(t));
    };

    size_t next = 0;
    double nextReport = start;
    for (;;) {
        const double stepAt = start + show.steps[next].at;
        const double arrival = pipeQueue.empty() ? 1e300 : pipeQueue.front().arrives;
        const double t = std::min(std::min(stepAt, nextReport), arrival);
        rig.advanceTo(t);
        if (t == arrival) {
            const velmarmtc::Snapshot s = pipeQueue.front().report;
            pipeQueue.erase(pipeQueue.begin());
            rig.engine.transport(s, t, wallMs(t));
            rig.engine.step(t);
            continue;
        }
        bool locate = false;  // a step's own report may ask for a locate; a periodic one never
        if (t == stepAt) {
            const mtccheck::Step& step = show.steps[next++];
            locate = step.locate;
            player.perform(step, us(t));
            mtccheck::StepRecord sr;
            sr.label = step.label;
            sr.cause = step.cause;
            sr.writeUs = us(t);
            rec.steps.push_back(sr);
            if (step.stop) {
                rig.engine.stop();
                break;
            }
        }
        send(t, locate);
        nextReport = t + static_cast<double>(player.nextReportInUs()) / 1e6;
    }
    rec.player = player.history().changes();

    out.packets = rig.sink.packets;
    uint64_t seq = 0;
    for (const Packet& p : out.packets) {
        mtccheck::WireMessage m;
        m.port = 0;
        m.seq = ++seq;
        m.startUs = us(p.time);
        m.endUs =
            m.startUs +
            static_cast<int64_t>(std::llround(static_cast<double>(p.size) * kSecondsPerByte * 1e6));
        m.bytes.assign(p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(p.size));
        rec.wire.push_back(m);
    }
    return out;
}

}  // namespace coretest
