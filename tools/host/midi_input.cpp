#include "tools/host/midi_input.h"

#include <windows.h>
#include <mmsystem.h>
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "check/receiver.h"
#include "check/recording.h"
#include "check/win/clock.h"
#include "check/win/files.h"
#include "platform/device_interface.h"

namespace mtchost {

namespace {

// Bounds of a usable answer to the interface-path size query, in bytes (as for outputs).
constexpr ULONG kMinPathBytes = 2;
constexpr ULONG kMaxPathBytes = 32768;
// Version tag of an input's identity text; changing it gives every input a new id.
constexpr char kInputIdentityTag[] = "velmarcast-winmm-input-v1\n";
// A system exclusive message longer than this is not MTC and is not collected further.
constexpr std::size_t kMaxExclusive = 65536;
// Queued by the callback, in order among the driver's messages, when the last buffer the
// driver held came back: from then until the host re-queues one, bytes may be dropped. It
// shows a host that fell behind; a driver that ran dry while the callbacks of a burst were
// still coming, and the host already giving buffers back, can drop bytes unseen here.
constexpr UINT kAllBuffersBack = 0x7FFF0001;

// WinMM's input functions, looked up when first needed rather than imported: a program that
// never reads an input (mtc-host without --input) then never loads winmm.dll, and so never
// loads the MIDI layer it watches (under test, the simulated port with its own recording).
struct Winmm {
    decltype(&midiInGetNumDevs) getNumDevs = nullptr;
    decltype(&midiInGetDevCapsW) getDevCaps = nullptr;
    decltype(&midiInMessage) message = nullptr;
    decltype(&midiInOpen) open = nullptr;
    decltype(&midiInPrepareHeader) prepare = nullptr;
    decltype(&midiInAddBuffer) addBuffer = nullptr;
    decltype(&midiInStart) start = nullptr;
    decltype(&midiInReset) reset = nullptr;
    decltype(&midiInUnprepareHeader) unprepare = nullptr;
    decltype(&midiInClose) close = nullptr;
    decltype(&midiInGetID) getId = nullptr;
    std::string error;  // why it could not be loaded; "" when it was
};

// Looks up `name` in `module` (loaded from `file`); the first function missing is named in
// `error`.
template <typename F>
void lookUp(HMODULE module, const char* file, const char* name, F& function, std::string& error) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function == nullptr && error.empty()) {
        error = std::string(file) + " has no " + name;
    }
}

// Loaded once, on the host's thread; the module stays loaded until the process ends.
const Winmm& winmm() {
    static const Winmm loaded = [] {
        Winmm w;
        const HMODULE module = LoadLibraryW(L"winmm.dll");
        if (module == nullptr) {
            w.error = "cannot load winmm.dll (error " + std::to_string(GetLastError()) + ")";
            return w;
        }
        lookUp(module, "winmm.dll", "midiInGetNumDevs", w.getNumDevs, w.error);
        lookUp(module, "winmm.dll", "midiInGetDevCapsW", w.getDevCaps, w.error);
        lookUp(module, "winmm.dll", "midiInMessage", w.message, w.error);
        lookUp(module, "winmm.dll", "midiInOpen", w.open, w.error);
        lookUp(module, "winmm.dll", "midiInPrepareHeader", w.prepare, w.error);
        lookUp(module, "winmm.dll", "midiInAddBuffer", w.addBuffer, w.error);
        lookUp(module, "winmm.dll", "midiInStart", w.start, w.error);
        lookUp(module, "winmm.dll", "midiInReset", w.reset, w.error);
        lookUp(module, "winmm.dll", "midiInUnprepareHeader", w.unprepare, w.error);
        lookUp(module, "winmm.dll", "midiInClose", w.close, w.error);
        lookUp(module, "winmm.dll", "midiInGetID", w.getId, w.error);
        return w;
    }();
    return loaded;
}

// The driver's product name in UTF-8: up to 32 units, which need not end in a NUL.
std::string productName(const MIDIINCAPSW& caps) {
    std::size_t units = 0;
    while (units < MAXPNAMELEN && caps.szPname[units] != L'\0') {
        ++units;
    }
    return mtccheck::narrow(std::wstring(caps.szPname, units));
}

// The interface path of input `index` in UTF-8, or "" when the driver does not answer both
// queries with a plausible, NUL-terminated path.
std::string interfacePath(unsigned index) {
    // WinMM takes a device index in place of a handle for driver queries.
    const HMIDIIN device = reinterpret_cast<HMIDIIN>(static_cast<UINT_PTR>(index));
    ULONG size = 0;
    if (winmm().message(device, DRV_QUERYDEVICEINTERFACESIZE, reinterpret_cast<DWORD_PTR>(&size),
                        0) != MMSYSERR_NOERROR ||
        size % 2 != 0 || size < kMinPathBytes || size > kMaxPathBytes) {
        return std::string();
    }
    std::vector<wchar_t> buffer(size / 2, L'\0');
    if (winmm().message(device, DRV_QUERYDEVICEINTERFACE,
                        reinterpret_cast<DWORD_PTR>(buffer.data()), size) != MMSYSERR_NOERROR) {
        return std::string();
    }
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    if (end == buffer.end()) {
        return std::string();  // cut short: a different path would give a different id
    }
    return mtccheck::narrow(std::wstring(buffer.begin(), end));
}

// The manufacturer, product and driver-version numbers as the identity text writes them.
std::string numbersOf(const MIDIINCAPSW& caps) {
    return std::to_string(static_cast<unsigned>(caps.wMid)) + ":" +
           std::to_string(static_cast<unsigned>(caps.wPid)) + ":" +
           std::to_string(static_cast<unsigned long>(caps.vDriverVersion));
}

// What an input's id is made of: interface path ("" when the driver gives none), name and
// numbers, one a line.
std::string identityText(const std::string& path, const MIDIINCAPSW& caps) {
    return path + "\n" + productName(caps) + "\n" + numbersOf(caps);
}

// CNG's hashing functions, looked up like WinMM's: only listing inputs needs them, so
// mtc-host without --input or --list-inputs loads no more than it ever did.
struct Cng {
    decltype(&BCryptOpenAlgorithmProvider) openProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeProvider = nullptr;
    std::string error;
};

const Cng& cng() {
    static const Cng loaded = [] {
        Cng c;
        const HMODULE module = LoadLibraryW(L"bcrypt.dll");
        if (module == nullptr) {
            c.error = "cannot load bcrypt.dll";
            return c;
        }
        lookUp(module, "bcrypt.dll", "BCryptOpenAlgorithmProvider", c.openProvider, c.error);
        lookUp(module, "bcrypt.dll", "BCryptCreateHash", c.createHash, c.error);
        lookUp(module, "bcrypt.dll", "BCryptHashData", c.hashData, c.error);
        lookUp(module, "bcrypt.dll", "BCryptFinishHash", c.finishHash, c.error);
        lookUp(module, "bcrypt.dll", "BCryptDestroyHash", c.destroyHash, c.error);
        lookUp(module, "bcrypt.dll", "BCryptCloseAlgorithmProvider", c.closeProvider, c.error);
        return c;
    }();
    return loaded;
}

// "winmm:" + SHA-256 of `identity` in lowercase hex, or "" if CNG fails.
std::string hashedId(const std::string& identity) {
    const Cng& c = cng();
    if (!c.error.empty()) {
        return std::string();  // no id rather than a wrong one
    }
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::array<UCHAR, 32> digest{};
    bool ok = BCRYPT_SUCCESS(c.openProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    ok = ok && BCRYPT_SUCCESS(c.createHash(provider, &hash, nullptr, 0, nullptr, 0, 0));
    ok = ok && BCRYPT_SUCCESS(
                   c.hashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(identity.data())),
                              static_cast<ULONG>(identity.size()), 0));
    ok = ok &&
         BCRYPT_SUCCESS(c.finishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash != nullptr) {
        c.destroyHash(hash);
    }
    if (provider != nullptr) {
        c.closeProvider(provider, 0);
    }
    if (!ok) {
        return std::string();
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string id = "winmm:";
    for (UCHAR byte : digest) {
        id += kDigits[byte >> 4];
        id += kDigits[byte & 0x0F];
    }
    return id;
}

// Bytes of a short message as WinMM packs it (status in the low byte), by its status.
std::vector<std::uint8_t> shortBytes(DWORD_PTR packed) {
    const auto status = static_cast<std::uint8_t>(packed & 0xFF);
    const std::size_t length =
        status >= 0x80 ? 1 + static_cast<std::size_t>(mtccheck::dataBytesOf(status)) : 1;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < length; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(packed >> (8 * i)));
    }
    return bytes;
}

DWORD flagsOf(const MIDIHDR* header) {
    // The driver changes dwFlags from its own thread: read it atomically.
    return static_cast<DWORD>(InterlockedCompareExchange(
        reinterpret_cast<volatile LONG*>(const_cast<DWORD*>(&header->dwFlags)), 0, 0));
}

}  // namespace

std::string winmmText(unsigned result) {
    const char* text;
    switch (result) {
        case MMSYSERR_ERROR:
            text = "unspecified error";
            break;
        case MMSYSERR_BADDEVICEID:
            text = "no such device";
            break;
        case MMSYSERR_NOTENABLED:
            text = "the driver failed to load";
            break;
        case MMSYSERR_ALLOCATED:
            text = "the device is already in use by another program";
            break;
        case MMSYSERR_INVALHANDLE:
            text = "invalid handle";
            break;
        case MMSYSERR_NODRIVER:
            text = "no driver: the device is gone";
            break;
        case MMSYSERR_NOMEM:
            text = "out of memory";
            break;
        case MMSYSERR_NOTSUPPORTED:
            text = "not supported by the driver";
            break;
        case MMSYSERR_INVALFLAG:
            text = "invalid flag";
            break;
        case MMSYSERR_INVALPARAM:
            text = "invalid parameter";
            break;
        case MIDIERR_UNPREPARED:
            text = "buffer not prepared";
            break;
        case MIDIERR_STILLPLAYING:
            text = "buffers are still queued";
            break;
        default:
            text = "WinMM error";
            break;
    }
    return std::string(text) + " (WinMM " + std::to_string(result) + ")";
}

std::string inputLayerError() {
    return winmm().error;
}

std::vector<InputPort> listInputs() {
    std::vector<InputPort> inputs;
    if (!winmm().error.empty()) {
        return inputs;
    }
    const UINT count = winmm().getNumDevs();
    for (UINT index = 0; index < count; ++index) {
        MIDIINCAPSW caps;
        ZeroMemory(&caps, sizeof caps);
        if (winmm().getDevCaps(index, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            continue;  // gone between the count and now, or a broken driver
        }
        InputPort port;
        port.index = index;
        port.name = productName(caps);
        const std::string path = interfacePath(index);
        if (!path.empty()) {
            port.id = hashedId(kInputIdentityTag + identityText(path, caps));
        }
        inputs.push_back(port);
    }
    return inputs;
}

std::vector<InputPort> matchInputs(const std::vector<InputPort>& inputs,
                                   const std::string& wanted) {
    std::vector<InputPort> found;
    if (wanted.empty()) {
        return found;  // names nothing, not the ports without an id or a name
    }
    for (const InputPort& port : inputs) {
        if (port.id == wanted) {
            found.push_back(port);
        }
    }
    if (!found.empty()) {
        return found;
    }
    for (const InputPort& port : inputs) {
        if (port.name == wanted) {
            found.push_back(port);
        }
    }
    return found;
}

// ---- the callback's side ----------------------------------------------------------------------

// What the callback and the host's thread share. Allocated once at open; the callback only
// writes into storage that exists already.
struct MidiInput::Event {
    UINT msg = 0;
    DWORD_PTR p1 = 0;
    DWORD_PTR p2 = 0;
    std::int64_t at = 0;
};

struct MidiInput::Shared {
    using Event = MidiInput::Event;

    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<Event> ring;  // fixed capacity
    std::size_t head = 0;
    std::size_t count = 0;
    std::uint64_t overruns = 0;
    // Buffers that came back while the queue was full: still owed a re-queue.
    std::vector<MIDIHDR*> orphans;  // capacity: the number of buffers
    unsigned queued = 0;            // buffers the driver holds
    bool closing = false;  // the host is closing: MIM_CLOSE and returned buffers are its own
    HANDLE wake = nullptr;

    std::vector<MIDIHDR> headers;
    std::vector<std::vector<char>> data;
};

namespace {

// Queues one event under the lock; false when the ring is full.
bool queueEvent(MidiInput::Shared& shared, UINT msg, DWORD_PTR p1, DWORD_PTR p2, std::int64_t at) {
    if (shared.count >= shared.ring.size()) {
        return false;
    }
    MidiInput::Shared::Event& e = shared.ring[(shared.head + shared.count) % shared.ring.size()];
    e.msg = msg;
    e.p1 = p1;
    e.p2 = p2;
    e.at = at;
    ++shared.count;
    return true;
}

// Runs on the driver's thread (or inside midiInReset/midiInClose on the closing worker):
// copies and signals, nothing else. Never allocates, never calls WinMM; the lock is held for
// a few stores only. A MIM_CLOSE the host did not ask for means the driver let go of the input.
void CALLBACK onInput(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    if (msg == MIM_OPEN) {
        return;
    }
    const std::int64_t at = mtccheck::nowMicros();
    auto* shared = reinterpret_cast<MidiInput::Shared*>(instance);
    AcquireSRWLockExclusive(&shared->lock);
    if (msg == MIM_CLOSE && shared->closing) {
        ReleaseSRWLockExclusive(&shared->lock);
        return;
    }
    const bool buffer = (msg == MIM_LONGDATA || msg == MIM_LONGERROR) && p1 != 0;
    if (buffer && shared->queued > 0) {
        --shared->queued;
    }
    if (!queueEvent(*shared, msg, p1, p2, at)) {
        ++shared->overruns;
        if (buffer && shared->orphans.size() < shared->orphans.capacity()) {
            shared->orphans.push_back(reinterpret_cast<MIDIHDR*>(p1));  // within capacity
        }
    } else if (buffer && shared->queued == 0 && !shared->closing) {
        queueEvent(*shared, kAllBuffersBack, 0, 0, at);  // a full ring reports its own loss
    }
    ReleaseSRWLockExclusive(&shared->lock);
    SetEvent(shared->wake);
}

}  // namespace

// ---- the host's side ------------------------------------------------------------------------

MidiInput::MidiInput(unsigned index, const InputOptions& options) : options_(options) {
    options_.buffers = std::max(options_.buffers, 2u);
    options_.bufferBytes = std::max(options_.bufferBytes, 2u);
    options_.queueCapacity = std::max(options_.queueCapacity, 1u);

    if (!winmm().error.empty()) {
        throw InputError(winmm().error, MMSYSERR_NOTENABLED);
    }
    MIDIINCAPSW caps;
    ZeroMemory(&caps, sizeof caps);
    const MMRESULT r = winmm().getDevCaps(index, &caps, sizeof caps);
    if (r != MMSYSERR_NOERROR) {
        throw InputError("cannot read MIDI input " + std::to_string(index) + ": " + winmmText(r),
                         r);
    }
    name_ = productName(caps);
    identity_ = identityText(interfacePath(index), caps);

    auto shared = std::make_unique<Shared>();
    shared->ring.resize(options_.queueCapacity);
    shared->orphans.reserve(options_.buffers);
    shared->headers.resize(options_.buffers);
    shared->data.resize(options_.buffers, std::vector<char>(options_.bufferBytes));
    shared->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (shared->wake == nullptr) {
        throw InputError("cannot create the MIDI input's event", MMSYSERR_NOMEM);
    }
    openAndStart(index, std::move(shared));
    nextPresenceCheckUs_ = mtccheck::nowMicros() + options_.presenceEveryMs * 1000LL;
}

void MidiInput::openAndStart(unsigned index, std::unique_ptr<Shared> shared) {
    HMIDIIN handle = nullptr;
    MMRESULT r = winmm().open(&handle, index, reinterpret_cast<DWORD_PTR>(&onInput),
                              reinterpret_cast<DWORD_PTR>(shared.get()), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        CloseHandle(shared->wake);
        throw InputError("cannot open MIDI input \"" + name_ + "\": " + winmmText(r), r);
    }
    handle_ = handle;
    shared_ = shared.release();
    const char* step = "prepare a buffer of";
    for (unsigned i = 0; i < options_.buffers && r == MMSYSERR_NOERROR; ++i) {
        MIDIHDR& h = shared_->headers[i];
        ZeroMemory(&h, sizeof h);
        h.lpData = shared_->data[i].data();
        h.dwBufferLength = options_.bufferBytes;
        step = "prepare a buffer of";
        r = winmm().prepare(handle, &h, sizeof h);
        if (r == MMSYSERR_NOERROR) {
            step = "queue a buffer on";
            r = winmm().addBuffer(handle, &h, sizeof h);
        }
        if (r == MMSYSERR_NOERROR) {
            AcquireSRWLockExclusive(&shared_->lock);
            ++shared_->queued;
            ReleaseSRWLockExclusive(&shared_->lock);
        }
    }
    if (r == MMSYSERR_NOERROR) {
        step = "start";
        r = winmm().start(handle);
    }
    if (r != MMSYSERR_NOERROR) {
        std::string ignored;
        close(ignored);
        throw InputError(
            std::string("cannot ") + step + " MIDI input \"" + name_ + "\": " + winmmText(r), r);
    }
}

MidiInput::~MidiInput() {
    std::string ignored;
    close(ignored);
}

void* MidiInput::wakeEvent() const {
    return shared_ == nullptr ? nullptr : shared_->wake;
}

std::uint64_t MidiInput::overruns() const {
    if (shared_ == nullptr) {
        return overrunsReported_;
    }
    AcquireSRWLockExclusive(&shared_->lock);
    const std::uint64_t n = shared_->overruns;
    ReleaseSRWLockExclusive(&shared_->lock);
    return n;
}

void MidiInput::requeue(void* header, std::int64_t at, std::vector<InputProblem>& problems) {
    auto* h = static_cast<MIDIHDR*>(header);
    const MMRESULT r = winmm().addBuffer(static_cast<HMIDIIN>(handle_), h, sizeof *h);
    if (r == MMSYSERR_NOERROR) {
        AcquireSRWLockExclusive(&shared_->lock);
        ++shared_->queued;
        ReleaseSRWLockExclusive(&shared_->lock);
    } else if (!requeueFailed_) {
        // Reported once: after an unplug every buffer fails the same way.
        requeueFailed_ = true;
        problems.push_back(
            {at, "input \"" + name_ +
                     "\": a system exclusive buffer could not be queued again: " + winmmText(r)});
    }
}

void MidiInput::handleLong(void* header, bool error, std::int64_t at, std::uint32_t driverMs,
                           std::vector<InputMessage>& messages,
                           std::vector<InputProblem>& problems) {
    const std::string input = "input \"" + name_ + "\": ";
    if (header == nullptr) {
        partial_.clear();
        problems.push_back(
            {at, input + "a system exclusive message was lost: the driver had no buffer for it"});
        return;
    }
    auto* h = static_cast<MIDIHDR*>(header);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(h->lpData);
    const std::size_t count = std::min<std::size_t>(h->dwBytesRecorded, h->dwBufferLength);
    if (error) {
        problems.push_back({at, input + "the driver reported an incomplete system exclusive " +
                                    "message (" + mtccheck::formatHex(bytes, count, " ") + ")"});
        partial_.clear();
    } else if (count > 0) {
        if (bytes[0] == 0xF0) {
            if (!partial_.empty()) {
                problems.push_back({at, input + "a system exclusive message ended without F7 (" +
                                            std::to_string(partial_.size()) + " bytes)"});
            }
            partial_.assign(bytes, bytes + count);
        } else if (partial_.empty()) {
            problems.push_back({at, input + "system exclusive data arrived without its start (" +
                                        mtccheck::formatHex(bytes, count, " ") + ")"});
        } else if (partial_.size() + count > kMaxExclusive) {
            problems.push_back({at, input + "a system exclusive message longer than " +
                                        std::to_string(kMaxExclusive) + " bytes was dropped"});
            partial_.clear();
        } else {
            partial_.insert(partial_.end(), bytes, bytes + count);
        }
        if (!partial_.empty() && partial_.back() == 0xF7) {
            messages.push_back({partial_, at, driverMs});
            partial_.clear();
        }
    }
    requeue(h, at, problems);
}

// A short message or an error arrived while a system exclusive message was still arriving: the
// driver cut that message short without saying so; what came of it is dropped, never joined to
// a later continuation.
void MidiInput::interrupted(const std::vector<std::uint8_t>& by, std::int64_t at,
                            std::vector<InputProblem>& problems) {
    if (partial_.empty() || by.empty() || by[0] >= 0xF8) {
        return;  // real-time bytes may come in the middle of anything
    }
    problems.push_back({at, "input \"" + name_ +
                                "\": a system exclusive message was cut short by " +
                                mtccheck::formatHex(by.data(), by.size(), " ") + " after " +
                                std::to_string(partial_.size()) + " bytes"});
    partial_.clear();
}

// Whether the input is still there: WinMM may keep a handle's index valid after the device
// went, so the device at that index must still have the identity the input had (as the
// service re-checks its output).
void MidiInput::checkPresence(std::int64_t now, std::vector<InputProblem>& problems) {
    UINT index = 0;
    MMRESULT r = winmm().getId(static_cast<HMIDIIN>(handle_), &index);
    std::string why;
    if (r != MMSYSERR_NOERROR) {
        why = winmmText(r);
    } else {
        MIDIINCAPSW caps;
        ZeroMemory(&caps, sizeof caps);
        r = winmm().getDevCaps(index, &caps, sizeof caps);
        if (r != MMSYSERR_NOERROR) {
            why = "no device answers at its index " + std::to_string(index) + ": " + winmmText(r);
        } else if (identityText(interfacePath(index), caps) != identity_) {
            why = "another device has its index " + std::to_string(index) + " now";
        }
    }
    if (!why.empty()) {
        vanished_ = true;
        problems.push_back({now, "input \"" + name_ + "\": the input disappeared: " + why});
    }
}

namespace {

// Takes everything queued under the lock: the events in arrival order, the buffers still owed a
// re-queue, and the count of events dropped since open.
std::uint64_t takeQueued(MidiInput::Shared& shared, unsigned buffers,
                         std::vector<MidiInput::Shared::Event>& events,
                         std::vector<MIDIHDR*>& orphans) {
    AcquireSRWLockExclusive(&shared.lock);
    events.reserve(shared.count);
    for (std::size_t i = 0; i < shared.count; ++i) {
        events.push_back(shared.ring[(shared.head + i) % shared.ring.size()]);
    }
    shared.head = (shared.head + shared.count) % shared.ring.size();
    shared.count = 0;
    orphans.swap(shared.orphans);
    shared.orphans.reserve(buffers);
    const std::uint64_t overruns = shared.overruns;
    ReleaseSRWLockExclusive(&shared.lock);
    return overruns;
}

}  // namespace

void MidiInput::handleEvent(const Event& e, std::vector<InputMessage>& messages,
                            std::vector<InputProblem>& problems) {
    const std::string input = "input \"" + name_ + "\": ";
    const auto driverMs = static_cast<std::uint32_t>(e.p2);
    switch (e.msg) {
        case MIM_DATA: {
            std::vector<std::uint8_t> bytes = shortBytes(e.p1);
            interrupted(bytes, e.at, problems);
            messages.push_back({std::move(bytes), e.at, driverMs});
            break;
        }
        case MIM_ERROR: {
            const std::vector<std::uint8_t> bytes = shortBytes(e.p1);
            interrupted(bytes, e.at, problems);
            problems.push_back({e.at, input + "the driver reported invalid MIDI data (" +
                                          mtccheck::formatHex(bytes.data(), bytes.size(), " ") +
                                          ")"});
            break;
        }
        case MIM_LONGDATA:
        case MIM_LONGERROR:
            handleLong(reinterpret_cast<void*>(e.p1), e.msg == MIM_LONGERROR, e.at, driverMs,
                       messages, problems);
            break;
        case MIM_CLOSE:
            if (!vanished_) {
                vanished_ = true;
                problems.push_back(
                    {e.at, input + "the input disappeared: the driver closed it unasked"});
            }
            break;
        case kAllBuffersBack:
            problems.push_back(
                {e.at, input + "all " + std::to_string(options_.buffers) +
                           " system exclusive buffers were back with the host at once: the "
                           "driver may have dropped bytes without a word" +
                           (partial_.empty() ? std::string()
                                             : " (the message in progress is not joined)")});
            partial_.clear();
            break;
        default:
            break;
    }
}

void MidiInput::poll(std::vector<InputMessage>& messages, std::vector<InputProblem>& problems) {
    if (shared_ == nullptr || handle_ == nullptr) {
        return;
    }
    std::vector<Shared::Event> events;
    std::vector<MIDIHDR*> orphans;
    const std::uint64_t overruns = takeQueued(*shared_, options_.buffers, events, orphans);
    for (const Shared::Event& e : events) {
        handleEvent(e, messages, problems);
    }
    const std::string input = "input \"" + name_ + "\": ";
    const std::int64_t now = mtccheck::nowMicros();
    if (overruns > overrunsReported_) {
        // What the dropped buffers held is unknown: a message in progress cannot be trusted.
        partial_.clear();
        problems.push_back({now, input + std::to_string(overruns - overrunsReported_) +
                                     " messages were lost: the host did not take them in time "
                                     "(queue of " +
                                     std::to_string(options_.queueCapacity) + ")"});
        overrunsReported_ = overruns;
    }
    for (MIDIHDR* h : orphans) {
        requeue(h, now, problems);
    }
    if (!vanished_ && now >= nextPresenceCheckUs_) {
        nextPresenceCheckUs_ = now + options_.presenceEveryMs * 1000LL;
        checkPresence(now, problems);
    }
}

namespace {

// A close in progress, shared by the host's thread and the worker that runs it: whichever
// lets go last frees it, so a worker stuck in the driver never touches freed memory.
struct CloseJob {
    HMIDIIN handle = nullptr;
    std::vector<MIDIHDR>* headers = nullptr;  // the input's, left allocated if the worker hangs
    unsigned stepMs = 0;
    std::atomic<const char*> step{"midiInReset"};  // the call the worker is in or last made
    std::string error;  // the worker's verdict, read only once `done` is set
    HANDLE done = nullptr;
    ~CloseJob() {
        if (done != nullptr) {
            CloseHandle(done);
        }
    }
};

// Polls `done` every millisecond until it holds or `limitMs` has passed.
template <typename F>
bool withinLimit(unsigned limitMs, F done) {
    const std::int64_t deadline = mtccheck::nowMicros() + limitMs * 1000LL;
    while (!done()) {
        if (mtccheck::nowMicros() > deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// The close itself, on the worker: "" when the input is closed, else what failed. Each call
// may block as long as the driver takes; the host's thread does not wait for more than its
// limit.
std::string runClose(CloseJob& job) {
    MMRESULT r = winmm().reset(job.handle);
    if (r != MMSYSERR_NOERROR) {
        return "midiInReset failed: " + winmmText(r);
    }
    auto allDone = [&] {
        for (const MIDIHDR& h : *job.headers) {
            const DWORD flags = flagsOf(&h);
            if ((flags & MHDR_PREPARED) != 0 && (flags & MHDR_INQUEUE) != 0) {
                return false;
            }
        }
        return true;
    };
    if (!withinLimit(job.stepMs, allDone)) {
        return "the driver did not hand its buffers back within " + std::to_string(job.stepMs) +
               " ms of midiInReset";
    }
    job.step = "midiInUnprepareHeader";
    for (MIDIHDR& h : *job.headers) {
        if ((flagsOf(&h) & MHDR_PREPARED) == 0) {
            continue;
        }
        if (!withinLimit(job.stepMs,
                         [&] {
                             r = winmm().unprepare(job.handle, &h, sizeof h);
                             return r != MIDIERR_STILLPLAYING;
                         }) ||
            r != MMSYSERR_NOERROR) {
            return "a buffer could not be released: " + winmmText(r);
        }
    }
    job.step = "midiInClose";
    if (!withinLimit(job.stepMs,
                     [&] {
                         r = winmm().close(job.handle);
                         return r != MIDIERR_STILLPLAYING;
                     }) ||
        r != MMSYSERR_NOERROR) {
        return "midiInClose failed: " + winmmText(r);
    }
    return std::string();
}

}  // namespace

bool MidiInput::close(std::string& error) {
    if (handle_ == nullptr) {
        return true;
    }
    const std::string input = "MIDI input \"" + name_ + "\": ";
    AcquireSRWLockExclusive(&shared_->lock);
    shared_->closing = true;
    ReleaseSRWLockExclusive(&shared_->lock);

    auto job = std::make_shared<CloseJob>();
    job->handle = static_cast<HMIDIIN>(handle_);
    job->headers = &shared_->headers;
    job->stepMs = options_.closeStepMs;
    job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool finished = false;
    if (job->done == nullptr) {
        job->error = runClose(*job);  // no event to wait on: close here, without a limit
        finished = true;
    } else {
        try {
            std::thread([job] {
                job->error = runClose(*job);
                SetEvent(job->done);
            }).detach();
            finished = WaitForSingleObject(job->done, options_.closeLimitMs) == WAIT_OBJECT_0;
        } catch (const std::system_error&) {
            job->error = runClose(*job);  // no worker: close here, without a limit
            finished = true;
        }
    }
    // Leaves the handle, the buffers and the callback's state to the driver (and the worker):
    // freeing them while either may still write into them would be worse than the leak.
    if (!finished || !job->error.empty()) {
        error = input + (finished ? job->error
                                  : std::string("the driver did not finish closing within ") +
                                        std::to_string(options_.closeLimitMs) + " ms (in " +
                                        job->step.load() + ")");
        handle_ = nullptr;
        shared_ = nullptr;
        return false;
    }
    // No callback follows a successful midiInClose: the shared state may go.
    CloseHandle(shared_->wake);
    delete shared_;
    shared_ = nullptr;
    handle_ = nullptr;
    return true;
}

}  // namespace mtchost
