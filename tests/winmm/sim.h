// Test-side access to the simulated MIDI port (the test-only winmm.dll beside the program):
// its controls, and its recording of every call and of every byte on the wire.
#pragma once

#include <gtest/gtest.h>

#include "check/recording.h"
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

// One recorded line: its time, its event (a WinMM function or a driver event such as "wire")
// and its fields, as the checking library reads the recording.
using Line = mtccheck::RecordEntry;
using mtccheck::parseRecording;

// The value of `key=` in a recorded line, or "" when absent.
inline std::string field(const Line& line, const std::string& key) {
    return line.field(key.c_str());
}

// The recorded lines of one event.
inline std::vector<Line> events(const std::vector<Line>& lines, const std::string& event) {
    return mtccheck::entriesOf(lines, event.c_str());
}

}  // namespace winmmtest
