// Entry of the WinMM layer's test program. It also serves as the child process of the tests of
// the sink's last-resort stop, which end the process: given "--fatal-child <case>" it runs that
// one case before GoogleTest is initialised, so the case's standard output holds nothing else.
//
// Every operator new of the program is counted (counting_new.cpp), so that tests can prove a
// path allocates nothing.
#include <cstring>

#include <gtest/gtest.h>

#include "tests/winmm/test_support.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--fatal-child") == 0) {
        return winmmtest::runFatalChild(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
