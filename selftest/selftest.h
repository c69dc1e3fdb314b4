// The built-in self test: the production Engine driven against a recording sink on a simulated
// clock, through scripted scenarios that check its timing and locate rules, the drop-frame
// labels and the JSON reader's strictness. No device, no thread, no real clock: the outcome is
// deterministic. Portable (no Windows headers).
//
// Single-threaded. Everything here may allocate; nothing blocks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/sink.h"

namespace velmarmtc {
namespace selftest {

// One message that reached the simulated output.
struct Packet {
    double time = 0;             // the capture's `now` when it was recorded
    std::vector<uint8_t> bytes;  // F1 dd, or the ten full-frame bytes
};

// A Sink that records what the engine sends, in simulated time. A full frame takes
// `fullDuration` seconds to complete; while it is in flight the newest further full frame is
// held (replacing an older held one) and a quarter frame is a fault of the engine.
class Capture : public Sink {
  public:
    double now = 0;           // simulated time, set by the test and by Rig::run
    double fullDuration = 0;  // how long a full frame takes to complete
    double busyUntil = 0;     // completion time of the full frame in flight
    bool opened = false;      // open called and not closed
    bool busy = false;        // a full frame is in flight
    bool attached = true;     // what connected() reports; clear it to simulate a detach
    int32_t clears = 0;       // number of clearPending calls
    std::optional<std::array<uint8_t, 10>> queued;  // the one held full frame
    std::vector<Packet> packets;                    // everything sent, in order

    void open(const std::string& id) override;
    void clearPending() override;
    void full(const std::array<uint8_t, 10>& message) override;
    // Throws "quarter interleaved pending locate" while a full frame is in flight.
    void quarter(uint8_t data) override;
    bool ready() override;
    bool connected() override;
    void close() override;

    // Records the full frame as sent now and puts it in flight for fullDuration.
    void submit(const std::array<uint8_t, 10>& message);
};

// A started engine over its own capture: rate `fps`, offset 3600, started at time 0.
// Not copyable: the engine points at the capture beside it.
struct Rig {
    Capture capture;
    Engine engine;

    explicit Rig(double fps = 25.0);
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // A report that is exactly fresh at the capture's now, handed to Engine::transport.
    void send(double position, bool playing, std::string trackId, bool locate);
    // A player reporting every 20 ms (playing, track "A", position basePosition + t - baseTime)
    // and a service timer stepping the engine every millisecond, from the capture's now + 1 ms
    // up to `until`.
    void run(double until, double basePosition, double baseTime);
};

// Throws std::runtime_error(message) when `condition` is false.
void require(bool condition, const char* message);

// A report with rate 1.0, hasTrack = !trackId.empty() and sentAtUnixMs = sentAt * 1000.
Snapshot value(double position, bool playing, std::string trackId, bool locate, double sentAt);

// Runs every scenario in order and returns the number of checks the self test stands for (43).
// The first failed check leaves as std::runtime_error with its English message; so does any
// failure of the engine, the capture or the JSON reader.
int32_t run();

// The self-test mode's verdict: the one line it writes (without line feed) and its exit code.
struct Verdict {
    std::string line;
    int exitCode = 1;
};

// {"passed":true,"checks":N,"scope":"..."} for a run that returned N checks.
std::string passedLine(int32_t checks);
// {"passed":false,"error":<quoted message>}.
std::string failedLine(const std::string& message);

// Calls `body` (normally run) and turns its outcome into the verdict: the passed line and exit
// code 0 when it returns, the failed line with the exception's message and exit code 1 when it
// throws. Never throws except for allocation failure while building the line.
Verdict judge(int32_t (*body)());

}  // namespace selftest
}  // namespace velmarmtc
