#include "service/protocol.h"

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "json/mtcjson.h"
#include "service/clock.h"
#include "service/stdio.h"
#include "winmm/devices.h"

namespace mtcservice {

namespace {

// The largest id a host may use: 2^53 - 1, the largest integer every JavaScript host can hold
// exactly, so an id always comes back as the same number it was sent as.
constexpr double kMaxRequestId = 9007199254740991.0;

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

// Current wall-clock time in Unix milliseconds, keeping the fraction of a millisecond. Only used
// to judge the age of a report, which the host stamps with its own wall clock.
double unixMillisecondsNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t since1601 = (static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                               static_cast<uint64_t>(now.dwLowDateTime);
    const uint64_t since1970 = since1601 - 116444736000000000ULL;  // 100 ns units, 1601 to 1970
    return static_cast<double>(since1970) / 10000.0;
}

void runStart(const mtcjson::Members& members, velmarmtc::Engine& engine) {
    const std::string outputId = mtcjson::str(members, "outputId");
    checkOutputIdForm(outputId);
    const double fps = mtcjson::num(members, "fps");
    const double offset = mtcjson::num(members, "offset");
    // Rate and offset are the engine's to judge; it refuses them before it opens anything.
    engine.start(outputId, fps, offset, nowSeconds());
}

void runTransport(const mtcjson::Members& members, velmarmtc::Engine& engine) {
    velmarmtc::Snapshot report;
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
    if (members.find("playbackRate") != members.end()) {
        report.playbackRate = mtcjson::num(members, "playbackRate");
    }
    if (members.find("locate") != members.end()) {
        report.locate = mtcjson::boolean(members, "locate");
    }
    // Monotonic time first, wall clock right after: the engine anchors on the first and judges
    // the report's age with the second, so the two must describe the same moment.
    const double now = nowSeconds();
    const double nowUnixMs = unixMillisecondsNow();
    engine.transport(report, now, nowUnixMs);
}

// The ",\"outputs\":[...]" part of the "list" reply. Does not touch the engine.
std::string listReplyExtra() {
    std::string extra = ",\"outputs\":[";
    const std::vector<Device> outputs = devices();
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

void handleCommand(const std::string& line, velmarmtc::Engine& engine) {
    // Only set once the id has been validated: a line whose id is unusable is answered with an
    // error event, since a reply with a made-up id could match another request of the host.
    std::string requestId;
    try {
        const mtcjson::Members members = mtcjson::Parser(line).parse();
        requestId = requestIdOf(members);
        const std::string command = mtcjson::str(members, "command");
        std::string extra;
        if (command == "transport") {
            runTransport(members, engine);
        } else if (command == "start") {
            runStart(members, engine);
        } else if (command == "list") {
            extra = listReplyExtra();
        } else if (command == "stop") {
            engine.stop();
        } else {
            throw std::runtime_error("未知 MIDI 命令。");
        }
        if (!requestId.empty()) {
            // A failure to write this reply is a failure of the command like any other: the
            // handler below stops the output and tries to report it.
            writeJson("{\"id\":" + requestId + ",\"ok\":true" + extra + "}");
        }
    } catch (const std::exception& failure) {
        // Any failed command ends MTC output before it is reported, so the host never believes
        // timecode is running after an error. Exceptions from here on leave the handler: when
        // the output cannot be stopped or the host cannot be told, the service cannot go on.
        engine.stop();
        if (!requestId.empty()) {
            writeJson("{\"id\":" + requestId +
                      ",\"ok\":false,\"error\":" + mtcjson::quote(failure.what()) + "}");
        } else {
            errorEvent(failure.what());
        }
    }
}

}  // namespace mtcservice
