// The host command protocol: one JSON command object per input line ("list", "start",
// "transport", "stop"), at most one JSON reply or error event per line on standard output.
#pragma once

#include <string>

#include "core/engine.h"

namespace mtcservice {

// Handles one non-empty command line to completion, reply included.
//
// Main thread only, between two waits of the service loop. Allocates; may block for as long as
// the device layer takes (enumerating ports for "list", opening or closing a port for "start"
// and "stop", a bounded close after a failure).
//
// Every failure of the command (a malformed line, a bad id or member, an unknown command, or
// anything the engine, the sink or the device list throws) first stops the output through
// Engine::stop and is then reported: as a failure reply when the line carried a valid "id", else
// as an error event. Only a failure of that report itself, or of that Engine::stop, leaves this
// function; the service treats it as fatal.
void handleCommand(const std::string& line, velmarmtc::Engine& engine);

}  // namespace mtcservice
