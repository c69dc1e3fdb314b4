# mtc-host's WinMM MIDI input reader (listing inputs, reading one back), as a library of its
# own so that its test links it without the rest of mtc-host. Included by whichever folder needs
# it first.
if(NOT TARGET mtc_midi_input)
    add_library(mtc_midi_input STATIC ${CMAKE_CURRENT_LIST_DIR}/midi_input.cpp)
    target_include_directories(mtc_midi_input PUBLIC ${PROJECT_SOURCE_DIR})
    # winmm.dll and bcrypt.dll are loaded at run time, only by a program that reads inputs.
    target_link_libraries(mtc_midi_input PUBLIC mtc_check_win PRIVATE mtc_strict)
endif()
