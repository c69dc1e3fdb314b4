// Access to the control exports of the simulated MIDI port from a test program. The program
// imports winmm as usual; these functions are looked up at run time, so no import library of
// the simulated port is needed. Call from any thread; nothing here blocks.
#pragma once

#include <windows.h>

#include <string>

namespace simport {

struct Control {
    int (*isActive)() = nullptr;
    int (*load)(const char* scenarioText) = nullptr;
    int (*apply)(const char* line) = nullptr;
    const char* (*lastError)() = nullptr;
    int (*recording)(char* buffer, int size) = nullptr;
    long long (*nowMicros)() = nullptr;

    // True when the winmm.dll of this process is the simulated port (Wine's own has none of
    // these exports).
    bool ok() const {
        return isActive != nullptr && load != nullptr && apply != nullptr && lastError != nullptr &&
               recording != nullptr && nowMicros != nullptr && isActive() == 1;
    }

    // The recording since the last load, or "" when the in-memory copy overflowed.
    std::string text() const {
        int n = recording(nullptr, 0);
        if (n <= 0) {
            return std::string();
        }
        std::string s(static_cast<std::size_t>(n) + 1, '\0');
        int m = recording(&s[0], n + 1);
        s.resize(static_cast<std::size_t>(m < n ? m : n));
        return s;
    }

    static Control get() {
        Control c;
        HMODULE m = GetModuleHandleW(L"winmm.dll");
        if (m == nullptr) {
            return c;
        }
        c.isActive = reinterpret_cast<int (*)()>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportIsActive")));
        c.load = reinterpret_cast<int (*)(const char*)>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportLoad")));
        c.apply = reinterpret_cast<int (*)(const char*)>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportApply")));
        c.lastError = reinterpret_cast<const char* (*)()>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportLastError")));
        c.recording = reinterpret_cast<int (*)(char*, int)>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportRecording")));
        c.nowMicros = reinterpret_cast<long long (*)()>(
            reinterpret_cast<void*>(GetProcAddress(m, "simportNowMicros")));
        return c;
    }
};

}  // namespace simport
