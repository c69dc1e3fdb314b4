// The host's whole run: start the service, list and choose an output, start MTC, play the
// show while watching the wire as a receiver, stop, and report.
#pragma once

#include <string>

#include "tools/host/console.h"

namespace mtchost {

struct Options {
    std::wstring service;      // path of mtc-service.exe; empty: beside this program
    std::string output;        // output id or name; empty: the first listed
    std::wstring script;       // show script file; empty: the built-in show
    std::wstring reportDir;    // where report.json and receiver-error.svg go
    std::string recording;     // the simulated port's recording (--recording); empty: none
    std::string input;         // MIDI input id or name to read the wire back from; empty: none
    bool listOutputs = false;  // only list the service's MIDI outputs, then stop it
    bool haveFps = false;      // --fps given (overrides the script's)
    double fps = 25;
    bool haveOffset = false;  // --offset given
    double offset = 0;
    bool phaseLock = false;  // --phase-lock: start the service with "phaseLock":true
};

// Exit codes of the host.
enum ExitCode : int {
    kExitOk = 0,        // the show ran and the report found nothing wrong
    kExitFailed = 1,    // the show could not run (service, output, start)
    kExitUsage = 2,     // bad command line or show script
    kExitProblems = 3,  // the show ran; the report lists problems
};

// Runs the show. Main thread; blocks for the length of the show; allocates.
int runShow(const Options& options, Console& console);

// Prints the MIDI inputs (index, name, id); kExitFailed when WinMM cannot be loaded. Main
// thread; loads winmm.dll.
int printInputs(Console& console);

}  // namespace mtchost
