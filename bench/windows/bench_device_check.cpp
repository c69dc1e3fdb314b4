// The cost of one device check, the WinSink::connected() call the engine makes every 50 ms
// while output runs: the handle's index, then that port's identity derived afresh (its caps,
// interface path and a SHA-256 through CNG). Prints figures, asserts nothing. Run by hand,
// under Wine beside the simulated port:
//
//   bench_device_check.exe [checks]      (default 2000)
//
// The simulated port answers in microseconds where a real driver may take longer, so on
// Windows with real hardware the figure is a lower bound.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/clock.h"
#include "tests/simport/simport_control.h"
#include "tests/winmm/test_support.h"
#include "winmm/devices.h"
#include "winmm/winsink.h"

int main(int argc, char** argv) {
    const int checks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const simport::Control sim = simport::Control::get();
    if (!sim.ok()) {
        std::printf("the simulated winmm.dll is not loaded\n");
        return 1;
    }
    // Four ports, the opened one last: the check looks up only the opened port's index.
    if (sim.load(
            "port name=\"One\"\nport name=\"Two\"\nport name=\"Three\"\nport name=\"Bench\"") !=
        0) {
        std::printf("scenario refused: %s\n", sim.lastError());
        return 1;
    }
    const std::vector<mtcservice::Device> list = mtcservice::devices();
    mtcservice::WinSink sink;
    sink.open(list.back().id);

    std::vector<double> seconds;
    seconds.reserve(static_cast<size_t>(checks));
    bool allConnected = true;
    const unsigned long long allocationsBefore = winmmtest::allocations.load();
    for (int i = 0; i < checks; ++i) {
        const double before = mtcservice::nowSeconds();
        allConnected = sink.connected() && allConnected;
        seconds.push_back(mtcservice::nowSeconds() - before);
    }
    const unsigned long long allocated = winmmtest::allocations.load() - allocationsBefore;
    sink.close();

    std::sort(seconds.begin(), seconds.end());
    double total = 0;
    for (double s : seconds) {
        total += s;
    }
    auto at = [&](double q) {
        return seconds[std::min(seconds.size() - 1,
                                static_cast<size_t>(q * static_cast<double>(seconds.size())))];
    };
    std::printf(
        "device check (WinSink::connected, 4 ports): n=%d  mean=%.1f  p50=%.1f  p99=%.1f  max=%.1f "
        "us\n",
        checks, total / checks * 1e6, at(0.5) * 1e6, at(0.99) * 1e6, seconds.back() * 1e6);
    std::printf("allocations per check: %.1f; every check found the port: %s\n",
                static_cast<double>(allocated) / checks, allConnected ? "yes" : "NO");
    std::printf("share of a 50 ms check interval at p50: %.3f %%\n", at(0.5) / 0.05 * 100);
    return allConnected ? 0 : 1;
}
