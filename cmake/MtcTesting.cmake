# Test helpers shared by every folder that adds test programs.
#
# Under the Windows cross build every test program runs under Wine (the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR) in a Wine prefix that belongs to this build tree, never the
# user's ~/.wine. One persistent wineserver is started by the "wine" fixture before the first
# Wine test and shut down after the last, so each test program starts in well under a second.

set(MTC_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# The end-to-end host harness leaves each child's transcript (what it sent, what the service
# wrote) in MTC_TRANSCRIPT_DIR; the protocol checks in tests/docs/ validate them afterwards.
set(MTC_TRANSCRIPT_DIR ${CMAKE_BINARY_DIR}/transcripts)
set(MTC_WINE_ENV
    "WINEPREFIX=${MTC_WINEPREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=winmm=n,b"
    "MTC_TRANSCRIPT_DIR=${MTC_TRANSCRIPT_DIR}"
)

function(mtc_wine_fixture)
    if(NOT WIN32)
        return()
    endif()
    # Only a cross build runs its tests under Wine; on Windows they run as they are.
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME wine_up COMMAND ${CMAKE_COMMAND} -E env ${MTC_WINE_ENV}
                 sh ${PROJECT_SOURCE_DIR}/cmake/wine-up.sh)
        set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
        add_test(NAME wine_down COMMAND ${CMAKE_COMMAND} -E env ${MTC_WINE_ENV} wineserver -k)
        set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
    endif()
    # Transcripts of an earlier run must not be judged with this one's.
    add_test(NAME transcripts_clean
             COMMAND ${CMAKE_COMMAND} -E rm -rf ${MTC_TRANSCRIPT_DIR})
    set_tests_properties(transcripts_clean PROPERTIES FIXTURES_SETUP transcripts_clean TIMEOUT 60)
endfunction()

# mtc_transcript_source(<tests...>): these test programs drive the service through the host
# harness, so their transcripts feed the protocol checks. Each run starts from an empty
# transcript folder (fixture "transcripts_clean"), and every check that reads the folder
# requires the fixture "transcripts", so it runs after all of them, and `ctest -R <check>` alone
# runs them first.
function(mtc_transcript_source)
    if(NOT WIN32)
        return()
    endif()
    foreach(test ${ARGN})
        set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED transcripts_clean)
        set_property(TEST ${test} APPEND PROPERTY FIXTURES_SETUP transcripts)
    endforeach()
endfunction()

# mtc_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [NO_GTEST] [REALTIME])
# One test program, one ctest entry. Under Wine the program runs in the build's prefix with
# the simulated MIDI port allowed to replace winmm (it only does so for programs that import it).
# REALTIME marks a program that judges a running service's timing: such a program runs alone.
# Beside it, another timing test keeps a core busy with a service, its driver thread and a
# player, and even short tests starting Wine programs keep the one wineserver that every wait
# and timer of the prefix goes through busy; on a two-core machine either stretches the
# service's wake-ups by milliseconds for seconds on end, which such a program would judge.
# REALTIME also labels it "timing", so that a machine whose scheduling nobody has measured (a
# hosted CI runner) can leave it out with `ctest -LE timing`: the bounds were set for this
# tree's machines, and a failure there would not tell a fault from a busy neighbour.
function(mtc_add_test name)
    cmake_parse_arguments(T "NO_GTEST;REALTIME" "TIMEOUT" "SOURCES;LIBS;ARGS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} mtc_strict)
    if(NOT T_NO_GTEST)
        target_link_libraries(${name} PRIVATE gtest_main)
    endif()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    if(T_REALTIME)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE LABELS timing)
    endif()
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${MTC_WINE_ENV}" FIXTURES_REQUIRED wine)
    elseif(WIN32)
        # On Windows itself: the same variables without Wine's. The simulated port needs no
        # override there: a winmm.dll beside the program is loaded before System32's.
        set(env ${MTC_WINE_ENV})
        list(FILTER env EXCLUDE REGEX "^WINE")
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
    endif()
endfunction()
