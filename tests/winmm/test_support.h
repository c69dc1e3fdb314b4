// Shared between the test program's entry, the sink tests and the device-check bench.
#pragma once

#include "tests/kit/counting_new.h"

namespace winmmtest {

// Calls of operator new in this program so far (any thread); counted by the kit's counting
// allocator, which the program links.
using mtctest::allocations;

// Runs one case of the sink's last-resort stop in this process; returns only when the case
// failed to end the process (exit code 99 then).
int runFatalChild(const char* name);

}  // namespace winmmtest
