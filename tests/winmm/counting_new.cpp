// Every operator new of the program that links this file is counted, so that a test or a bench
// can prove a path allocates nothing, or say how much it allocates.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/winmm/test_support.h"

namespace winmmtest {
std::atomic<unsigned long long> allocations{0};
}

void* operator new(std::size_t size) {
    ++winmmtest::allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
