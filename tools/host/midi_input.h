// Reading a WinMM MIDI input: what comes back through a loopback cable, a virtual loopback
// port or the simulated port's looped input, as complete messages with their arrival times.
//
// WinMM hands input to a function callback on a driver thread. That callback must not call
// any multimedia function (a driver may deadlock), so here it only copies each message, the
// performance-counter time it ran at, the driver's own millisecond time and any returned buffer
// into a bounded queue, and signals the host's thread. The host's thread (poll, whenever the
// wake event is set) re-queues the system exclusive buffers, joins a message split across
// buffers and turns the rest into messages and problems.
//
// Real drivers are less tidy than the documentation: they may hand back system exclusive in
// pieces of a few bytes, drop bytes that find no buffer without MIM_LONGERROR, send MIM_CLOSE
// unasked when the device is unplugged while WinMM keeps the handle's index valid, and hang in
// their close. So: many buffers, given back as soon as the host's thread wakes; a message
// interrupted, or a continuation that may follow lost bytes, is a problem and never joined;
// the device at the handle's index must keep the identity the input had; the close runs on a
// worker within a time limit. Errors the driver reports, messages lost because the queue was
// full, and an input that disappears all become problems, never silent drops.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace mtchost {

// One MIDI input as listed.
struct InputPort {
    unsigned index = 0;  // WinMM input index at the time of listing
    std::string name;    // the driver's product name in UTF-8 ("" when it has none)
    // "winmm:" + 64 lowercase hex digits of a SHA-256 over the interface path, name and
    // manufacturer, product and driver-version numbers (the outputs' construction with its own
    // tag, so an input never shares an output's id); "" when the driver reports no usable
    // interface path, which leaves nothing stable to name the port by.
    std::string id;
};

// Why WinMM's input functions are not available ("" when they are). winmm.dll is loaded at
// the first call of any function here, not when the program starts. Host thread.
std::string inputLayerError();

// Every input whose capabilities can be read, in index order (none when inputLayerError()). Host
// thread; allocates; may block as long as the driver takes to answer.
std::vector<InputPort> listInputs();

// The inputs that `wanted` names: those whose id is exactly `wanted`, else those whose name is
// exactly `wanted`; "" names none. Empty or several: the caller cannot pick one.
std::vector<InputPort> matchInputs(const std::vector<InputPort>& inputs, const std::string& wanted);

// A WinMM result as text: "the device is already in use by another program (WinMM 4)".
std::string winmmText(unsigned result);

// One message as it arrived.
struct InputMessage {
    std::vector<std::uint8_t> bytes;  // a whole short message, or F0 ... F7
    // Microseconds of the performance counter when the callback for its last part ran.
    std::int64_t arrivalUs = 0;
    // The driver's time stamp (milliseconds since the input was started), kept beside it.
    std::uint32_t driverMs = 0;
};

// Something that went wrong on the input, at a performance-counter time in microseconds.
struct InputProblem {
    std::int64_t atUs = 0;
    std::string text;
};

// An input that could not be opened or started; `result` is the WinMM result.
class InputError : public std::runtime_error {
  public:
    InputError(const std::string& text, unsigned result)
        : std::runtime_error(text), result_(result) {}
    unsigned result() const { return result_; }

  private:
    unsigned result_;
};

struct InputOptions {
    // System exclusive buffers kept queued (at least 2): a driver that returns a full frame in
    // 4-byte pieces uses three for it, and the host's thread may be busy for a moment.
    unsigned buffers = 16;
    unsigned bufferBytes = 256;      // each; a full frame is 10 bytes
    unsigned queueCapacity = 4096;   // callback messages waiting for the host's thread
    unsigned closeStepMs = 200;      // time limit of each step of close() on its worker
    unsigned closeLimitMs = 2000;    // how long close() waits for its worker in all
    unsigned presenceEveryMs = 250;  // how often poll() asks whether the input still exists
};

// One open, started input. Every member function runs on the host's thread (one owner).
class MidiInput {
  public:
    // Opens input `index` with a function callback, queues the buffers and starts it. Throws
    // InputError naming the input and WinMM's result when any step fails (nothing stays open).
    explicit MidiInput(unsigned index, const InputOptions& options = InputOptions());
    // Closes as close() does, ignoring its verdict.
    ~MidiInput();
    MidiInput(const MidiInput&) = delete;
    MidiInput& operator=(const MidiInput&) = delete;

    const std::string& name() const { return name_; }

    // An auto-reset event (a HANDLE) the callback sets whenever it queued something, for the
    // host's thread to wait on beside its other work.
    void* wakeEvent() const;

    // Takes everything the callback queued, in arrival order: appends complete messages and
    // problems, re-queues returned buffers, and every `presenceEveryMs` asks WinMM whether the
    // handle still has an index and the device there still has the input's identity. Call it
    // whenever wakeEvent() is set, so the driver is never short of buffers. Never waits;
    // allocates as the outputs grow.
    void poll(std::vector<InputMessage>& messages, std::vector<InputProblem>& problems);

    // Messages the callback had to drop because the queue was full, since open.
    std::uint64_t overruns() const;

    // Stops and closes the input on a worker thread, each step within `closeStepMs`:
    // midiInReset (every buffer comes back done), unprepare, midiInClose; waits for the worker
    // at most `closeLimitMs`, since a driver call may block without end. Returns false with
    // `error` set when a step failed or did not return in time; the driver (or the worker) may
    // then still hold the buffers, so they and the state the callback writes to are left
    // allocated rather than freed under it. Blocks up to `closeLimitMs`.
    bool close(std::string& error);

    // What the callback shares with the host's thread (defined where the callback is).
    struct Shared;

  private:
    struct Event;  // one thing the callback queued (defined where the callback is)
    // One event taken from the queue: a message or a problem. Host thread.
    void handleEvent(const Event& e, std::vector<InputMessage>& messages,
                     std::vector<InputProblem>& problems);
    // Opens `index` with the callback on `shared`, queues the buffers and starts it; throws
    // InputError (closing what was opened) when a step fails.
    void openAndStart(unsigned index, std::unique_ptr<Shared> shared);
    void handleLong(void* header, bool error, std::int64_t at, std::uint32_t driverMs,
                    std::vector<InputMessage>& messages, std::vector<InputProblem>& problems);
    void requeue(void* header, std::int64_t at, std::vector<InputProblem>& problems);
    void checkPresence(std::int64_t now, std::vector<InputProblem>& problems);
    void interrupted(const std::vector<std::uint8_t>& by, std::int64_t at,
                     std::vector<InputProblem>& problems);

    InputOptions options_;
    std::string name_;
    std::string identity_;    // what its id is made of, to know it again at its index
    void* handle_ = nullptr;  // HMIDIIN
    Shared* shared_ = nullptr;
    std::vector<std::uint8_t> partial_;  // a system exclusive message still arriving
    std::uint64_t overrunsReported_ = 0;
    std::int64_t nextPresenceCheckUs_ = 0;
    bool vanished_ = false;
    bool requeueFailed_ = false;
};

}  // namespace mtchost
