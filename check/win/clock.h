// The checking side's clocks. Times come from the performance counter, which is also the
// clock of the simulated port's recording, so a write, a reply and a wire time compare directly.
#pragma once

#include <windows.h>

#include <cstdint>

namespace mtccheck {

// Microseconds of the performance counter. Any thread; never blocks or allocates.
int64_t nowMicros();
// Seconds of the performance counter, the same clock as nowMicros. Any thread; never blocks
// or allocates.
double hostNow();

// Wall-clock time as Unix milliseconds with the finest resolution the system offers
// (GetSystemTimePreciseAsFileTime where it exists), as a host stamps its clock reports. Any
// thread; never blocks or allocates.
double unixMillisNow();

// Sleeps until hostNow() reaches `t` (returns at once when it has passed): whole milliseconds
// of Sleep, then a short spin, as Wine wakes up to a millisecond late. Blocks the caller.
void sleepUntil(double t);

// Waits until `deadlineUs` on the performance-counter clock, on a high-resolution waitable
// timer where the system has one (no winmm: the checker must not load the MIDI layer it
// watches). One owner thread; waitUntilOr blocks.
class Pacer {
  public:
    Pacer();
    ~Pacer();
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;
    // Returns at the deadline (false) or as soon as `wake` (an event, or null for none) is
    // signalled (true).
    bool waitUntilOr(int64_t deadlineUs, HANDLE wake);

  private:
    HANDLE timer_ = nullptr;
};

// User and kernel time `process` has used, in seconds; false when the system does not say.
// Any thread.
bool processTimes(HANDLE process, double& userSeconds, double& kernelSeconds);

}  // namespace mtccheck
