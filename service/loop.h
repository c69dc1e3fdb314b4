// The service mode of mtc-service: the reader thread, the high-resolution timer, the "Pro Audio"
// main thread that handles the host's commands and steps the transport engine at its deadlines.
#pragma once

namespace mtcservice {

// Runs the service until standard input ends, the input overflows or a fatal failure occurs,
// then ends the process itself with ExitProcess (0 at end of input, 2 otherwise). Returns only
// when start-up fails (no input event, no reader thread, no timer): then it returns 2 without
// having written anything.
//
// Called once, on the process's main thread, which it keeps for the whole run. Blocks for the
// life of the process; allocates (the reader, command handling, device enumeration).
int runService();

}  // namespace mtcservice
