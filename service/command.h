// The portable half of the host command protocol: turning one command line into a decoded
// command, and the reply lines the handler writes. No Windows, no clock, no engine: the caller
// (the service's command handler, and the native fuzzer) runs the decoded command.
#pragma once

#include <string>

#include "core/engine.h"

namespace mtcservice {

enum class CommandKind { List, Start, Transport, Stop };

// What "start" hands the engine. The output id has the form of a device id ("winmm:" plus 64
// lower-case hex digits); rate and offset are the engine's to judge.
struct StartArguments {
    std::string outputId;
    double fps = 0;
    double offset = 0;
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

}  // namespace mtcservice
