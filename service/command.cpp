#include "service/command.h"

#include <cmath>
#include <cstddef>
#include <exception>
#include <stdexcept>

#include "json/mtcjson.h"

namespace mtcservice {

namespace {

// The largest id a host may use: 2^53 - 1, the largest integer every JavaScript host can hold
// exactly, so an id always comes back as the same number it was sent as.
constexpr double kMaxRequestId = 9007199254740991.0;

const char kUnknownCommand[] = "未知 MIDI 命令。";
const char kErrorEventPrefix[] = "{\"event\":\"error\",\"error\":";

// The one message for every malformed command (the JSON reader throws the same text).
[[noreturn]] void malformed() {
    throw mtcjson::invalid();
}

// The request id as the digits the reply carries, or an empty text when the line has no "id".
// An id written 1e3 is answered as 1000 and -0 as 0: the host gets back the integer value.
std::string requestIdOf(const mtcjson::Members& members) {
    if (members.find("id") == members.end()) {
        return std::string();
    }
    const double id = mtcjson::num(members, "id");
    // The negated comparison also refuses NaN, although the reader never produces one.
    if (!(id >= 0.0 && id <= kMaxRequestId) || std::floor(id) != id) {
        malformed();
    }
    return std::to_string(static_cast<unsigned long long>(id));
}

bool isLowerHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The form of a device id is checked here, before the engine is touched, so that a host bug
// (an index, a name, an upper-cased id) is reported as a malformed command rather than as a
// port that has gone away.
void checkOutputIdForm(const std::string& id) {
    static const char kPrefix[] = "winmm:";
    constexpr size_t kPrefixLength = sizeof kPrefix - 1;
    if (id.size() != kPrefixLength + 64 || id.compare(0, kPrefixLength, kPrefix) != 0) {
        malformed();
    }
    for (size_t i = kPrefixLength; i < id.size(); ++i) {
        if (!isLowerHexDigit(id[i])) {
            malformed();
        }
    }
}

void decodeStart(const mtcjson::Members& members, StartArguments& start) {
    start.outputId = mtcjson::str(members, "outputId");
    checkOutputIdForm(start.outputId);
    start.fps = mtcjson::num(members, "fps");
    start.offset = mtcjson::num(members, "offset");
    // Optional, like the report's optional members: absent means the default timing, and a
    // value of another kind is a host bug.
    if (members.find("phaseLock") != members.end()) {
        start.phaseLock = mtcjson::boolean(members, "phaseLock");
    }
}

void decodeTransport(const mtcjson::Members& members, velmarmtc::Snapshot& report) {
    const auto track = members.find("trackId");
    if (track == members.end()) {
        malformed();  // the key is required; null is how a host says "no track"
    }
    if (track->second.kind == mtcjson::Kind::String) {
        report.trackId = track->second.text;
        report.hasTrack = true;
    } else if (track->second.kind != mtcjson::Kind::Null) {
        malformed();
    }
    report.position = mtcjson::num(members, "position");
    report.playing = mtcjson::boolean(members, "playing");
    report.sentAtUnixMs = mtcjson::num(members, "sentAtUnixMs");
    // Optional members keep the snapshot's defaults (rate 1, no locate) when absent, but a
    // present one of the wrong kind is a host bug, not something to guess around.
    if (members.find("playbackRate") != members.end()) {
        report.playbackRate = mtcjson::num(members, "playbackRate");
    }
    if (members.find("locate") != members.end()) {
        report.locate = mtcjson::boolean(members, "locate");
    }
}

// The ",\"outputs\":[...]" part of the "list" reply. Does not touch the engine.
std::string listReplyExtra(DeviceList& deviceList) {
    std::string extra = ",\"outputs\":[";
    const std::vector<Output> outputs = deviceList.outputs();
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (i != 0) {
            extra += ',';
        }
        extra += "{\"id\":";
        extra += mtcjson::quote(outputs[i].id);
        extra += ",\"name\":";
        extra += mtcjson::quote(outputs[i].name);
        extra += '}';
    }
    extra += ']';
    return extra;
}

}  // namespace

Command decodeCommand(const std::string& line, std::string& requestId) {
    requestId.clear();
    const mtcjson::Members members = mtcjson::Parser(line).parse();
    requestId = requestIdOf(members);
    const std::string name = mtcjson::str(members, "command");
    Command command;
    if (name == "transport") {
        command.kind = CommandKind::Transport;
        decodeTransport(members, command.report);
    } else if (name == "start") {
        command.kind = CommandKind::Start;
        decodeStart(members, command.start);
    } else if (name == "list") {
        command.kind = CommandKind::List;
    } else if (name == "stop") {
        command.kind = CommandKind::Stop;
    } else {
        throw std::runtime_error(kUnknownCommand);
    }
    return command;
}

std::string successReply(const std::string& requestId, const std::string& extra) {
    return "{\"id\":" + requestId + ",\"ok\":true" + extra + "}";
}

std::string failureReply(const std::string& requestId, const std::string& message) {
    return "{\"id\":" + requestId + ",\"ok\":false,\"error\":" + mtcjson::quote(message) + "}";
}

std::string errorEventLine(const std::string& message) {
    return kErrorEventPrefix + mtcjson::quote(message) + "}";
}

void handleCommand(const std::string& line, velmarmtc::Engine& engine, Clock& clock,
                   DeviceList& deviceList, LineWriter& writer) {
    // Set by the decoder only once the id has been validated: a line whose id is unusable is
    // answered with an error event, since a reply with a made-up id could match another request
    // of the host.
    std::string requestId;
    try {
        // Every member is read and checked before the engine is touched, so a malformed command
        // changes nothing but (below) stops the output.
        const Command command = decodeCommand(line, requestId);
        std::string extra;
        switch (command.kind) {
            case CommandKind::Transport: {
                // Monotonic time first, wall clock right after: the engine anchors on the first
                // and judges the report's age with the second, so the two must describe the
                // same moment.
                const double now = clock.monotonicSeconds();
                const double nowUnixMs = clock.wallUnixMilliseconds();
                engine.transport(command.report, now, nowUnixMs);
                break;
            }
            case CommandKind::Start:
                // Rate and offset are the engine's to judge; it refuses them before it opens
                // anything.
                engine.start(command.start.outputId, command.start.fps, command.start.offset,
                             clock.monotonicSeconds(), command.start.phaseLock);
                break;
            case CommandKind::List:
                extra = listReplyExtra(deviceList);
                break;
            case CommandKind::Stop:
                engine.stop();
                break;
        }
        if (!requestId.empty()) {
            // A failure to write this reply is a failure of the command like any other: the
            // handler below stops the output and tries to report it.
            writer.writeLine(successReply(requestId, extra));
        }
    } catch (const std::exception& failure) {
        // Any failed command ends MTC output before it is reported, so the host never believes
        // timecode is running after an error. Exceptions from here on leave the handler: when
        // the output cannot be stopped or the host cannot be told, the service cannot go on.
        engine.stop();
        if (!requestId.empty()) {
            writer.writeLine(failureReply(requestId, failure.what()));
        } else {
            writer.writeLine(errorEventLine(failure.what()));
        }
    }
}

}  // namespace mtcservice
