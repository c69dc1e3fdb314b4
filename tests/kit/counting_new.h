// The counting allocator: a test program that links tests/kit/counting_new.cpp (the kit's
// mtc_counting_new) has every global operator new of the program counted, so that a test or a
// bench can prove that a path allocates nothing, or say how much it allocates.
#pragma once

#include <atomic>

namespace mtctest {

// Calls of the global allocation functions so far, on any thread (the over-aligned forms are
// left to the library: nothing under test is over-aligned).
extern std::atomic<unsigned long long> allocations;

// The allocations made while `action` runs. Meant for one thread: another thread's allocations
// in that time count too.
template <typename Action>
unsigned long long allocationsDuring(Action&& action) {
    const unsigned long long before = allocations.load();
    action();
    return allocations.load() - before;
}

}  // namespace mtctest
