// Test-side access to the simulated MIDI port (the test-only winmm.dll beside the program):
// its controls, and its recording of every call and of every byte on the wire.
#pragma once

#include <gtest/gtest.h>

#include "tests/simport/simport_control.h"

#include <string>
#include <vector>

namespace winmmtest {

// The simulated port's controls, with refusals turned into test failures that carry the
// port's own explanation.
class Simport {
  public:
    Simport() : control_(simport::Control::get()) {}

    // False when Wine's own winmm was loaded instead of the simulated port.
    bool active() const { return control_.ok(); }
    // Replaces every port and fault and starts a fresh recording.
    ::testing::AssertionResult load(const std::string& scenario) const {
        return result(control_.load(scenario.c_str()), scenario);
    }
    // Applies one port or fault line now.
    ::testing::AssertionResult apply(const std::string& line) const {
        return result(control_.apply(line.c_str()), line);
    }
    // Everything recorded since the last load.
    std::string recording() const { return control_.text(); }

  private:
    ::testing::AssertionResult result(int status, const std::string& what) const {
        if (status == 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "simport refused \"" << what << "\": " << control_.lastError();
    }

    simport::Control control_;
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
