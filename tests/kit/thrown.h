// What a call under test throws. The product reports every failure as a std::runtime_error
// whose text is the message a person reads, so tests compare that text; a call that throws
// nothing gives a marker no real message equals.
#pragma once

#include <stdexcept>
#include <string>

namespace mtctest {

// The message of the std::runtime_error that `action` throws, or `ifNothing` when it throws
// none. Any other exception passes through, so the test fails on it rather than hiding it.
template <typename Action>
std::string thrownMessage(Action&& action, const char* ifNothing = "") {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return ifNothing;
}

}  // namespace mtctest
