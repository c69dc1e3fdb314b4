// machine-id: prints this installation's machine GUID from the registry as one JSON line, or
// one JSON error line naming the failure and its Windows code. Exit code 0 only when the GUID
// line was written whole.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "guid_value.h"

static_assert(machineid::kRegSz == REG_SZ, "registry string type");
static_assert(machineid::kErrorInvalidData == ERROR_INVALID_DATA, "invalid data code");
static_assert(machineid::kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "parameter code");

namespace {

constexpr DWORD kValueBufferBytes = static_cast<DWORD>(machineid::kValueBufferBytes);
constexpr std::size_t kLineBytes = 160;

// Reads MachineGuid from the 64-bit registry view (also from a 32-bit build, whose default
// view would be the WOW64 copy that does not hold the installation's GUID).
void queryMachineGuid(machineid::Result& result) {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography",
                                         0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened != ERROR_SUCCESS) {
        machineid::fail(result, static_cast<std::uint32_t>(opened));
        return;
    }
    BYTE value[kValueBufferBytes] = {};
    DWORD type = 0;
    DWORD size = kValueBufferBytes;
    const LSTATUS queried = RegQueryValueExW(key, L"MachineGuid", nullptr, &type, value, &size);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS) {
        // ERROR_MORE_DATA may have left part of the value in the buffer.
        machineid::fail(result, static_cast<std::uint32_t>(queried));
    } else {
        machineid::acceptGuidValue(type, value, size, result);
    }
    machineid::wipe(value, sizeof value);
}

// Formats and writes the one output line. Returns the exit code.
int writeResult(const machineid::Result& result) {
    char line[kLineBytes];
    const int length =
        result.error != nullptr
            ? std::snprintf(line, sizeof line,
                            "{\"version\":1,\"error\":\"%s\",\"win32Code\":%lu}\n", result.error,
                            static_cast<unsigned long>(result.code))
            : std::snprintf(line, sizeof line, "{\"version\":1,\"guid\":\"%s\"}\n", result.guid);
    int exitCode = 1;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        // One write, no retry: a caller reading one line gets either all of it or a failure.
        const bool whole = out != nullptr && out != INVALID_HANDLE_VALUE &&
                           WriteFile(out, line, static_cast<DWORD>(length), &written, nullptr) &&
                           written == static_cast<DWORD>(length);
        if (whole && result.error == nullptr) {
            exitCode = 0;
        }
    }
    machineid::wipe(line, sizeof line);
    return exitCode;
}

}  // namespace

// wmain, so the argument is compared as the caller typed it: a narrow argv would pass through
// the ANSI code page, whose best-fit mapping can turn look-alike characters into "-".
int wmain(int argc, wchar_t** argv) {
    // No critical-error, fault or open-file dialog may ever block a caller waiting for a line.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    machineid::Result result = {};
    const bool query =
        argc <= 1 || (argc == 2 && std::wcscmp(argv[1], L"--read-machine-guid") == 0);
    if (query) {
        queryMachineGuid(result);
    } else {
        machineid::fail(result, machineid::kErrorInvalidParameter);
    }
    const int exitCode = writeResult(result);
    machineid::wipe(&result, sizeof result);
    return exitCode;
}
