// Scenario lines of the simulated MIDI port: parsing only, no port state. The syntax is
// documented in README.md. Everything here runs on whichever thread applies a line (a program
// thread calling a control export, or the driver thread reading the control file), always under
// the DLL's lock; nothing blocks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace simport {

// What one port reports about itself: capabilities and the device interface answers.
struct PortProps {
    std::wstring name;
    bool hasPath = true;
    std::wstring path;
    bool sizeSet = false;
    std::uint32_t size = 0;  // answer to the size query when sizeSet
    bool nul = true;
    std::uint32_t pathResult = 0;
    std::uint16_t mid = 1;
    std::uint16_t pid = 102;
    std::uint32_t version = 0x0100;
    std::uint16_t tech = 1;
    std::uint16_t voices = 0;
    std::uint16_t notes = 0;
    std::uint16_t chanmask = 0xFFFF;
    std::uint32_t support = 0;
};

// A port key with its value as written (quoted strings still escaped), applied per port so
// that {n} expands to each port's own declaration number.
struct Setting {
    std::string key;
    std::string value;
    bool quoted = false;
};
using Settings = std::vector<Setting>;

enum class FaultKind {
    Open,
    Caps,
    Detach,
    Reorder,
    Change,
    Stuck,
    Short,
    Prepare,
    Long,
    Unprepare,
    Reset,
    Close,
    ResetNoDone,
    CloseBlock,
    Clear,
    // Faults of input ports; their "port=" names an input index.
    InOpen,
    InRemove,
    InNoBuffer,
    InSplit,
    InNoLongError,
    InCloseBlock,
};

// Kinds that act once when they fire (the others change how later calls behave).
bool isEffect(FaultKind kind);
// Kinds that name a port.
bool hasPort(FaultKind kind);
// Kinds whose "port=" names an input rather than an output.
bool isInputFault(FaultKind kind);

struct Line {
    enum class Type { Port, Fault, Input, Arrive } type = Type::Port;
    std::string text;  // the line as written, without comment and surrounding blanks

    // port, and the port keys of "fault change"
    unsigned count = 1;
    Settings settings;

    // input: the output (declaration number) whose wire feeds it, or -1
    std::int64_t loop = -1;

    // arrive: the bytes that reach input `portIndex`
    std::vector<unsigned char> bytes;

    // fault
    FaultKind kind = FaultKind::Open;
    unsigned portIndex = 0;
    std::uint32_t code = 0;
    std::uint64_t times = 0;  // 0: no limit
    std::string onFunction;   // empty: no call trigger
    std::uint64_t onCount = 0;
    std::int64_t afterMs = -1;  // negative: no time trigger
    std::uint32_t blockMs = 1000;
    std::vector<unsigned> order;
    bool handlesStay = false;
    // inremove: the driver tells the open handle with MIM_CLOSE; its midiInGetID keeps
    // answering the index the input had
    bool closes = false;
    bool keepsIndex = false;
    // insplit: system exclusive buffers go back once they hold this many bytes
    std::uint32_t piece = 4;
};

// Parses one line. Returns false with `error` set for a malformed line; returns true with
// `empty` set for blank and comment lines.
bool parseLine(const std::string& text, Line& line, bool& empty, std::string& error);

// Applies port settings for the port with declaration number `number`. Returns false with
// `error` set if a value does not fit (for example a name longer than 32 units).
bool applySettings(const Settings& settings, unsigned number, PortProps& props, std::string& error);

// Default properties of port `number` (name "Sim MIDI <n>", path "\\?\SWD#SIMPORT#<n>").
PortProps defaultProps(unsigned number);
// Default properties of input `number` (name "Sim MIDI In <n>", path "\\?\SWD#SIMPORT#IN<n>").
PortProps defaultInputProps(unsigned number);

// True for the exports whose calls "on=<Function>:<N>" may count.
bool isCountedFunction(const std::string& name);

}  // namespace simport
