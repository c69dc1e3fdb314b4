#include "service/windows_adapters.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/clock.h"
#include "service/line_io.h"
#include "service/timing.h"
#include "winmm/devices.h"

namespace mtcservice {

double SystemClock::monotonicSeconds() {
    return nowSeconds();
}

double SystemClock::wallUnixMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return unixMillisecondsFromFileTime((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                                        static_cast<uint64_t>(now.dwLowDateTime));
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
