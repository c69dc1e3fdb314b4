# Install rules and the release ZIP for the Windows programs.
#
# Two components: "runtime" (mtc-service.exe, machine-id.exe and README.md, what a player
# ships) and "host" (mtc-host.exe, the development host). Only these two are packaged, so no
# test program and never the simulated winmm.dll (which would shadow the system's winmm on a
# user's machine if it sat beside the programs). The programs are linked statically and need
# no DLL beside them.
#
#   cmake --build build/windows --target package      -> build/windows/velmarmtc-<v>-win64.zip
#   cmake --install build/windows --component runtime --prefix <dir>

set(MTC_PACKAGE_COMPONENTS)
if(TARGET mtc-service)
    install(TARGETS mtc-service RUNTIME DESTINATION . COMPONENT runtime)
    list(APPEND MTC_PACKAGE_COMPONENTS runtime)
endif()
if(TARGET machine-id)
    install(TARGETS machine-id RUNTIME DESTINATION . COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT runtime)
if(TARGET mtc-host)
    install(TARGETS mtc-host RUNTIME DESTINATION . COMPONENT host)
    list(APPEND MTC_PACKAGE_COMPONENTS host)
endif()
list(REMOVE_DUPLICATES MTC_PACKAGE_COMPONENTS)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velmarmtc)
set(CPACK_PACKAGE_VENDOR "Velmarcast")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmarcast native Windows MIDI Time Code service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME velmarmtc-${PROJECT_VERSION}-win64)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
# Everything under one folder named like the ZIP, so unpacking never scatters files.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
# One ZIP with both components side by side in one folder; -D CPACK_COMPONENTS_GROUPING=
# ONE_PER_GROUP on the cpack command line gives one ZIP per component instead.
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL runtime host)
set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "MTC service and machine-id")
set(CPACK_COMPONENT_HOST_DISPLAY_NAME "Development host (mtc-host)")
set(CPACK_COMPONENT_HOST_DESCRIPTION
    "Drives mtc-service as a media player would and reports what a receiver reads")
include(CPack)
