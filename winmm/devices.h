// MIDI output enumeration with stable ids.
//
// The host names a MIDI output by an id that survives re-enumeration and re-plugging, never by
// its WinMM index (which Windows hands out afresh whenever a port comes or goes). The id is
// "winmm:" followed by the 64 lowercase hex digits of a SHA-256 over what the driver reports
// about the port: its device interface path, its product name and its manufacturer, product,
// driver-version and technology numbers. Hosts store these ids, so the identity text and its
// number formats must never change.
//
// Nothing is cached: every call asks Windows afresh. All functions run on the service's main
// thread (the "list" command, and the sink's open and presence check); they allocate and may
// block for as long as the driver takes to answer a query.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mtcservice {

// One MIDI output as enumerated.
struct Device {
    uint32_t index = 0;  // WinMM output index at the time of enumeration; never shown to hosts
    std::string id;      // "winmm:" + 64 lowercase hex digits (70 bytes), compared byte for byte
    std::string name;    // the driver's product name in UTF-8, or "MIDI 输出" when it has none
};

// Every output that has an id, in ascending index order. A port whose identity cannot be read
// is left out silently, and ports that share an id are all left out (a host could not tell
// them apart, so it must not be offered either). Throws std::runtime_error only when WinMM
// reports more than 1024 outputs.
std::vector<Device> devices();

// The output at one WinMM index, with its id derived afresh. Throws std::runtime_error with a
// user-facing message on any failure, including a driver that does not report a device
// interface path (such a port has no stable identity).
Device deviceAt(unsigned index);

// Turns a failing WinMM result (an MMRESULT) into std::runtime_error whose message is `text`
// followed by " (WinMM <result>)"; does nothing for 0. `text` carries no final punctuation.
// Allocates only when it throws, so the quarter-frame path may call it freely.
void check(unsigned result, const char* text);

// UTF-8 form of a wide string from Windows. Throws "MIDI 设备名称无效。" when a non-empty
// string cannot be converted. Allocates.
std::string utf8(const std::wstring& text);

}  // namespace mtcservice
