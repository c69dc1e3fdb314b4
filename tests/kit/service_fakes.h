// The command handler's surroundings for the portable tests and the command fuzzer: a clock
// that is set by hand and records which of its two readings were taken, in order; a device list
// that can be made to fail; a writer that keeps every line and can refuse some. The service's
// real ones are in service/windows_adapters.*.
//
// Single-threaded, like the handler. They allocate as any test code does.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/command.h"
#include "tests/kit/wall_clock.h"

namespace mtctest {

// What the service's writer throws once the host has gone.
constexpr char kOutputLost[] = "MTC 输出服务连接已中断。";

// A monotonic clock at `now` and a wall clock that follows it from kWallEpochMs, unless
// `wallMs` says otherwise. `reads` gets an "m" for each monotonic and a "w" for each wall
// reading, so a test can see which were taken and in what order.
class FakeClock final : public mtcservice::Clock {
  public:
    double now = 0;
    std::optional<double> wallMs;
    std::string reads;

    double monotonicSeconds() override {
        reads += 'm';
        return now;
    }
    double wallUnixMilliseconds() override {
        reads += 'w';
        return wallMs ? *wallMs : mtctest::wallMs(now);
    }
};

// Lists `list`, or throws a runtime_error with `failure` while that is set.
class FakeDeviceList final : public mtcservice::DeviceList {
  public:
    std::vector<mtcservice::Output> list;
    std::optional<std::string> failure;

    std::vector<mtcservice::Output> outputs() override {
        if (failure) {
            throw std::runtime_error(*failure);
        }
        return list;
    }
};

// Keeps every line; refuses the next `refusals` lines it is given, as the service's writer does
// once the host has gone (they are not kept).
class FakeLineWriter final : public mtcservice::LineWriter {
  public:
    std::vector<std::string> lines;
    int refusals = 0;

    void writeLine(const std::string& line) override {
        if (refusals > 0) {
            --refusals;
            throw std::runtime_error(kOutputLost);
        }
        lines.push_back(line);
    }
};

}  // namespace mtctest
