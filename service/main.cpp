// Entry of mtc-service: picks the mode from the command line.
//
//   (no argument)  service mode: the host protocol on standard input and output
//   --version      the version line, exit 0
//   --self-test    the self test's verdict line, exit 0 (passed) or 1 (failed)
//   anything else  nothing written, exit 2
//
// Nothing is ever written to standard error; standard output is the protocol.

#include <cwchar>
#include <exception>

#include "service/loop.h"
#include "service/selftest_mode.h"
#include "service/line_io.h"

namespace {

// Protocol version 1 of the host protocol; "x64" names the build's processor architecture.
const char kVersionLine[] =
    "{\"name\":\"Velmarcast native Windows MTC\",\"protocolVersion\":1,\"architecture\":\"x64\"}";

// Main thread. Writes the version line; exit 2 when standard output cannot take it, so a host
// that asked for the version never reads success without a line.
int versionMode() {
    try {
        mtcservice::writeJson(kVersionLine);
        return 0;
    } catch (const std::exception&) {
        return 2;
    }
}

}  // namespace

// The process's main thread. Returns the exit code of the version and self-test modes and of a
// bad command line; the service mode blocks for the life of the process and ends it itself.
// The arguments are taken as UTF-16, exactly as the host passed them. The narrow argv would be
// converted through the ANSI code page first, whose best-fit mapping can turn look-alike
// characters (a full-width hyphen, say) into an accepted switch.
int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 1) {
            return mtcservice::runService();
        }
        if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
            return versionMode();
        }
        if (argc == 2 && std::wcscmp(argv[1], L"--self-test") == 0) {
            return mtcservice::selfTestMode();
        }
        return 2;
    } catch (...) {
        // No exception may reach the runtime, whose last-chance handler would write to
        // standard error.
        return 2;
    }
}
