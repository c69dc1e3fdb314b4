#include "service/protocol.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/clock.h"
#include "service/stdio.h"
#include "winmm/devices.h"

namespace mtcservice {

double SystemClock::monotonicSeconds() {
    return nowSeconds();
}

double SystemClock::wallUnixMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t since1601 = (static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                               static_cast<uint64_t>(now.dwLowDateTime);
    const uint64_t since1970 = since1601 - 116444736000000000ULL;  // 100 ns units, 1601 to 1970
    return static_cast<double>(since1970) / 10000.0;
}

std::vector<Output> WinmmDeviceList::outputs() {
    std::vector<Output> outputs;
    for (Device& device : devices()) {
        outputs.push_back(Output{std::move(device.id), std::move(device.name)});
    }
    return outputs;
}

void StandardOutputWriter::writeLine(const std::string& line) {
    writeJson(line);
}

}  // namespace mtcservice
