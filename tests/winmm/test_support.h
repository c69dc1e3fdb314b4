// Shared between the test program's entry, the sink tests and the device-check bench.
#pragma once

#include <atomic>

namespace winmmtest {

// Calls of operator new in this program so far (any thread); counted by counting_new.cpp.
extern std::atomic<unsigned long long> allocations;

// Runs one case of the sink's last-resort stop in this process; returns only when the case
// failed to end the process (exit code 99 then).
int runFatalChild(const char* name);

}  // namespace winmmtest
