// The two unit conversions of the service loop's clocks, kept apart from the Windows calls
// that need them so the native build can test them: the engine's wait in seconds as the
// relative due time of a waitable timer, and the system time as Unix milliseconds.
//
// No Windows here. Any thread; nothing blocks or allocates.
#pragma once

#include <cstdint>

#include "core/engine.h"

namespace mtcservice {

// The due time to arm the loop's waitable timer with so that it fires when `engine` next
// needs a step, seen from `now` (seconds on the engine's clock): negative, which makes it
// relative to the moment of the call, in 100-nanosecond units, rounded up so the timer never
// fires before the deadline. Between 0.5 ms (-5000) and 50 ms (-500000) while output runs.
std::int64_t relativeDueTime(const velmarmtc::Engine& engine, double now);

// A system time as FILETIME counts it (100-nanosecond units since 1601-01-01 UTC) in Unix
// milliseconds, with the fraction of a millisecond kept: reports are judged against a bound
// in milliseconds, and a clock cut to whole ones would let a report 0.9 ms too old pass.
double unixMillisecondsFromFileTime(std::uint64_t since1601);

}  // namespace mtcservice
