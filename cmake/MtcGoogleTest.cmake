# GoogleTest for the test programs, from the first source that exists:
#   1. Debian's sources (/usr/src/googletest, the googletest package), built with this build's
#      own compiler: the only way the cross build gets a Windows GoogleTest, and nothing is
#      downloaded on the machines that build releases;
#   2. an installed package found by find_package (MSYS2's mingw-w64-x86_64-gtest, vcpkg's
#      gtest, a distribution's libgtest-dev);
#   3. a pinned release downloaded by CMake (a fresh Visual Studio machine without vcpkg),
#      refused unless its SHA-256 is the one published for that release archive.
# Whichever it is, the test programs link the targets gtest and gtest_main.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
# With MSVC every program here uses the DLL runtime (/MD, CMake's default); GoogleTest would pick
# the static one (/MT) and the two cannot be linked into one program.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)

if(EXISTS /usr/src/googletest/CMakeLists.txt)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    return()
endif()

find_package(GTest CONFIG QUIET)
if(NOT GTest_FOUND)
    find_package(GTest QUIET)
endif()
if(TARGET GTest::gtest AND TARGET GTest::gtest_main)
    message(STATUS "GoogleTest: installed package (${GTest_DIR})")
    add_library(gtest INTERFACE)
    target_link_libraries(gtest INTERFACE GTest::gtest)
    add_library(gtest_main INTERFACE)
    target_link_libraries(gtest_main INTERFACE GTest::gtest_main)
    return()
endif()

message(STATUS "GoogleTest: downloading release 1.14.0")
include(FetchContent)
FetchContent_Declare(googletest
    URL https://github.com/google/googletest/archive/refs/tags/v1.14.0.tar.gz
    URL_HASH SHA256=8ad598c73ad796e0d8280b082cebd82a630d73e73cd3c70057938a6501bba5d7
    DOWNLOAD_EXTRACT_TIMESTAMP TRUE)
FetchContent_MakeAvailable(googletest)
