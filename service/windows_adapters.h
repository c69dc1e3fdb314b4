// The Windows side of the host command protocol: the clocks, the device list and the standard
// output writer that the service hands the portable command handler (service/command.h).
#pragma once

#include <string>
#include <vector>

#include "service/command.h"

namespace mtcservice {

// nowSeconds() and the system time. Main thread; never blocks or allocates.
class SystemClock final : public Clock {
  public:
    double monotonicSeconds() override;
    // GetSystemTimeAsFileTime, as Unix milliseconds with the fraction of a millisecond kept.
    double wallUnixMilliseconds() override;
};

// The WinMM outputs as devices() enumerates them. Main thread; blocks while it enumerates and
// allocates the list; throws what devices() throws.
class WinmmDeviceList final : public DeviceList {
  public:
    std::vector<Output> outputs() override;
};

// writeJson on standard output. Main thread; blocks while the host does not read; throws what
// writeJson throws.
class StandardOutputWriter final : public LineWriter {
  public:
    void writeLine(const std::string& line) override;
};

}  // namespace mtcservice
