#include "check/win/clock.h"

#include <cstring>

// MinGW-w64 headers lack the flag; its value is fixed by the system.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace mtccheck {
namespace {

constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;  // 1601-01-01 to 1970-01-01

int64_t counterFrequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    return frequency;
}

uint64_t ticksOf(const FILETIME& f) {
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

}  // namespace

int64_t nowMicros() {
    const int64_t frequency = counterFrequency();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    // Split to keep the product in range for counters that have run for a long time.
    const int64_t whole = c.QuadPart / frequency;
    const int64_t rest = c.QuadPart % frequency;
    return whole * 1000000 + rest * 1000000 / frequency;
}

double hostNow() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(counterFrequency());
}

double unixMillisNow() {
    using PreciseFn = VOID(WINAPI*)(LPFILETIME);
    static const PreciseFn precise = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC p =
            kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
        PreciseFn fn = nullptr;
        // Function pointer types differ only in signature; the exported function has this one.
        static_assert(sizeof(fn) == sizeof(p), "function pointer size");
        std::memcpy(&fn, &p, sizeof fn);
        return fn;
    }();
    FILETIME ft;
    if (precise != nullptr) {
        precise(&ft);
    } else {
        GetSystemTimeAsFileTime(&ft);
    }
    return static_cast<double>(ticksOf(ft) - kUnixEpochIn100ns) / 10000.0;
}

void sleepUntil(double t) {
    for (;;) {
        const double left = t - hostNow();
        if (left <= 0) {
            return;
        }
        // Whole milliseconds, rounded down, then a short spin: Wine wakes up to 1 ms late.
        if (left > 0.002) {
            Sleep(static_cast<DWORD>((left - 0.001) * 1000.0));
        } else {
            Sleep(0);
        }
    }
}

Pacer::Pacer() {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (timer_ == nullptr) {
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
}

Pacer::~Pacer() {
    if (timer_ != nullptr) {
        CloseHandle(timer_);
    }
}

bool Pacer::waitUntilOr(int64_t deadlineUs, HANDLE wake) {
    const int64_t delay = deadlineUs - nowMicros();
    if (delay <= 0) {
        return false;
    }
    LARGE_INTEGER due;
    due.QuadPart = -delay * 10;  // relative, in 100 ns units
    const DWORD limitMs = static_cast<DWORD>(delay / 1000 + 100);
    if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        const HANDLE both[2] = {timer_, wake};
        return WaitForMultipleObjects(wake != nullptr ? 2 : 1, both, FALSE, limitMs) ==
               WAIT_OBJECT_0 + 1;
    }
    const DWORD ms = static_cast<DWORD>((delay + 999) / 1000);
    if (wake != nullptr) {
        return WaitForSingleObject(wake, ms) == WAIT_OBJECT_0;
    }
    Sleep(ms);
    return false;
}

bool processTimes(HANDLE process, double& userSeconds, double& kernelSeconds) {
    FILETIME created, exited, kernel, user;
    if (process == nullptr || !GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    userSeconds = static_cast<double>(ticksOf(user)) / 1e7;
    kernelSeconds = static_cast<double>(ticksOf(kernel)) / 1e7;
    return true;
}

}  // namespace mtccheck
