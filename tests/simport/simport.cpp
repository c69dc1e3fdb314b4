// The simulated MIDI port: a test-only winmm.dll whose MIDI outputs are configured by a
// scenario, whose wire sends bytes at MIDI 1.0 speed, and which records every call.
//
// Threads: the WinMM and control exports run on whichever program thread calls them; one
// driver thread of the DLL (started at the first call of any export) moves bytes off the
// wires on time, marks long messages done, hands what arrives on inputs to their callbacks,
// polls the control file and fires timed faults. One SRW lock guards all state; no export
// waits while holding it, and only midiOutClose under the "closeblock" fault blocks at all.
// Input callbacks run under a second lock (taken before the state lock, never after), so that
// none runs once midiInClose has returned; they never run under the state lock.
#define _WINMM_
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/device_interface.h"
#include "loopback.h"
#include "scenario.h"

namespace {

using simport::FaultKind;
using simport::Line;
using simport::PortProps;

constexpr std::int64_t kMicrosPerByte = 320;  // 10 bits at 31250 baud
constexpr std::size_t kMaxLongMessage = 65536;
constexpr std::size_t kRecordingCap = 64u << 20;
constexpr std::uintptr_t kFirstHandle = 0x10000;  // above any device index
constexpr std::int64_t kNever = INT64_MAX;

// ---- clock ------------------------------------------------------------------------------

// Microseconds of the performance counter. Under Wine the counter is shared by all processes,
// so times recorded here compare directly with times taken by a test in another process.
std::int64_t nowMicros() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    std::int64_t ticks = c.QuadPart;
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

// ---- text helpers -------------------------------------------------------------------------

std::string hex(std::uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v != 0);
    return "0x" + s;
}

std::string hex8(std::uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        s += digits[(v >> shift) & 15];
    }
    return s;
}

std::string hexBytes(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string ptr(const void* p) {
    return hex(reinterpret_cast<std::uintptr_t>(p));
}

// A Unix absolute path is opened through Wine's default Z: drive, which maps "/".
std::wstring envPath(const wchar_t* name) {
    wchar_t buffer[32768];
    DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    if (n == 0 || n >= 32768) {
        return std::wstring();
    }
    std::wstring path(buffer, n);
    if (path[0] == L'/') {
        path = L"Z:" + path;
    }
    return path;
}

// ---- header flags -------------------------------------------------------------------------

// The program polls dwFlags from its own thread while the driver thread changes it, so every
// change is one interlocked compare-exchange: clear `off`, set `on`.
void changeFlags(MIDIHDR* header, DWORD off, DWORD on) {
    volatile LONG* flags = reinterpret_cast<volatile LONG*>(&header->dwFlags);
    LONG old = InterlockedCompareExchange(flags, 0, 0);
    while (true) {
        LONG next = static_cast<LONG>((static_cast<DWORD>(old) & ~off) | on);
        LONG seen = InterlockedCompareExchange(flags, next, old);
        if (seen == old) {
            return;
        }
        old = seen;
    }
}

DWORD readFlags(MIDIHDR* header) {
    return static_cast<DWORD>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&header->dwFlags), 0, 0));
}

// ---- state ----------------------------------------------------------------------------------

struct Item {
    std::uint32_t seq = 0;
    std::vector<unsigned char> bytes;  // copied at submission
    MIDIHDR* header = nullptr;         // null for a short message
    std::uintptr_t handle = 0;
    std::int64_t submitAt = 0;
    bool stuck = false;
};

struct Port {
    unsigned number = 0;  // declaration number
    PortProps props;
    bool present = true;
    std::uint32_t detachCode = 0;
    std::uintptr_t openHandle = 0;
    std::int64_t openedAt = 0;
    std::int64_t wireFree = 0;  // end of the last message that left the wire
    std::deque<Item> queue;

    // Wire times of the message at the head of the queue.
    std::int64_t headStart() const { return std::max(queue.front().submitAt, wireFree); }
    std::int64_t headEnd() const {
        return headStart() + static_cast<std::int64_t>(queue.front().bytes.size()) * kMicrosPerByte;
    }
};

struct Handle {
    unsigned port = 0;
    HANDLE event = nullptr;
    bool pinned = false;  // reports `pinnedIndex` after a reorder with handles=stay
    unsigned pinnedIndex = 0;
    std::vector<MIDIHDR*> inflight;  // queued long messages, and ones a failed reset left
};

// ---- inputs --------------------------------------------------------------------------------

using InCallback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// Bytes on an input's own wire (from an "arrive" line), parsed when their last byte is in.
struct Chunk {
    std::vector<unsigned char> bytes;
    std::int64_t start = 0;
    std::int64_t end() const {
        return start + static_cast<std::int64_t>(bytes.size()) * kMicrosPerByte;
    }
};

struct Input {
    unsigned number = 0;  // declaration number among the inputs
    PortProps props;
    bool present = true;
    std::uint32_t removeCode = 0;
    bool keepsIndex = false;  // removed, and midiInGetID still answers `keptIndex`
    unsigned keptIndex = 0;
    std::int64_t loop = -1;  // declaration number of the output whose wire feeds this input
    std::uintptr_t openHandle = 0;
    std::int64_t openedAt = 0;
    std::int64_t wireFree = 0;
    std::deque<Chunk> chunks;
};

// A callback message waiting for the driver thread (or the program thread inside
// midiInStop/Reset/Close) to deliver it.
struct Pending {
    UINT msg = 0;
    DWORD_PTR p1 = 0;
    DWORD_PTR p2 = 0;
};

struct InHandle {
    unsigned input = 0;
    InCallback callback = nullptr;  // null with CALLBACK_NULL
    DWORD_PTR instance = 0;
    bool started = false;
    std::int64_t startedAt = 0;
    std::deque<MIDIHDR*> buffers;  // added and not yet returned, filled front first
    // The driver's parser of the byte stream: a status collecting its data bytes (kept as the
    // running status for channel messages), or a system exclusive message going to buffers.
    unsigned char status = 0;
    unsigned char data[2] = {0, 0};
    unsigned have = 0;
    bool exclusive = false;
    bool lost = false;  // part of the current exclusive message found no buffer
    std::vector<Pending> pending;
};

struct Fault {
    Line line;
    unsigned port = 0;            // declaration number
    std::vector<unsigned> order;  // declaration numbers, for reorder
    enum class State { Waiting, Active, Over } state = State::Waiting;
    std::uint64_t calls = 0;
    std::uint64_t remaining = 0;  // 0: no limit
    std::int64_t appliedAt = 0;
};

struct State {
    std::vector<std::unique_ptr<Port>> ports;  // by declaration number
    std::vector<unsigned> order;               // the device list: declaration numbers
    std::map<std::uintptr_t, Handle> handles;
    std::vector<Fault> faults;
    std::uint32_t nextSeq = 1;
    std::vector<std::unique_ptr<Input>> inputs;  // by declaration number
    std::vector<unsigned> inOrder;               // the input device list
    std::map<std::uintptr_t, InHandle> inHandles;
};

SRWLOCK gLock = SRWLOCK_INIT;
SRWLOCK gDeliverLock = SRWLOCK_INIT;  // held while input callbacks run; taken before gLock
State gState;
std::uintptr_t gNextHandle = kFirstHandle;  // never reset: stale handles stay invalid

HANDLE gLog = INVALID_HANDLE_VALUE;
std::string gRecording;
bool gRecordingFull = false;
// With a recording file, the in-memory copy starts at the first simportLoad: a program that
// never uses the control exports (the service under test) then carries no second copy of its
// recording, and its memory figures are its own.
bool gRecordingInMemory = true;
std::string gLastError;

HANDLE gWake = nullptr;  // auto-reset; wakes the driver thread early
std::wstring gControlPath;
HANDLE gControl = INVALID_HANDLE_VALUE;
std::uint64_t gControlOffset = 0;
std::string gControlPartial;
unsigned gControlLine = 0;

// The wire shared with other processes (MTC_SIMPORT_LOOPBACK), so that an input looped to an
// output receives what another program sends there; closed when the variable is unset.
simport::SharedWire gLoopback;

// Holds one SRW lock exclusively for its lifetime.
class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    SRWLOCK& lock_;
};

// The state lock.
class Lock : public ExclusiveLock {
  public:
    Lock() : ExclusiveLock(gLock) {}
};

// Held by whoever runs input callbacks, and by midiInClose, so no callback follows a close.
class DeliverLock : public ExclusiveLock {
  public:
    DeliverLock() : ExclusiveLock(gDeliverLock) {}
};

// ---- recording (under the lock) -----------------------------------------------------------------

// One line, one WriteFile: a reader in another process sees whole lines as they happen.
void record(std::int64_t time, const std::string& body) {
    std::string line = std::to_string(time) + " " + body + "\n";
    if (gLog != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(gLog, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (!gRecordingInMemory) {
        return;
    }
    if (gRecordingFull || gRecording.size() + line.size() > kRecordingCap) {
        gRecordingFull = true;
    } else {
        gRecording += line;
    }
}

// ---- ports and faults (under the lock) ----------------------------------------------------------

void wake() {
    if (gWake != nullptr) {
        SetEvent(gWake);
    }
}

int indexOf(unsigned number) {
    auto it = std::find(gState.order.begin(), gState.order.end(), number);
    return it == gState.order.end() ? -1 : static_cast<int>(it - gState.order.begin());
}

Port* portAtIndex(std::uint64_t index) {
    return index < gState.order.size() ? gState.ports[gState.order[index]].get() : nullptr;
}

Handle* findHandle(HMIDIOUT h) {
    auto it = gState.handles.find(reinterpret_cast<std::uintptr_t>(h));
    return it == gState.handles.end() ? nullptr : &it->second;
}

// The first active fault of `kind` on `port` without using it up, or null.
const Fault* activeFault(FaultKind kind, unsigned port) {
    for (const Fault& f : gState.faults) {
        if (f.state == Fault::State::Active && f.line.kind == kind && f.port == port) {
            return &f;
        }
    }
    return nullptr;
}

void queueIn(InHandle& h, UINT msg, DWORD_PTR p1, std::int64_t at, std::int64_t now);

// Takes one use of an active fault of `kind` on `port`; returns whether there was one.
bool takeFault(FaultKind kind, unsigned port, std::uint32_t* code = nullptr,
               std::uint32_t* blockMs = nullptr) {
    for (Fault& f : gState.faults) {
        if (f.state != Fault::State::Active || f.line.kind != kind ||
            (simport::hasPort(kind) && f.port != port)) {
            continue;
        }
        if (code != nullptr) {
            *code = f.line.code;
        }
        if (blockMs != nullptr) {
            *blockMs = f.line.blockMs;
        }
        if (f.remaining > 0 && --f.remaining == 0) {
            f.state = Fault::State::Over;
        }
        return true;
    }
    return false;
}

void fire(Fault& f, std::int64_t now) {
    record(now, "fired " + f.line.text);
    if (!simport::isEffect(f.line.kind)) {
        f.state = Fault::State::Active;
        return;
    }
    f.state = Fault::State::Over;
    switch (f.line.kind) {
        case FaultKind::Detach: {
            Port& p = *gState.ports[f.port];
            if (!p.present) {
                return;
            }
            p.present = false;
            p.detachCode = f.line.code;
            gState.order.erase(std::find(gState.order.begin(), gState.order.end(), p.number));
            return;
        }
        case FaultKind::Reorder: {
            std::vector<unsigned> a = f.order;
            std::vector<unsigned> b = gState.order;
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            if (a != b) {
                record(now, "error reorder skipped: the device list changed since it was applied");
                return;
            }
            if (f.line.handlesStay) {
                for (auto& entry : gState.handles) {
                    Handle& h = entry.second;
                    int index = indexOf(h.port);
                    if (!h.pinned && index >= 0) {
                        h.pinned = true;
                        h.pinnedIndex = static_cast<unsigned>(index);
                    }
                }
            }
            gState.order = f.order;
            return;
        }
        case FaultKind::Change: {
            Port& p = *gState.ports[f.port];
            std::string error;
            PortProps props = p.props;
            if (!simport::applySettings(f.line.settings, p.number, props, error)) {
                record(now, "error change skipped: " + error);
                return;
            }
            p.props = props;
            return;
        }
        case FaultKind::InRemove: {
            Input& in = *gState.inputs[f.port];
            if (!in.present) {
                return;
            }
            const auto at = std::find(gState.inOrder.begin(), gState.inOrder.end(), in.number);
            in.present = false;
            in.removeCode = f.line.code;
            in.keepsIndex = f.line.keepsIndex;
            in.keptIndex = static_cast<unsigned>(at - gState.inOrder.begin());
            in.chunks.clear();
            gState.inOrder.erase(at);
            if (f.line.closes && in.openHandle != 0) {
                // Unasked: the driver has let go of the handle, which the program must still
                // close.
                queueIn(gState.inHandles[in.openHandle], MIM_CLOSE, 0, now, now);
            }
            return;
        }
        case FaultKind::Clear:
            for (Fault& other : gState.faults) {
                other.state = Fault::State::Over;
            }
            return;
        default:
            return;
    }
}

// The moment a time-triggered fault is due, or kNever while it waits for its port to open.
std::int64_t dueAt(const Fault& f) {
    if (f.state != Fault::State::Waiting || f.line.afterMs < 0) {
        return kNever;
    }
    std::int64_t base = f.appliedAt;
    if (simport::isInputFault(f.line.kind)) {
        const Input& in = *gState.inputs[f.port];
        if (in.openHandle == 0) {
            return kNever;
        }
        base = std::max(base, in.openedAt);
    } else if (simport::hasPort(f.line.kind)) {
        const Port& p = *gState.ports[f.port];
        if (p.openHandle == 0) {
            return kNever;
        }
        base = std::max(base, p.openedAt);
    }
    return base + f.line.afterMs * 1000;
}

void fireDue(std::int64_t now) {
    for (std::size_t i = 0; i < gState.faults.size(); ++i) {
        if (dueAt(gState.faults[i]) <= now) {
            fire(gState.faults[i], now);
        }
    }
}

// Counts a call of `function` for the faults triggered by it; runs before the call's own work.
void countCall(const char* function, std::int64_t now) {
    fireDue(now);
    for (std::size_t i = 0; i < gState.faults.size(); ++i) {
        Fault& f = gState.faults[i];
        if (f.state == Fault::State::Waiting && f.line.onFunction == function &&
            ++f.calls == f.line.onCount) {
            fire(f, now);
        }
    }
}

// Declares `line.count` devices of one kind, all or none: numbered after those declared before,
// set up by `setup` (the kind's defaults), given the line's settings and listed last.
template <typename Device, typename Setup>
bool declareDevices(const Line& line, std::vector<std::unique_ptr<Device>>& all,
                    std::vector<unsigned>& order, const char* what, Setup setup,
                    std::string& error) {
    std::vector<std::unique_ptr<Device>> added;
    for (unsigned k = 0; k < line.count; ++k) {
        auto device = std::make_unique<Device>();
        device->number = static_cast<unsigned>(all.size() + k);
        setup(*device);
        if (!simport::applySettings(line.settings, device->number, device->props, error)) {
            error = std::string(what) + " " + std::to_string(device->number) + ": " + error;
            return false;
        }
        added.push_back(std::move(device));
    }
    for (auto& device : added) {
        order.push_back(device->number);
        all.push_back(std::move(device));
    }
    return true;
}

bool addPorts(const Line& line, std::string& error) {
    return declareDevices(
        line, gState.ports, gState.order, "port",
        [](Port& p) { p.props = simport::defaultProps(p.number); }, error);
}

bool addInputs(const Line& line, std::string& error) {
    if (line.loop >= 0 && static_cast<std::size_t>(line.loop) >= gState.ports.size()) {
        error = "\"loop\" names output " + std::to_string(line.loop) + ", but only " +
                std::to_string(gState.ports.size()) + " were declared";
        return false;
    }
    return declareDevices(
        line, gState.inputs, gState.inOrder, "input",
        [&](Input& in) {
            in.props = simport::defaultInputProps(in.number);
            in.loop = line.loop;
        },
        error);
}

// Opens the shared wire named by MTC_SIMPORT_LOOPBACK, read afresh at every load so that a
// test can name a channel of its own. Under the lock.
void openLoopback(std::int64_t now) {
    char name[1024];
    const DWORD n = GetEnvironmentVariableA("MTC_SIMPORT_LOOPBACK", name, sizeof name);
    const std::string channel = n > 0 && n < sizeof name ? std::string(name, n) : std::string();
    std::string error;
    if (!gLoopback.open(channel, error)) {
        record(now, "error " + error);
    } else if (!channel.empty()) {
        record(now, "loopback channel=" + channel);
    }
}

// Puts bytes on an input's wire after whatever is still arriving there.
bool arrive(const Line& line, std::int64_t now, std::string& error) {
    if (line.portIndex >= gState.inOrder.size()) {
        error = "no input with index " + std::to_string(line.portIndex) + " (there are " +
                std::to_string(gState.inOrder.size()) + ")";
        return false;
    }
    Input& in = *gState.inputs[gState.inOrder[line.portIndex]];
    Chunk chunk;
    chunk.bytes = line.bytes;
    chunk.start = std::max(now, in.wireFree);
    in.wireFree = chunk.end();
    in.chunks.push_back(chunk);
    return true;
}

// Applies one scenario line. Records nothing itself except what firing a fault records.
bool applyLine(const std::string& text, std::int64_t now, std::string& error) {
    Line line;
    bool empty = false;
    if (!simport::parseLine(text, line, empty, error)) {
        return false;
    }
    if (empty) {
        return true;
    }
    if (line.type == Line::Type::Port) {
        return addPorts(line, error);
    }
    if (line.type == Line::Type::Input) {
        return addInputs(line, error);
    }
    if (line.type == Line::Type::Arrive) {
        bool ok = arrive(line, now, error);
        wake();
        return ok;
    }
    Fault f;
    f.line = line;
    f.appliedAt = now;
    f.remaining = line.times;
    if (simport::isInputFault(line.kind)) {
        if (line.portIndex >= gState.inOrder.size()) {
            error = "no input with index " + std::to_string(line.portIndex) + " (there are " +
                    std::to_string(gState.inOrder.size()) + ")";
            return false;
        }
        f.port = gState.inOrder[line.portIndex];
    } else if (simport::hasPort(line.kind)) {
        if (line.portIndex >= gState.order.size()) {
            error = "no port with index " + std::to_string(line.portIndex) + " (there are " +
                    std::to_string(gState.order.size()) + ")";
            return false;
        }
        f.port = gState.order[line.portIndex];
    }
    if (line.kind == FaultKind::Reorder) {
        std::vector<unsigned> sorted = line.order;
        std::sort(sorted.begin(), sorted.end());
        bool permutation = sorted.size() == gState.order.size();
        for (std::size_t i = 0; permutation && i < sorted.size(); ++i) {
            permutation = sorted[i] == i;
        }
        if (!permutation) {
            error = "\"order\" must list every device index from 0 to " +
                    std::to_string(gState.order.size()) + " - 1 exactly once";
            return false;
        }
        for (unsigned index : line.order) {
            f.order.push_back(gState.order[index]);
        }
    }
    gState.faults.push_back(f);
    if (line.onFunction.empty() && line.afterMs < 0) {
        fire(gState.faults.back(), now);
    }
    wake();
    return true;
}

// Forgets everything and loads `text`; on error leaves zero ports and no faults.
bool loadScenario(const std::string& text, const char* from, std::int64_t now, std::string& error) {
    gState = State();
    openLoopback(now);
    // Editors on Windows like to start UTF-8 files with a byte order mark.
    std::size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    unsigned number = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        ++number;
        if (!applyLine(line, now, error)) {
            error = std::string(from) + " line " + std::to_string(number) + ": " + error;
            gState = State();
            record(now, "error " + error);
            record(now, std::string("load ports=0 from=") + from);
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    std::string inputs =
        gState.inOrder.empty() ? std::string() : " inputs=" + std::to_string(gState.inOrder.size());
    record(now, "load ports=" + std::to_string(gState.order.size()) + inputs + " from=" + from);
    wake();
    return true;
}

// ---- wire (under the lock) ---------------------------------------------------------------

void completeHeader(Handle* h, MIDIHDR* header) {
    changeFlags(header, MHDR_INQUEUE, MHDR_DONE);
    if (h != nullptr) {
        h->inflight.erase(std::remove(h->inflight.begin(), h->inflight.end(), header),
                          h->inflight.end());
    }
}

// ---- input side (under the lock) -------------------------------------------------------------
// What a MIDI input driver does with the bytes it receives: short messages (with running
// status and real-time bytes anywhere) go to the callback as MIM_DATA, system exclusive
// messages into the buffers the program queued, the rest as errors. Times are those of the
// message's last byte, in milliseconds since midiInStart.

InHandle* findInHandle(HMIDIIN h) {
    auto it = gState.inHandles.find(reinterpret_cast<std::uintptr_t>(h));
    return it == gState.inHandles.end() ? nullptr : &it->second;
}

const char* inMessageName(UINT msg) {
    switch (msg) {
        case MIM_OPEN:
            return "open";
        case MIM_CLOSE:
            return "close";
        case MIM_DATA:
            return "data";
        case MIM_LONGDATA:
            return "longdata";
        case MIM_ERROR:
            return "error";
        default:
            return "longerror";
    }
}

DWORD_PTR inTime(const InHandle& h, std::int64_t at) {
    return static_cast<DWORD_PTR>(std::max<std::int64_t>(at - h.startedAt, 0) / 1000);
}

// Queues one callback message and records it; `at` is when its last byte arrived.
void queueIn(InHandle& h, UINT msg, DWORD_PTR p1, std::int64_t at, std::int64_t now) {
    Pending m;
    m.msg = msg;
    m.p1 = p1;
    m.p2 = inTime(h, at);
    std::string line = "in input=" + std::to_string(h.input) + " msg=" + inMessageName(msg);
    if (msg == MIM_DATA || msg == MIM_ERROR) {
        line += " p1=" + hex8(static_cast<std::uint32_t>(p1));
    } else if (p1 != 0) {
        const MIDIHDR* header = reinterpret_cast<const MIDIHDR*>(p1);
        const unsigned char* data = reinterpret_cast<const unsigned char*>(header->lpData);
        line +=
            " header=" + hex(p1) + " recorded=" + std::to_string(header->dwBytesRecorded) +
            " bytes=" + hexBytes(std::vector<unsigned char>(data, data + header->dwBytesRecorded));
    } else {
        line += " header=0x0";
    }
    record(now, line + " p2=" + std::to_string(m.p2) + " at=" + std::to_string(at));
    h.pending.push_back(m);
    wake();
}

// Hands the front buffer back done, with `msg` (MIM_LONGDATA or MIM_LONGERROR).
void returnBuffer(InHandle& h, UINT msg, std::int64_t at, std::int64_t now) {
    MIDIHDR* header = h.buffers.front();
    h.buffers.pop_front();
    changeFlags(header, MHDR_INQUEUE, MHDR_DONE);
    queueIn(h, msg, reinterpret_cast<DWORD_PTR>(header), at, now);
}

// One byte of an exclusive message into the front buffer; a full buffer goes back at once
// and the message continues in the next one. Without a buffer the rest of it is lost.
// Under "innolongerror" a byte that finds no buffer is dropped without a word and the message
// goes on in the next buffer queued, as real drivers do; under "insplit" a buffer goes back
// as soon as it holds the fault's piece of bytes.
void storeExclusive(InHandle& h, unsigned char b, std::int64_t at, std::int64_t now) {
    if (!h.lost && h.buffers.empty() && activeFault(FaultKind::InNoLongError, h.input)) {
        return;
    }
    if (h.lost || h.buffers.empty()) {
        h.lost = true;
        return;
    }
    MIDIHDR* header = h.buffers.front();
    header->lpData[header->dwBytesRecorded++] = static_cast<char>(b);
    const Fault* split = activeFault(FaultKind::InSplit, h.input);
    if (b != 0xF7 && (header->dwBytesRecorded >= header->dwBufferLength ||
                      (split != nullptr && header->dwBytesRecorded >= split->line.piece))) {
        returnBuffer(h, MIM_LONGDATA, at, now);
    }
}

// An exclusive message ends: normally (F7, already stored) or cut short by a status byte.
void endExclusive(InHandle& h, bool complete, std::int64_t at, std::int64_t now) {
    bool inBuffer = !h.lost && !h.buffers.empty() && h.buffers.front()->dwBytesRecorded > 0;
    if (h.lost) {
        if (!activeFault(FaultKind::InNoLongError, h.input)) {
            queueIn(h, MIM_LONGERROR, 0, at, now);  // nowhere to put (the rest of) it
        }
    } else if (inBuffer) {
        returnBuffer(h, complete ? MIM_LONGDATA : MIM_LONGERROR, at, now);
    }
    h.exclusive = false;
    h.lost = false;
}

// Data bytes a status takes, or -1 for a status no message starts with.
int dataBytes(unsigned char status) {
    if (status < 0xF0) {
        unsigned type = status & 0xF0u;
        return type == 0xC0 || type == 0xD0 ? 1 : 2;
    }
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        case 0xF6:
            return 0;
        default:
            return -1;  // F4, F5 undefined; F0 and F7 are handled apart
    }
}

DWORD packed(const InHandle& h) {
    return static_cast<DWORD>(h.status) | static_cast<DWORD>(h.data[0]) << 8 |
           static_cast<DWORD>(h.data[1]) << 16;
}

void parseByte(InHandle& h, unsigned char b, std::int64_t at, std::int64_t now) {
    if (b >= 0xF8) {
        queueIn(h, MIM_DATA, b, at, now);  // real-time: anywhere, interrupts nothing
        return;
    }
    if (h.exclusive) {
        if (b < 0x80 || b == 0xF7) {
            storeExclusive(h, b, at, now);
            if (b == 0xF7) {
                endExclusive(h, true, at, now);
            }
            return;
        }
        endExclusive(h, false, at, now);
    }
    if (b >= 0x80 && h.status != 0 && h.have > 0) {
        queueIn(h, MIM_ERROR, packed(h), at, now);  // a message cut short by a status
    }
    if (b == 0xF0) {
        h.status = 0;
        h.have = 0;
        h.exclusive = true;
        h.lost = takeFault(FaultKind::InNoBuffer, h.input);  // as if no buffer were queued
        storeExclusive(h, b, at, now);
        return;
    }
    if (b >= 0x80) {
        h.data[0] = h.data[1] = 0;
        h.have = 0;
        int need = b == 0xF7 ? -1 : dataBytes(b);
        if (need < 0) {
            h.status = 0;
            queueIn(h, MIM_ERROR, b, at, now);
        } else if (need == 0) {
            h.status = 0;
            queueIn(h, MIM_DATA, b, at, now);
        } else {
            h.status = b;
        }
        return;
    }
    if (h.status == 0) {
        queueIn(h, MIM_ERROR, b, at, now);  // a data byte with no status before it
        return;
    }
    h.data[h.have++] = b;
    if (static_cast<int>(h.have) == dataBytes(h.status)) {
        queueIn(h, MIM_DATA, packed(h), at, now);
        h.have = 0;
        h.data[0] = h.data[1] = 0;
        if (h.status >= 0xF0) {
            h.status = 0;  // system common messages set no running status
        }
    }
}

// Bytes whose k-th byte arrived at start + 320 (k + 1) reach an input; an input that is not
// open, not started or removed drops them, as hardware does.
void feedInput(Input& in, const std::vector<unsigned char>& bytes, std::int64_t start,
               std::int64_t now) {
    if (!in.present || in.openHandle == 0) {
        return;
    }
    InHandle& h = gState.inHandles[in.openHandle];
    if (!h.started) {
        return;
    }
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        parseByte(h, bytes[k], start + static_cast<std::int64_t>(k + 1) * kMicrosPerByte, now);
    }
}

// Feeds looped inputs what other processes sent on their outputs, as it is found (the driver
// thread looks every millisecond while the channel is open).
void takeLoopback(std::int64_t now) {
    std::vector<simport::SharedWire::Message> messages;
    std::uint64_t lost = 0;
    gLoopback.take(messages, lost);
    if (lost > 0) {
        record(now, "error loopback: " + std::to_string(lost) + " messages overwritten unread");
    }
    for (const simport::SharedWire::Message& m : messages) {
        for (auto& in : gState.inputs) {
            if (in->loop == static_cast<std::int64_t>(m.port)) {
                feedInput(*in, m.bytes, m.start, now);
            }
        }
    }
}

void advanceInputs(std::int64_t now) {
    for (auto& in : gState.inputs) {
        while (!in->chunks.empty() && in->chunks.front().end() <= now) {
            Chunk chunk = std::move(in->chunks.front());
            in->chunks.pop_front();
            feedInput(*in, chunk.bytes, chunk.start, now);
        }
    }
}

// Stops input: a buffer holding part of an exclusive message goes back with what it has;
// with `all`, every other queued buffer goes back too, empty (midiInReset).
void stopInput(InHandle& h, bool all, std::int64_t now) {
    if (h.started && h.exclusive && !h.buffers.empty() && h.buffers.front()->dwBytesRecorded > 0) {
        returnBuffer(h, MIM_LONGDATA, now, now);
    }
    h.started = false;
    h.exclusive = false;
    h.lost = false;
    h.status = 0;
    h.have = 0;
    while (all && !h.buffers.empty()) {
        returnBuffer(h, MIM_LONGDATA, now, now);
    }
}

struct Delivery {
    InCallback callback;
    HMIDIIN handle;
    DWORD_PTR instance;
    Pending message;
};

// Takes the pending callback messages of one handle (all handles when `only` is 0).
void collectDeliveries(std::uintptr_t only, std::vector<Delivery>& out) {
    for (auto& entry : gState.inHandles) {
        if (only != 0 && entry.first != only) {
            continue;
        }
        InHandle& h = entry.second;
        if (h.callback != nullptr) {
            for (const Pending& m : h.pending) {
                out.push_back(
                    Delivery{h.callback, reinterpret_cast<HMIDIIN>(entry.first), h.instance, m});
            }
        }
        h.pending.clear();
    }
}

// Runs the callbacks; the caller holds DeliverLock but not the state lock.
void deliver(const std::vector<Delivery>& deliveries) {
    for (const Delivery& d : deliveries) {
        d.callback(d.handle, d.message.msg, d.instance, d.message.p1, d.message.p2);
    }
}

// Moves every message whose last byte has left by `now` off the port's wire.
void advance(Port& p, std::int64_t now) {
    while (!p.queue.empty() && !p.queue.front().stuck) {
        std::int64_t start = p.headStart();
        std::int64_t end = p.headEnd();
        if (now < end) {
            return;
        }
        Item item = std::move(p.queue.front());
        p.queue.pop_front();
        p.wireFree = end;
        std::string port = "port=" + std::to_string(p.number) + " seq=" + std::to_string(item.seq);
        record(now, "wire " + port + " start=" + std::to_string(start) +
                        " end=" + std::to_string(end) + " bytes=" + hexBytes(item.bytes));
        for (auto& in : gState.inputs) {
            if (in->loop == static_cast<std::int64_t>(p.number)) {
                feedInput(*in, item.bytes, start, now);
            }
        }
        if (gLoopback.isOpen() && !gLoopback.publish(p.number, start, end, item.bytes)) {
            record(now, "error loopback: seq=" + std::to_string(item.seq) + " has " +
                            std::to_string(item.bytes.size()) + " bytes, more than the " +
                            std::to_string(simport::SharedWire::kMaxBytes) + " shared");
        }
        if (item.header != nullptr) {
            auto it = gState.handles.find(item.handle);
            Handle* h = it == gState.handles.end() ? nullptr : &it->second;
            std::int64_t doneAt = nowMicros();  // taken before the program can see the flag
            completeHeader(h, item.header);
            record(doneAt, "done " + port + " header=" + ptr(item.header));
            if (h != nullptr && h->event != nullptr) {
                SetEvent(h->event);
            }
        }
    }
}

std::int64_t nextDeadline() {
    std::int64_t next = kNever;
    for (const auto& p : gState.ports) {
        if (!p->queue.empty() && !p->queue.front().stuck) {
            next = std::min(next, p->headEnd());
        }
    }
    for (const Fault& f : gState.faults) {
        next = std::min(next, dueAt(f));
    }
    for (const auto& in : gState.inputs) {
        if (!in->chunks.empty()) {
            next = std::min(next, in->chunks.front().end());
        }
    }
    return next;
}

// ---- control file (driver thread, under the lock) -------------------------------------------

void pollControl(std::int64_t now) {
    if (gControlPath.empty()) {
        return;
    }
    if (gControl == INVALID_HANDLE_VALUE) {
        gControl = CreateFileW(gControlPath.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (gControl == INVALID_HANDLE_VALUE) {
            return;  // not there yet
        }
    }
    char buffer[65536];
    while (true) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(gControlOffset);
        DWORD got = 0;
        if (!SetFilePointerEx(gControl, at, nullptr, FILE_BEGIN) ||
            !ReadFile(gControl, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            return;
        }
        gControlOffset += got;
        gControlPartial.append(buffer, got);
        std::size_t newline;
        while ((newline = gControlPartial.find('\n')) != std::string::npos) {
            std::string line = gControlPartial.substr(0, newline);
            gControlPartial.erase(0, newline + 1);
            ++gControlLine;
            std::string error;
            Line parsed;
            bool empty = false;
            if (simport::parseLine(line, parsed, empty, error) && empty) {
                continue;
            }
            record(now, "apply " + (error.empty() ? parsed.text : line));
            if (!applyLine(line, now, error)) {
                record(now, "error control line " + std::to_string(gControlLine) + ": " + error);
            }
        }
    }
}

// ---- driver thread ---------------------------------------------------------------------------

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// On Windows itself a wait with a time-out sleeps in whole ticks of the system timer (15.6 ms
// unless a program raised its resolution with timeBeginPeriod, which this DLL only pretends to
// do), far too coarse for a wire: there the driver thread sleeps on a high-resolution
// waitable timer. Under Wine (which rounds every wait to a millisecond anyway) it keeps the
// plain time-out. Null when not used.
HANDLE preciseTimer() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        return nullptr;
    }
    return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                  TIMER_ALL_ACCESS);
}

DWORD WINAPI driverThread(LPVOID) {
    // Completion times are what the tests measure; run ahead of the program's threads.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    const HANDLE timer = preciseTimer();
    while (true) {
        DWORD timeout;
        std::int64_t waitMicros;
        std::vector<Delivery> deliveries;
        AcquireSRWLockExclusive(&gDeliverLock);
        {
            Lock lock;
            std::int64_t now = nowMicros();
            pollControl(now);
            fireDue(now);
            for (auto& p : gState.ports) {
                advance(*p, now);
            }
            advanceInputs(now);
            takeLoopback(now);
            collectDeliveries(0, deliveries);
            std::int64_t next = nextDeadline();
            waitMicros = next == kNever ? -1 : next - nowMicros();
            if ((!gControlPath.empty() || gLoopback.isOpen()) &&
                (waitMicros < 0 || waitMicros > 1000)) {
                waitMicros = 1000;
            }
            timeout =
                waitMicros < 0
                    ? INFINITE
                    : static_cast<DWORD>((std::max<std::int64_t>(waitMicros, 0) + 999) / 1000);
        }
        deliver(deliveries);
        ReleaseSRWLockExclusive(&gDeliverLock);  // before waiting, so midiInClose can proceed
        LARGE_INTEGER due;
        due.QuadPart = -std::max<std::int64_t>(waitMicros, 1) * 10;  // relative, 100 ns units
        if (timer != nullptr && waitMicros >= 0 &&
            SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE both[2] = {gWake, timer};
            WaitForMultipleObjects(2, both, FALSE, INFINITE);
        } else {
            WaitForSingleObject(gWake, timeout);
        }
    }
}

std::string readFileText(const std::wstring& path, bool& ok) {
    ok = false;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(f);
    ok = true;
    return text;
}

BOOL CALLBACK initOnce(PINIT_ONCE, PVOID, PVOID*) {
    // The driver thread runs code of this DLL until the process ends: never unload it.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&initOnce), &self);
    gWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::wstring scenario = envPath(L"MTC_SIMPORT_SCENARIO");
    {
        Lock lock;
        gControlPath = envPath(L"MTC_SIMPORT_CONTROL");
        std::int64_t now = nowMicros();
        std::string error;
        if (scenario.empty()) {
            loadScenario(std::string(), "scenario", now, error);
        } else {
            bool ok = false;
            std::string text = readFileText(scenario, ok);
            if (!ok) {
                gState = State();
                record(now, "error cannot read the scenario file (MTC_SIMPORT_SCENARIO)");
                record(now, "load ports=0 from=scenario");
            } else {
                loadScenario(text, "scenario", now, error);
            }
        }
    }
    HANDLE thread = CreateThread(nullptr, 0, driverThread, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return TRUE;
}

INIT_ONCE gInit = INIT_ONCE_STATIC_INIT;

// Every export calls this first; the first caller reads the scenario and starts the driver.
void ensureStarted() {
    InitOnceExecuteOnce(&gInit, initOnce, nullptr, nullptr);
}

// One WinMM call: takes the lock, stamps the time and counts the call for triggered faults.
class Call {
  public:
    explicit Call(const char* name) : name_(name) {
        ensureStarted();
        AcquireSRWLockExclusive(&gLock);
        now_ = nowMicros();
        countCall(name, now_);
    }
    ~Call() { ReleaseSRWLockExclusive(&gLock); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    std::int64_t now() const { return now_; }
    MMRESULT done(const std::string& args, MMRESULT result, const std::string& outputs = "") {
        record(now_, std::string(name_) + (args.empty() ? "" : " ") + args + " -> " +
                         std::to_string(result) + (outputs.empty() ? "" : " ") + outputs);
        return result;
    }
    // For the one call that blocks: lets other threads and the driver run meanwhile.
    void sleepUnlocked(DWORD ms) {
        ReleaseSRWLockExclusive(&gLock);
        Sleep(ms);
        AcquireSRWLockExclusive(&gLock);
        now_ = nowMicros();
    }

  private:
    const char* name_;
    std::int64_t now_;
};

// Bytes a short message puts on the wire: those its status byte implies. Returns 0 for
// running status (a data byte in the status position) and for the exclusive bytes F0 and F7,
// which only long messages may carry.
std::size_t shortLength(unsigned status) {
    if (status < 0x80 || status == 0xF0 || status == 0xF7) {
        return 0;
    }
    if (status < 0xF0) {
        unsigned type = status & 0xF0;
        return type == 0xC0 || type == 0xD0 ? 2 : 3;
    }
    if (status == 0xF1 || status == 0xF3) {
        return 2;
    }
    if (status == 0xF2) {
        return 3;
    }
    return 1;
}

// The two device interface queries, answered alike for outputs and inputs.
MMRESULT interfaceQuery(Call& call, const std::string& args, const PortProps& p, UINT uMsg,
                        DWORD_PTR dw1, DWORD_PTR dw2) {
    std::size_t pathBytes = (p.path.size() + (p.nul ? 1 : 0)) * sizeof(wchar_t);
    if (uMsg == DRV_QUERYDEVICEINTERFACESIZE) {
        if (!p.hasPath) {
            return call.done(args, MMSYSERR_NOTSUPPORTED);
        }
        if (dw1 == 0) {
            return call.done(args, MMSYSERR_INVALPARAM);
        }
        ULONG size = p.sizeSet ? p.size : static_cast<ULONG>(pathBytes);
        *reinterpret_cast<ULONG*>(dw1) = size;
        return call.done(args, MMSYSERR_NOERROR, "size=" + std::to_string(size));
    }
    if (uMsg == DRV_QUERYDEVICEINTERFACE) {
        if (!p.hasPath) {
            return call.done(args, MMSYSERR_NOTSUPPORTED);
        }
        if (p.pathResult != 0) {
            return call.done(args, p.pathResult);
        }
        if (dw1 == 0) {
            return call.done(args, MMSYSERR_INVALPARAM);
        }
        // Copies what fits; a short buffer gets a truncated path without NUL.
        std::wstring data = p.path;
        if (p.nul) {
            data += L'\0';
        }
        std::memcpy(reinterpret_cast<void*>(dw1), data.data(),
                    std::min<std::size_t>(dw2, pathBytes));
        return call.done(args, MMSYSERR_NOERROR);
    }
    return call.done(args, MMSYSERR_NOTSUPPORTED);
}

// ---- what outputs and inputs share (under the lock) --------------------------------------------
// WinMM answers most calls alike for outputs and inputs; each kind says where its devices and
// handles live and what it alone does.

struct OutputKind {
    using Device = Port;
    using Open = Handle;
    using Hm = HMIDIOUT;
    using WideCaps = MIDIOUTCAPSW;
    // Besides none, only the callback the product uses is simulated.
    static constexpr DWORD kCallback = CALLBACK_EVENT;
    static constexpr FaultKind kOpenFault = FaultKind::Open;

    static Port* atIndex(std::uint64_t index) { return portAtIndex(index); }
    static Handle* open(HMIDIOUT h) { return findHandle(h); }
    static Port& deviceOf(const Handle& h) { return *gState.ports[h.port]; }
    static std::uint32_t goneCode(const Port& p) { return p.detachCode; }
    static bool indexKept(const Port&, UINT&) { return false; }
    static UINT listIndex(const Handle& h) {
        return h.pinned ? h.pinnedIndex : static_cast<UINT>(indexOf(h.port));
    }
    static bool capsRefused(const Port& p, std::uint32_t* code) {
        return takeFault(FaultKind::Caps, p.number, code);
    }
    static bool headerRefused(FaultKind kind, const Handle& h, std::uint32_t* code) {
        return takeFault(kind, h.port, code);
    }
    // A message whose last byte has left but which the driver thread has not reached yet is
    // finished first, so the answer depends on wire time only, not on thread scheduling.
    static bool holds(Handle& h, MIDIHDR* header, std::int64_t now) {
        advance(*gState.ports[h.port], now);
        return std::find(h.inflight.begin(), h.inflight.end(), header) != h.inflight.end();
    }
};

struct InputKind {
    using Device = Input;
    using Open = InHandle;
    using Hm = HMIDIIN;
    using WideCaps = MIDIINCAPSW;
    // Besides none, only the callback the host uses is simulated.
    static constexpr DWORD kCallback = CALLBACK_FUNCTION;
    static constexpr FaultKind kOpenFault = FaultKind::InOpen;

    static Input* atIndex(std::uint64_t index) {
        return index < gState.inOrder.size() ? gState.inputs[gState.inOrder[index]].get() : nullptr;
    }
    static InHandle* open(HMIDIIN h) { return findInHandle(h); }
    static Input& deviceOf(const InHandle& h) { return *gState.inputs[h.input]; }
    static std::uint32_t goneCode(const Input& in) { return in.removeCode; }
    // A driver that did not notice the removal keeps answering the index the input had.
    static bool indexKept(const Input& in, UINT& index) {
        index = in.keptIndex;
        return in.keepsIndex;
    }
    static UINT listIndex(const InHandle& h) {
        auto it = std::find(gState.inOrder.begin(), gState.inOrder.end(), h.input);
        return static_cast<UINT>(it - gState.inOrder.begin());
    }
    // Inputs have no faults on capabilities or headers.
    static bool capsRefused(const Input&, std::uint32_t*) { return false; }
    static bool headerRefused(FaultKind, const InHandle&, std::uint32_t*) { return false; }
    static bool holds(InHandle& h, MIDIHDR* header, std::int64_t) {
        return std::find(h.buffers.begin(), h.buffers.end(), header) != h.buffers.end();
    }
};

// A device index, or from kFirstHandle up a handle, as the recording shows it.
std::string deviceArg(UINT_PTR id) {
    return id >= kFirstHandle ? "handle=" + hex(id) : "dev=" + std::to_string(id);
}

std::string capsArgs(UINT_PTR id, UINT size) {
    return deviceArg(id) + " size=" + std::to_string(size);
}

// Resolves a device index or (from kFirstHandle up) a handle to a present device.
template <typename Kind>
MMRESULT resolve(UINT_PTR id, typename Kind::Device*& device) {
    device = nullptr;
    if (id >= kFirstHandle) {
        typename Kind::Open* h = Kind::open(reinterpret_cast<typename Kind::Hm>(id));
        if (h == nullptr) {
            return MMSYSERR_INVALHANDLE;
        }
        device = &Kind::deviceOf(*h);
        return device->present ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    }
    device = Kind::atIndex(id);
    return device == nullptr ? MMSYSERR_BADDEVICEID : MMSYSERR_NOERROR;
}

// The capability fields of outputs only; inputs have none beyond the shared ones.
void fillOwnCaps(MIDIOUTCAPSW& caps, const PortProps& p) {
    caps.wTechnology = p.tech;
    caps.wVoices = p.voices;
    caps.wNotes = p.notes;
    caps.wChannelMask = p.chanmask;
}
void fillOwnCaps(MIDIINCAPSW&, const PortProps&) {}

void narrowOwnCaps(MIDIOUTCAPSA& caps, const MIDIOUTCAPSW& wide) {
    caps.wTechnology = wide.wTechnology;
    caps.wVoices = wide.wVoices;
    caps.wNotes = wide.wNotes;
    caps.wChannelMask = wide.wChannelMask;
}
void narrowOwnCaps(MIDIINCAPSA&, const MIDIINCAPSW&) {}

// The wide capabilities of the device `id` names; records the call as `name`.
template <typename Kind>
MMRESULT fillCaps(const char* name, UINT_PTR id, typename Kind::WideCaps& caps, UINT size) {
    Call call(name);
    std::string args = capsArgs(id, size);
    typename Kind::Device* device = nullptr;
    MMRESULT r = resolve<Kind>(id, device);
    if (r != MMSYSERR_NOERROR) {
        return call.done(args, r);
    }
    std::uint32_t code = 0;
    if (Kind::capsRefused(*device, &code)) {
        return call.done(args, code);
    }
    const PortProps& p = device->props;
    caps = typename Kind::WideCaps();
    caps.wMid = p.mid;
    caps.wPid = p.pid;
    caps.vDriverVersion = p.version;
    // A name of exactly 32 units fills the array without a terminating NUL, as drivers do.
    std::copy(p.name.begin(), p.name.begin() + std::min<std::size_t>(p.name.size(), 32),
              caps.szPname);
    caps.dwSupport = p.support;
    fillOwnCaps(caps, p);
    return call.done(args, MMSYSERR_NOERROR);
}

// The capabilities as the caller asked for them: wide as they are, narrow with the name
// converted to the ANSI code page.
template <typename Out, typename Wide>
Out capsAs(const Wide& wide) {
    if constexpr (std::is_same<Out, Wide>::value) {
        return wide;
    } else {
        Out caps = Out();
        caps.wMid = wide.wMid;
        caps.wPid = wide.wPid;
        caps.vDriverVersion = wide.vDriverVersion;
        int units = 0;
        while (units < MAXPNAMELEN && wide.szPname[units] != 0) {
            ++units;
        }
        if (units > 0) {
            WideCharToMultiByte(CP_ACP, 0, wide.szPname, units, caps.szPname, MAXPNAMELEN - 1,
                                nullptr, nullptr);
        }
        caps.dwSupport = wide.dwSupport;
        narrowOwnCaps(caps, wide);
        return caps;
    }
}

// A GetDevCaps export: the first `size` bytes of the capabilities in the caller's form `Out`.
template <typename Kind, typename Out>
MMRESULT getDevCaps(const char* name, UINT_PTR id, Out* out, UINT size) {
    if (out == nullptr) {
        Call call(name);
        return call.done(capsArgs(id, size), MMSYSERR_INVALPARAM);
    }
    typename Kind::WideCaps wide;
    MMRESULT r = fillCaps<Kind>(name, id, wide, size);
    if (r == MMSYSERR_NOERROR) {
        const Out caps = capsAs<Out>(wide);
        std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof caps));
    }
    return r;
}

// A Message export: the device interface queries, on a device index or a handle.
template <typename Kind>
MMRESULT deviceMessage(const char* name, UINT_PTR id, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    Call call(name);
    std::string args =
        deviceArg(id) + " msg=" + hex(uMsg) + " dw1=" + hex(dw1) + " dw2=" + hex(dw2);
    typename Kind::Device* device = nullptr;
    MMRESULT r = resolve<Kind>(id, device);
    if (r != MMSYSERR_NOERROR) {
        return call.done(args, r);
    }
    return interfaceQuery(call, args, device->props, uMsg, dw1, dw2);
}

// An Open export: WinMM's checks in its order, then a fresh handle on the device, which
// `attach` sets up and describes for the recording. `value` gets the handle on success.
template <typename Kind, typename Attach>
MMRESULT openDevice(const char* name, typename Kind::Hm* result, UINT index, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags, std::uintptr_t& value, Attach attach) {
    Call call(name);
    std::string args = "dev=" + std::to_string(index) + " callback=" + hex(callback) +
                       " instance=" + hex(instance) + " flags=" + hex(flags);
    if (result == nullptr) {
        return call.done(args, MMSYSERR_INVALPARAM);
    }
    *result = nullptr;
    DWORD type = flags & CALLBACK_TYPEMASK;
    if (type != CALLBACK_NULL && type != Kind::kCallback) {
        return call.done(args, MMSYSERR_INVALFLAG);
    }
    if (type == Kind::kCallback && callback == 0) {
        return call.done(args, MMSYSERR_INVALPARAM);
    }
    typename Kind::Device* device = Kind::atIndex(index);
    if (device == nullptr) {
        return call.done(args, MMSYSERR_BADDEVICEID);
    }
    std::uint32_t code = 0;
    if (takeFault(Kind::kOpenFault, device->number, &code)) {
        return call.done(args, code);
    }
    if (device->openHandle != 0) {
        return call.done(args, MMSYSERR_ALLOCATED);
    }
    value = gNextHandle;
    gNextHandle += 4;
    device->openHandle = value;
    device->openedAt = call.now();
    *result = reinterpret_cast<typename Kind::Hm>(value);
    std::string outputs = attach(*device, call.now());
    return call.done(args, MMSYSERR_NOERROR, "handle=" + hex(value) + " " + outputs);
}

// A call on an open handle: recorded as `name` with `args`; refused for a handle that is not
// open, otherwise `body` (given the call, the arguments and the handle) does the rest.
template <typename Kind, typename Body>
MMRESULT onHandle(const char* name, typename Kind::Hm hm, std::string args, Body body) {
    Call call(name);
    typename Kind::Open* h = Kind::open(hm);
    if (h == nullptr) {
        return call.done(args, MMSYSERR_INVALHANDLE);
    }
    return body(call, args, h);
}

// A call on a header: as onHandle, and refused for a missing or short header.
template <typename Kind, typename Body>
MMRESULT onHeader(const char* name, typename Kind::Hm hm, LPMIDIHDR pmh, UINT cbmh, Body body) {
    std::string args =
        "handle=" + ptr(hm) + " header=" + ptr(pmh) + " size=" + std::to_string(cbmh);
    return onHandle<Kind>(name, hm, args, [&](Call& call, std::string& a, typename Kind::Open* h) {
        if (pmh == nullptr || cbmh < sizeof(MIDIHDR)) {
            return call.done(a, MMSYSERR_INVALPARAM);
        }
        return body(call, a, h);
    });
}

// A header that goes to the driver (a long message out, a buffer in): prepared, not already
// queued on the handle, and holding data the driver accepts.
template <typename Queue>
MMRESULT checkQueuedHeader(MIDIHDR* pmh, const Queue& queued) {
    if ((readFlags(pmh) & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    if (std::find(queued.begin(), queued.end(), pmh) != queued.end()) {
        return MIDIERR_STILLPLAYING;
    }
    if (pmh->lpData == nullptr || pmh->dwBufferLength == 0 ||
        pmh->dwBufferLength > kMaxLongMessage) {
        return MMSYSERR_INVALPARAM;
    }
    return MMSYSERR_NOERROR;
}

// A PrepareHeader export: marks a header that has data prepared.
template <typename Kind>
MMRESULT prepareHeader(const char* name, typename Kind::Hm hm, LPMIDIHDR pmh, UINT cbmh) {
    return onHeader<Kind>(name, hm, pmh, cbmh,
                          [&](Call& call, std::string& args, typename Kind::Open* h) {
                              if (pmh->lpData == nullptr) {
                                  return call.done(args, MMSYSERR_INVALPARAM);
                              }
                              std::uint32_t code = 0;
                              if (Kind::headerRefused(FaultKind::Prepare, *h, &code)) {
                                  return call.done(args, code);
                              }
                              changeFlags(pmh, 0, MHDR_PREPARED);
                              return call.done(args, MMSYSERR_NOERROR);
                          });
}

// An UnprepareHeader export: refused while the driver still holds the header.
template <typename Kind>
MMRESULT unprepareHeader(const char* name, typename Kind::Hm hm, LPMIDIHDR pmh, UINT cbmh) {
    return onHeader<Kind>(name, hm, pmh, cbmh,
                          [&](Call& call, std::string& args, typename Kind::Open* h) {
                              if (Kind::holds(*h, pmh, call.now())) {
                                  return call.done(args, MIDIERR_STILLPLAYING);
                              }
                              std::uint32_t code = 0;
                              if (Kind::headerRefused(FaultKind::Unprepare, *h, &code)) {
                                  return call.done(args, code);
                              }
                              changeFlags(pmh, MHDR_PREPARED, 0);
                              return call.done(args, MMSYSERR_NOERROR);
                          });
}

// A GetID export: the device's place in its list, or why it has none.
template <typename Kind>
MMRESULT getId(const char* name, typename Kind::Hm hm, LPUINT puDeviceID) {
    return onHandle<Kind>(
        name, hm, "handle=" + ptr(hm), [&](Call& call, std::string& args, typename Kind::Open* h) {
            if (puDeviceID == nullptr) {
                return call.done(args, MMSYSERR_INVALPARAM);
            }
            const typename Kind::Device& device = Kind::deviceOf(*h);
            UINT index = 0;
            if (!device.present && !Kind::indexKept(device, index)) {
                return call.done(args, Kind::goneCode(device));
            }
            if (device.present) {
                index = Kind::listIndex(*h);
            }
            *puDeviceID = index;
            return call.done(args, MMSYSERR_NOERROR, "index=" + std::to_string(index));
        });
}

// Runs the callbacks a call left pending for `handle`; the caller holds DeliverLock only.
void deliverFor(std::uintptr_t handle) {
    std::vector<Delivery> deliveries;
    {
        Lock lock;
        collectDeliveries(handle, deliveries);
    }
    deliver(deliveries);
}

}  // namespace

// ---- WinMM exports ------------------------------------------------------------------------------
// Each runs on the calling program thread, takes the DLL's lock briefly and never waits, except
// midiOutClose under the "closeblock" fault.

UINT WINAPI midiOutGetNumDevs(void) {
    Call call("midiOutGetNumDevs");
    UINT n = static_cast<UINT>(gState.order.size());
    call.done("", n);
    return n;
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
    return getDevCaps<OutputKind>("midiOutGetDevCapsW", uDeviceID, pmoc, cbmoc);
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
    return getDevCaps<OutputKind>("midiOutGetDevCapsA", uDeviceID, pmoc, cbmoc);
}

MMRESULT WINAPI midiOutMessage(HMIDIOUT hmo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    return deviceMessage<OutputKind>("midiOutMessage", reinterpret_cast<UINT_PTR>(hmo), uMsg, dw1,
                                     dw2);
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen) {
    std::uintptr_t value = 0;
    return openDevice<OutputKind>("midiOutOpen", phmo, uDeviceID, dwCallback, dwInstance, fdwOpen,
                                  value, [&](Port& port, std::int64_t) {
                                      Handle h;
                                      h.port = port.number;
                                      h.event = (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_EVENT
                                                    ? reinterpret_cast<HANDLE>(dwCallback)
                                                    : nullptr;
                                      gState.handles[value] = h;
                                      if (h.event != nullptr) {
                                          SetEvent(h.event);  // MOM_OPEN
                                      }
                                      wake();  // time-triggered faults count from the open
                                      return "port=" + std::to_string(port.number);
                                  });
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    Call call("midiOutShortMsg");
    std::string args = "handle=" + ptr(hmo) + " msg=" + hex8(dwMsg);
    std::size_t length = shortLength(dwMsg & 0xFF);
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < length; ++i) {
        bytes.push_back(static_cast<unsigned char>(dwMsg >> (8 * i)));
    }
    if (length > 0) {
        args += " bytes=" + hexBytes(bytes);
    }
    Handle* h = findHandle(hmo);
    if (h == nullptr) {
        return call.done(args, MMSYSERR_INVALHANDLE);
    }
    if (length == 0) {
        return call.done(args, MMSYSERR_INVALPARAM);
    }
    std::uint32_t code = 0;
    if (takeFault(FaultKind::Short, h->port, &code)) {
        return call.done(args, code);
    }
    Item item;
    item.seq = gState.nextSeq++;
    item.bytes = bytes;
    item.handle = reinterpret_cast<std::uintptr_t>(hmo);
    item.submitAt = call.now();
    Port& port = *gState.ports[h->port];
    port.queue.push_back(item);
    wake();
    return call.done(args, MMSYSERR_NOERROR, "seq=" + std::to_string(item.seq));
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return prepareHeader<OutputKind>("midiOutPrepareHeader", hmo, pmh, cbmh);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return onHeader<OutputKind>(
        "midiOutLongMsg", hmo, pmh, cbmh, [&](Call& call, std::string& args, Handle* h) {
            MMRESULT r = checkQueuedHeader(pmh, h->inflight);
            if (r != MMSYSERR_NOERROR) {
                return call.done(args, r);
            }
            Item item;
            const unsigned char* data = reinterpret_cast<const unsigned char*>(pmh->lpData);
            item.bytes.assign(data, data + pmh->dwBufferLength);
            args += " bytes=" + hexBytes(item.bytes);
            std::uint32_t code = 0;
            if (takeFault(FaultKind::Long, h->port, &code)) {
                return call.done(args, code);
            }
            item.seq = gState.nextSeq++;
            item.header = pmh;
            item.handle = reinterpret_cast<std::uintptr_t>(hmo);
            item.submitAt = call.now();
            item.stuck = takeFault(FaultKind::Stuck, h->port);
            changeFlags(pmh, MHDR_DONE, MHDR_INQUEUE);
            h->inflight.push_back(pmh);
            gState.ports[h->port]->queue.push_back(item);
            wake();
            return call.done(args, MMSYSERR_NOERROR, "seq=" + std::to_string(item.seq));
        });
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return unprepareHeader<OutputKind>("midiOutUnprepareHeader", hmo, pmh, cbmh);
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    return onHandle<OutputKind>(
        "midiOutReset", hmo, "handle=" + ptr(hmo), [&](Call& call, std::string& args, Handle* h) {
            std::uint32_t code = 0;
            if (takeFault(FaultKind::Reset, h->port, &code)) {
                return call.done(args, code);
            }
            bool noDone = takeFault(FaultKind::ResetNoDone, h->port);
            Port& port = *gState.ports[h->port];
            std::int64_t now = call.now();
            advance(port, now);  // what has fully left is completed normally
            bool first = true;
            while (!port.queue.empty()) {
                std::string drop = "drop port=" + std::to_string(port.number) +
                                   " seq=" + std::to_string(port.queue.front().seq);
                std::int64_t start = port.headStart();
                std::int64_t sent = 0;
                if (first && !port.queue.front().stuck && start < now) {
                    // A UART never stops inside a byte: the byte being sent finishes.
                    sent = std::min<std::int64_t>(
                        (now - start + kMicrosPerByte - 1) / kMicrosPerByte,
                        static_cast<std::int64_t>(port.queue.front().bytes.size()));
                    port.wireFree = start + sent * kMicrosPerByte;
                    drop += " start=" + std::to_string(start);
                } else {
                    drop += " start=-";
                }
                Item item = std::move(port.queue.front());
                port.queue.pop_front();
                first = false;
                record(now,
                       drop + " sent=" + std::to_string(sent) + " bytes=" + hexBytes(item.bytes));
            }
            bool signal = false;
            if (!noDone) {
                std::vector<MIDIHDR*> headers = h->inflight;
                for (MIDIHDR* header : headers) {
                    completeHeader(h, header);
                    record(now, "done port=" + std::to_string(port.number) +
                                    " header=" + ptr(header) + " reset=1");
                    signal = true;
                }
            }
            if (signal && h->event != nullptr) {
                SetEvent(h->event);
            }
            return call.done(args, MMSYSERR_NOERROR);
        });
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
    return onHandle<OutputKind>(
        "midiOutClose", hmo, "handle=" + ptr(hmo), [&](Call& call, std::string& args, Handle* h) {
            std::uint32_t blockMs = 0;
            if (takeFault(FaultKind::CloseBlock, h->port, nullptr, &blockMs)) {
                call.sleepUnlocked(blockMs);
                h = findHandle(hmo);  // a load may have forgotten it meanwhile
                if (h == nullptr) {
                    return call.done(args, MMSYSERR_INVALHANDLE);
                }
            }
            advance(*gState.ports[h->port], call.now());
            if (!h->inflight.empty()) {
                return call.done(args, MIDIERR_STILLPLAYING);
            }
            std::uint32_t code = 0;
            if (takeFault(FaultKind::Close, h->port, &code)) {
                return call.done(args, code);
            }
            HANDLE event = h->event;
            gState.ports[h->port]->openHandle = 0;
            gState.handles.erase(reinterpret_cast<std::uintptr_t>(hmo));
            if (event != nullptr) {
                SetEvent(event);  // MOM_CLOSE
            }
            return call.done(args, MMSYSERR_NOERROR);
        });
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, LPUINT puDeviceID) {
    return getId<OutputKind>("midiOutGetID", hmo, puDeviceID);
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
    Call call("timeBeginPeriod");
    return call.done("period=" + std::to_string(uPeriod), TIMERR_NOERROR);
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
    Call call("timeEndPeriod");
    return call.done("period=" + std::to_string(uPeriod), TIMERR_NOERROR);
}

// Not recorded: programs may call it in tight loops.
DWORD WINAPI timeGetTime(void) {
    return static_cast<DWORD>(nowMicros() / 1000);
}

// ---- WinMM input exports ------------------------------------------------------------------------
// Each runs on the calling program thread and takes the DLL's lock briefly. midiInOpen,
// midiInStop, midiInReset and midiInClose also run the handle's callback on the calling thread
// (MIM_OPEN, the buffers they hand back, MIM_CLOSE), as WinMM does, outside the state lock.

namespace {

// midiInStop and midiInReset: stops the input (and with `all` hands back every buffer), then
// runs the callbacks that left pending.
MMRESULT stopCall(const char* name, HMIDIIN hmi, bool all) {
    DeliverLock delivering;
    MMRESULT r = onHandle<InputKind>(name, hmi, "handle=" + ptr(hmi),
                                     [&](Call& call, std::string& args, InHandle* h) {
                                         stopInput(*h, all, call.now());
                                         return call.done(args, MMSYSERR_NOERROR);
                                     });
    if (r == MMSYSERR_NOERROR) {
        deliverFor(reinterpret_cast<std::uintptr_t>(hmi));
    }
    return r;
}

}  // namespace

UINT WINAPI midiInGetNumDevs(void) {
    Call call("midiInGetNumDevs");
    UINT n = static_cast<UINT>(gState.inOrder.size());
    call.done("", n);
    return n;
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic) {
    return getDevCaps<InputKind>("midiInGetDevCapsW", uDeviceID, pmic, cbmic);
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
    return getDevCaps<InputKind>("midiInGetDevCapsA", uDeviceID, pmic, cbmic);
}

MMRESULT WINAPI midiInMessage(HMIDIIN hmi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    return deviceMessage<InputKind>("midiInMessage", reinterpret_cast<UINT_PTR>(hmi), uMsg, dw1,
                                    dw2);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen) {
    DeliverLock delivering;
    std::uintptr_t value = 0;
    MMRESULT r =
        openDevice<InputKind>("midiInOpen", phmi, uDeviceID, dwCallback, dwInstance, fdwOpen, value,
                              [&](Input& in, std::int64_t now) {
                                  InHandle& h = gState.inHandles[value];
                                  h.input = in.number;
                                  h.callback = (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION
                                                   ? reinterpret_cast<InCallback>(dwCallback)
                                                   : nullptr;
                                  h.instance = dwInstance;
                                  in.chunks.clear();  // what arrived while nobody listened is gone
                                  queueIn(h, MIM_OPEN, 0, now, now);
                                  return "input=" + std::to_string(in.number);
                              });
    if (r == MMSYSERR_NOERROR) {
        deliverFor(value);
    }
    return r;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return prepareHeader<InputKind>("midiInPrepareHeader", hmi, pmh, cbmh);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return unprepareHeader<InputKind>("midiInUnprepareHeader", hmi, pmh, cbmh);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return onHeader<InputKind>(
        "midiInAddBuffer", hmi, pmh, cbmh, [&](Call& call, std::string& args, InHandle* h) {
            const Input& in = *gState.inputs[h->input];
            if (!in.present) {
                return call.done(args, in.removeCode);
            }
            MMRESULT r = checkQueuedHeader(pmh, h->buffers);
            if (r != MMSYSERR_NOERROR) {
                return call.done(args, r);
            }
            pmh->dwBytesRecorded = 0;
            changeFlags(pmh, MHDR_DONE, MHDR_INQUEUE);
            h->buffers.push_back(pmh);
            return call.done(args, MMSYSERR_NOERROR, "queued=" + std::to_string(h->buffers.size()));
        });
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
    return onHandle<InputKind>("midiInStart", hmi, "handle=" + ptr(hmi),
                               [&](Call& call, std::string& args, InHandle* h) {
                                   const Input& in = *gState.inputs[h->input];
                                   if (!in.present) {
                                       return call.done(args, in.removeCode);
                                   }
                                   if (!h->started) {
                                       h->started = true;
                                       h->startedAt = call.now();
                                   }
                                   return call.done(args, MMSYSERR_NOERROR);
                               });
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
    return stopCall("midiInStop", hmi, false);
}

MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
    return stopCall("midiInReset", hmi, true);
}

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
    // "incloseblock": the call blocks before it does anything, holding no lock, so the driver
    // thread and other handles go on meanwhile.
    std::uint32_t blockMs = 0;
    {
        Lock lock;
        InHandle* h = findInHandle(hmi);
        if (h == nullptr || !takeFault(FaultKind::InCloseBlock, h->input, nullptr, &blockMs)) {
            blockMs = 0;
        }
    }
    if (blockMs > 0) {
        Sleep(blockMs);
    }
    DeliverLock delivering;
    std::vector<Delivery> deliveries;
    MMRESULT r = onHandle<InputKind>(
        "midiInClose", hmi, "handle=" + ptr(hmi), [&](Call& call, std::string& args, InHandle* h) {
            if (!h->buffers.empty()) {
                return call.done(args, MIDIERR_STILLPLAYING);
            }
            queueIn(*h, MIM_CLOSE, 0, call.now(), call.now());
            std::uintptr_t value = reinterpret_cast<std::uintptr_t>(hmi);
            collectDeliveries(value, deliveries);
            gState.inputs[h->input]->openHandle = 0;
            gState.inHandles.erase(value);
            return call.done(args, MMSYSERR_NOERROR);
        });
    deliver(deliveries);
    return r;
}

MMRESULT WINAPI midiInGetID(HMIDIIN hmi, LPUINT puDeviceID) {
    return getId<InputKind>("midiInGetID", hmi, puDeviceID);
}

// ---- control exports ----------------------------------------------------------------------------
// Called by test programs on any thread; each takes the lock briefly and never waits.

extern "C" {

int simportIsActive(void) {
    ensureStarted();
    return 1;
}

int simportLoad(const char* scenarioText) {
    ensureStarted();
    Lock lock;
    gLastError.clear();
    gRecording.clear();
    gRecordingFull = false;
    gRecordingInMemory = true;
    std::string error;
    if (!loadScenario(scenarioText == nullptr ? "" : scenarioText, "simportLoad", nowMicros(),
                      error)) {
        gLastError = error;
        return -1;
    }
    return 0;
}

int simportApply(const char* line) {
    ensureStarted();
    Lock lock;
    gLastError.clear();
    std::string text = line == nullptr ? "" : line;
    std::int64_t now = nowMicros();
    record(now, "apply " + text);
    std::string error;
    if (!applyLine(text, now, error)) {
        gLastError = error;
        record(now, "error " + error);
        return -1;
    }
    return 0;
}

const char* simportLastError(void) {
    ensureStarted();
    Lock lock;
    return gLastError.c_str();
}

int simportRecording(char* buffer, int size) {
    ensureStarted();
    Lock lock;
    if (gRecordingFull) {
        return -1;
    }
    if (buffer != nullptr && size > 0) {
        std::size_t n =
            std::min<std::size_t>(gRecording.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, gRecording.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(gRecording.size());
}

long long simportNowMicros(void) {
    return nowMicros();
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        std::wstring path = envPath(L"MTC_SIMPORT_LOG");
        if (!path.empty()) {
            gLog = CreateFileW(path.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            gRecordingInMemory = gLog == INVALID_HANDLE_VALUE;
        }
        Lock lock;
        record(nowMicros(), "simport pid=" + std::to_string(GetCurrentProcessId()));
    }
    return TRUE;
}

}  // extern "C"
