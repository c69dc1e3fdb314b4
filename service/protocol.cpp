#include "service/protocol.h"

#include <windows.h>

#include <cstdint>
#include <exception>
#include <vector>

#include "json/mtcjson.h"
#include "service/clock.h"
#include "service/command.h"
#include "service/stdio.h"
#include "winmm/devices.h"

namespace mtcservice {

namespace {

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
                const double now = nowSeconds();
                const double nowUnixMs = unixMillisecondsNow();
                engine.transport(command.report, now, nowUnixMs);
                break;
            }
            case CommandKind::Start:
                // Rate and offset are the engine's to judge; it refuses them before it opens
                // anything.
                engine.start(command.start.outputId, command.start.fps, command.start.offset,
                             nowSeconds());
                break;
            case CommandKind::List:
                extra = listReplyExtra();
                break;
            case CommandKind::Stop:
                engine.stop();
                break;
        }
        if (!requestId.empty()) {
            // A failure to write this reply is a failure of the command like any other: the
            // handler below stops the output and tries to report it.
            writeJson(successReply(requestId, extra));
        }
    } catch (const std::exception& failure) {
        // Any failed command ends MTC output before it is reported, so the host never believes
        // timecode is running after an error. Exceptions from here on leave the handler: when
        // the output cannot be stopped or the host cannot be told, the service cannot go on.
        engine.stop();
        if (!requestId.empty()) {
            writeJson(failureReply(requestId, failure.what()));
        } else {
            errorEvent(failure.what());
        }
    }
}

}  // namespace mtcservice
