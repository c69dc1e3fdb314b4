// The host command protocol: one JSON command object per input line ("list", "start",
// "transport", "stop"), at most one JSON reply or error event per line on standard output.
//
// No Windows here. The handler reaches the system through three small interfaces (the clocks,
// the device list, the line writer): the service supplies the real ones, and the native test
// program and the command fuzzer run this very handler on simulated ones.
#pragma once

#include <string>
#include <vector>

#include "core/engine.h"

namespace mtcservice {

enum class CommandKind { List, Start, Transport, Stop };

// What "start" hands the engine. The output id has the form of a device id ("winmm:" plus 64
// lower-case hex digits); rate and offset are the engine's to judge.
struct StartArguments {
    std::string outputId;
    double fps = 0;
    double offset = 0;
    bool phaseLock = false;  // the optional "phaseLock" member; false when absent
};

// One decoded command line.
struct Command {
    CommandKind kind = CommandKind::List;
    StartArguments start;        // filled for Start only
    velmarmtc::Snapshot report;  // filled for Transport only
};

// Decodes one non-empty command line. `requestId` is cleared first and set to the id's
// decimal digits as soon as the line's "id" has been found valid, before anything else can
// fail, so that a caller whose decoding failed still knows whether to answer with a failure
// reply (id set) or an error event (id empty).
//
// Throws std::runtime_error "MIDI 命令格式错误。" for a line that is no command object, an
// unusable id, a missing or mistyped member or a badly formed output id, and "未知 MIDI 命令。"
// for a command name that is none of the four. Any thread; allocates the member map, never
// blocks.
Command decodeCommand(const std::string& line, std::string& requestId);

// The output lines, without their line feed. Any thread; allocate the line.
// {"id":<requestId>,"ok":true<extra>}
std::string successReply(const std::string& requestId, const std::string& extra);
// {"id":<requestId>,"ok":false,"error":<quoted message>}
std::string failureReply(const std::string& requestId, const std::string& message);
// {"event":"error","error":<quoted message>}: the one unsolicited line.
std::string errorEventLine(const std::string& message);

// The two clocks a command reads. Called on the handler's thread; neither may block.
class Clock {
  public:
    virtual ~Clock() = default;
    // The monotonic seconds every timing decision of the engine is made on.
    virtual double monotonicSeconds() = 0;
    // Wall-clock time in Unix milliseconds, keeping the fraction of a millisecond. Only the
    // age of a report, which the host stamps with its own wall clock, is judged by it.
    virtual double wallUnixMilliseconds() = 0;
};

// One MIDI output as the "list" reply shows it.
struct Output {
    std::string id;
    std::string name;
};

// The MIDI outputs the host may start on.
class DeviceList {
  public:
    virtual ~DeviceList() = default;
    // The outputs in enumeration order. May block while the system enumerates; throws
    // std::runtime_error with a user-facing message when the list cannot be had.
    virtual std::vector<Output> outputs() = 0;
};

// Where reply and event lines go.
class LineWriter {
  public:
    virtual ~LineWriter() = default;
    // Writes one line (its line feed is the writer's to add) in one piece. May block while the
    // reader of the lines does not read; throws std::runtime_error when the line cannot go out.
    virtual void writeLine(const std::string& line) = 0;
};

// Handles one non-empty command line to completion, reply included.
//
// On the thread that owns the engine (the service's main thread), between two waits of its
// loop. Allocates; may block for as long as the device list or the sink takes (enumerating
// ports for "list", opening or closing a port for "start" and "stop", a bounded close after a
// failure).
//
// "start" reads the monotonic clock; "transport" reads it and the wall clock right after, in
// that order, so both describe the same moment.
//
// Every failure of the command (a malformed line, a bad id or member, an unknown command, or
// anything the engine, the sink, the device list or the writer of the success reply throws)
// first stops the output through Engine::stop and is then reported: as a failure reply when
// the line carried a valid "id", else as an error event. Only a failure of that report itself,
// or of that Engine::stop, leaves this function; the service treats it as fatal.
void handleCommand(const std::string& line, velmarmtc::Engine& engine, Clock& clock,
                   DeviceList& deviceList, LineWriter& writer);

}  // namespace mtcservice
