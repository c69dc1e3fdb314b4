# Which folder may include which. Dependencies point one way (core and json at the bottom, then
# selftest and platform, then winmm, then service and the programs), and a header included
# against that order must fail the build, not wait for a reviewer.
#
# mtc_layer_includes(<target> [FILES <sources...>] [MAY <folders...>] [PORTABLE])
#   Before <target> is built, checks every quoted include "<folder>/..." in FILES (default: every
#   .h and .cpp of the current folder, new ones included): <folder> must be the files' own
#   folder or one of MAY. PORTABLE also refuses the Windows headers, for code
#   that must build on any system. The check reruns whenever one of the files changes; a
#   violation stops the build with the file, the line and the rule it breaks.
function(mtc_layer_includes target)
    cmake_parse_arguments(L "PORTABLE" "" "FILES;MAY" ${ARGN})
    if(L_FILES)
        list(TRANSFORM L_FILES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    else()
        file(GLOB L_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h
             ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    endif()
    # The list travels through one command-line argument; "|" never appears in a path here.
    string(REPLACE ";" "|" files "${L_FILES}")
    string(REPLACE ";" "|" may "${L_MAY}")
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_includes.stamp)
    add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" "-DMAY=${may}" "-DPORTABLE=${L_PORTABLE}"
                "-DROOT=${PROJECT_SOURCE_DIR}" "-DSTAMP=${stamp}"
                -P ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
        DEPENDS ${L_FILES} ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
        COMMENT "Checking the includes of ${target}"
        VERBATIM)
    add_custom_target(${target}_includes DEPENDS ${stamp})
    add_dependencies(${target} ${target}_includes)
endfunction()
