// mtc-host: a development host for mtc-service. It starts the service beside it as a child
// process, speaks only the service's line protocol with it, plays a show script as a media
// player would, and watches the MIDI wire as a strict MTC receiver. At the end it prints a
// report and writes it as JSON and as an SVG chart.
//
// Everything goes to standard output; nothing is written to standard error.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "check/script.h"
#include "check/win/files.h"
#include "tools/host/console.h"
#include "tools/host/runner.h"

namespace {

const char* kUsage =
    "usage: mtc-host [options]\n"
    "  --service PATH   mtc-service.exe to start (default: the one beside mtc-host.exe)\n"
    "  --output ID|NAME MIDI output to drive (default: the first one listed)\n"
    "  --input ID|NAME  MIDI input to read the output back from (a loopback cable or\n"
    "                   port); the receiver then reads what really arrives\n"
    "  --list           list the MIDI outputs the service sees (id, name) and exit\n"
    "  --list-inputs    list the MIDI inputs (index, name, id) and exit\n"
    "  --script FILE    show script to play (default: the built-in show)\n"
    "  --fps N          frame rate, overriding the script: 24, 25, 29.97 or 30\n"
    "  --offset T       timecode of position 0, overriding the script: seconds or h:m:s\n"
    "  --phase-lock     start MTC with \"phaseLock\":true (piece 0 of every cycle on the\n"
    "                   player's frame boundaries)\n"
    "  --report DIR     folder for report.json and receiver-error.svg\n"
    "                   (default: report\\ beside the folder of mtc-host.exe)\n"
    "  --recording FILE the simulated MIDI port's recording to read as the receiver\n"
    "                   (default: none, as with a real device); with --input, read as\n"
    "                   well and compared with the input\n"
    "  --print-show     print the built-in show script and exit\n"
    "exit codes: 0 the show ran and the report found nothing wrong, 1 the show could not\n"
    "run, 2 bad command line or script, 3 the report lists problems\n";

// Takes an option that has a value; false (said why) when the option is unknown or its value
// wrong.
bool takeValue(const std::wstring& arg, const std::wstring& value, mtchost::Options& options,
               mtchost::Console& console, const std::string& usage) {
    // Paths stay as typed (`path`); names and ids are compared as UTF-8 (`text`).
    using mtchost::Options;
    const struct {
        const wchar_t* flag;
        std::wstring Options::*path;
        std::string Options::*text;
    } plain[] = {
        {L"--service", &Options::service, nullptr},     {L"--script", &Options::script, nullptr},
        {L"--report", &Options::reportDir, nullptr},    {L"--output", nullptr, &Options::output},
        {L"--recording", nullptr, &Options::recording}, {L"--input", nullptr, &Options::input}};
    const std::string text = mtccheck::narrow(value);
    for (const auto& p : plain) {
        if (arg == p.flag) {
            if (p.path != nullptr) {
                options.*p.path = value;
            } else {
                options.*p.text = text;
            }
            return true;
        }
    }
    if (arg == L"--fps") {
        if (text != "24" && text != "25" && text != "29.97" && text != "30") {
            console.line("mtc-host: --fps must be 24, 25, 29.97 or 30");
            return false;
        }
        options.haveFps = true;
        options.fps = std::wcstod(value.c_str(), nullptr);
    } else if (arg == L"--offset") {
        if (!mtccheck::parseTime(text, options.offset) || options.offset >= 86400) {
            console.line("mtc-host: --offset must be seconds or h:m:s below 24 hours");
            return false;
        }
        options.haveOffset = true;
    } else {
        console.line("mtc-host: unknown option " + mtccheck::narrow(arg) + "\n" + usage);
        return false;
    }
    return true;
}

}  // namespace

// wmain, so paths and output names arrive as the user typed them, whatever the code page.
int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    mtchost::Console console;
    mtchost::Options options;
    options.reportDir = mtccheck::programFolder() + L"..\\report";

    const std::string usage(kUsage, std::strlen(kUsage) - 1);  // Console::line adds the "\n"
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h") {
            console.line(usage);
            return mtchost::kExitOk;
        }
        if (arg == L"--list") {
            options.listOutputs = true;
            continue;
        }
        if (arg == L"--phase-lock") {
            options.phaseLock = true;
            continue;
        }
        if (arg == L"--list-inputs") {
            return mtchost::printInputs(console);
        }
        if (arg == L"--print-show") {
            std::string text = mtccheck::defaultShowText();
            text.pop_back();
            console.line(text);
            return mtchost::kExitOk;
        }
        if (i + 1 >= argc) {
            console.line("mtc-host: unknown option or missing value: " + mtccheck::narrow(arg) +
                         "\n" + usage);
            return mtchost::kExitUsage;
        }
        if (!takeValue(arg, argv[++i], options, console, usage)) {
            return mtchost::kExitUsage;
        }
    }
    return mtchost::runShow(options, console);
}
