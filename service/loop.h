// The service mode of mtc-service: the reader thread, the high-resolution timer, the "Pro Audio"
// main thread that handles the host's commands and steps the transport engine at its deadlines.
#pragma once

#include <optional>

#include "service/command.h"
#include "service/line_io.h"

namespace mtcservice {

// Runs the service until standard input ends, the input overflows or a fatal failure occurs,
// then ends the process itself with ExitProcess (0 at end of input, 2 otherwise). Returns only
// when start-up fails (no input event, no reader thread, no timer): then it returns 2 without
// having written anything.
//
// Called once, on the process's main thread, which it keeps for the whole run. Blocks for the
// life of the process; allocates (the reader, command handling, device enumeration).
int runService();

// What the loop reaches the rest of the system through: the service passes the real clock,
// WinMM device list and standard output, the loop's own tests their own.
struct LoopSurroundings {
    Clock* clock = nullptr;  // every time the loop and the commands read
    DeviceList* deviceList = nullptr;
    LineWriter* writer = nullptr;  // every reply and event
    // Behave as on a system without high-resolution waitable timers (an ordinary timer and the
    // 1-ms timer resolution while output runs). Only tests set it.
    bool refuseHighResolutionTimer = false;
};

// The service mode between the reader thread's start and the end of the process: creates the
// timer, joins "Pro Audio", builds the sink and the engine, runs the loop on `reader` until it
// ends, and cleans up the timer, the timer resolution and the scheduling class. The exit code,
// or nothing when no timer could be created (nothing was written then).
//
// On the thread that owns the service (the main thread), which joins the "Pro Audio" class for
// the run. Blocks until the loop ends; allocates.
std::optional<int> serveLines(Reader& reader, const LoopSurroundings& surroundings);

}  // namespace mtcservice
