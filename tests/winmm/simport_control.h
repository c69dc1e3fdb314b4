// Test-side access to the simulated MIDI port (the test-only winmm.dll beside the program):
// its control exports and its recording of every call and of every byte on the wire.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace winmmtest {

class Simport {
  public:
    Simport() {
        HMODULE dll = GetModuleHandleW(L"winmm.dll");
        if (dll == nullptr) {
            return;
        }
        lookUp(dll, "simportIsActive", isActive_);
        lookUp(dll, "simportLoad", load_);
        lookUp(dll, "simportApply", apply_);
        lookUp(dll, "simportLastError", lastError_);
        lookUp(dll, "simportRecording", recording_);
    }

    // False when Wine's own winmm was loaded instead of the simulated port.
    bool active() const {
        return isActive_ != nullptr && load_ != nullptr && apply_ != nullptr &&
               lastError_ != nullptr && recording_ != nullptr && isActive_() == 1;
    }
    // Replaces every port and fault and starts a fresh recording.
    ::testing::AssertionResult load(const std::string& scenario) const {
        return result(load_(scenario.c_str()), scenario);
    }
    // Applies one port or fault line now.
    ::testing::AssertionResult apply(const std::string& line) const {
        return result(apply_(line.c_str()), line);
    }
    // Everything recorded since the last load.
    std::string recording() const {
        const int size = recording_(nullptr, 0);
        if (size <= 0) {
            return std::string();
        }
        std::string text(static_cast<size_t>(size) + 1, '\0');
        recording_(&text[0], size + 1);
        text.resize(static_cast<size_t>(size));
        return text;
    }

  private:
    template <typename Function>
    static void lookUp(HMODULE dll, const char* name, Function*& function) {
        // Through void*: a FARPROC is not the export's real type.
        function = reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    }

    ::testing::AssertionResult result(int status, const std::string& what) const {
        if (status == 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "simport refused \"" << what << "\": " << lastError_();
    }

    int (*isActive_)() = nullptr;
    int (*load_)(const char*) = nullptr;
    int (*apply_)(const char*) = nullptr;
    const char* (*lastError_)() = nullptr;
    int (*recording_)(char*, int) = nullptr;
};

// One recorded line split at its spaces: time, event, then the event's fields.
using Line = std::vector<std::string>;

inline std::vector<Line> parseRecording(const std::string& text) {
    std::vector<Line> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        Line fields;
        size_t at = begin;
        while (at < end) {
            size_t space = text.find(' ', at);
            if (space == std::string::npos || space > end) {
                space = end;
            }
            fields.push_back(text.substr(at, space - at));
            at = space + 1;
        }
        if (fields.size() >= 2) {
            lines.push_back(fields);
        }
        begin = end + 1;
    }
    return lines;
}

// The value of `key=` in a recorded line, or "" when absent.
inline std::string field(const Line& line, const std::string& key) {
    for (const std::string& word : line) {
        if (word.compare(0, key.size() + 1, key + "=") == 0) {
            return word.substr(key.size() + 1);
        }
    }
    return std::string();
}

// The recorded lines of one event (a WinMM function or a driver event such as "wire").
inline std::vector<Line> events(const std::vector<Line>& lines, const std::string& event) {
    std::vector<Line> found;
    for (const Line& line : lines) {
        if (line[1] == event) {
            found.push_back(line);
        }
    }
    return found;
}

}  // namespace winmmtest
