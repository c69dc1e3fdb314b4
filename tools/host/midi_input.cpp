#include "tools/host/midi_input.h"

#include <windows.h>
#include <mmsystem.h>
#include <bcrypt.h>

#include <algorithm>
#include <array>

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
            port.id = hashedId(kInputIdentityTag + path + "\n" + port.name + "\n" +
                               std::to_string(static_cast<unsigned>(caps.wMid)) + ":" +
                               std::to_string(static_cast<unsigned>(caps.wPid)) + ":" +
                               std::to_string(static_cast<unsigned long>(caps.vDriverVersion)));
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
struct MidiInput::Shared {
    struct Event {
        UINT msg = 0;
        DWORD_PTR p1 = 0;
        DWORD_PTR p2 = 0;
        std::int64_t at = 0;
    };

    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<Event> ring;  // fixed capacity
    std::size_t head = 0;
    std::size_t count = 0;
    std::uint64_t overruns = 0;
    // Buffers that came back while the queue was full: still owed a re-queue.
    std::vector<MIDIHDR*> orphans;  // capacity: the number of buffers
    HANDLE wake = nullptr;

    std::vector<MIDIHDR> headers;
    std::vector<std::vector<char>> data;
};

namespace {

// Runs on the driver's thread (or inside midiInReset/midiInClose on the host's): copies and
// signals, nothing else. Never allocates, never calls WinMM; the lock is held for a few
// stores only.
void CALLBACK onInput(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    if (msg == MIM_OPEN || msg == MIM_CLOSE) {
        return;
    }
    const std::int64_t at = mtccheck::nowMicros();
    auto* shared = reinterpret_cast<MidiInput::Shared*>(instance);
    AcquireSRWLockExclusive(&shared->lock);
    if (shared->count < shared->ring.size()) {
        MidiInput::Shared::Event& e =
            shared->ring[(shared->head + shared->count) % shared->ring.size()];
        e.msg = msg;
        e.p1 = p1;
        e.p2 = p2;
        e.at = at;
        ++shared->count;
    } else {
        ++shared->overruns;
        const bool buffer = (msg == MIM_LONGDATA || msg == MIM_LONGERROR) && p1 != 0;
        if (buffer && shared->orphans.size() < shared->orphans.capacity()) {
            shared->orphans.push_back(reinterpret_cast<MIDIHDR*>(p1));  // within capacity
        }
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
    MMRESULT r = winmm().getDevCaps(index, &caps, sizeof caps);
    if (r != MMSYSERR_NOERROR) {
        throw InputError("cannot read MIDI input " + std::to_string(index) + ": " + winmmText(r),
                         r);
    }
    name_ = productName(caps);

    auto shared = std::make_unique<Shared>();
    shared->ring.resize(options_.queueCapacity);
    shared->orphans.reserve(options_.buffers);
    shared->headers.resize(options_.buffers);
    shared->data.resize(options_.buffers, std::vector<char>(options_.bufferBytes));
    shared->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (shared->wake == nullptr) {
        throw InputError("cannot create the MIDI input's event", MMSYSERR_NOMEM);
    }
    HMIDIIN handle = nullptr;
    r = winmm().open(&handle, index, reinterpret_cast<DWORD_PTR>(&onInput),
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
    nextPresenceCheckUs_ = mtccheck::nowMicros() + options_.presenceEveryMs * 1000LL;
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
    if (r != MMSYSERR_NOERROR && !requeueFailed_) {
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

void MidiInput::poll(std::vector<InputMessage>& messages, std::vector<InputProblem>& problems) {
    if (shared_ == nullptr || handle_ == nullptr) {
        return;
    }
    std::vector<Shared::Event> events;
    std::vector<MIDIHDR*> orphans;
    std::uint64_t overruns = 0;
    AcquireSRWLockExclusive(&shared_->lock);
    events.reserve(shared_->count);
    for (std::size_t i = 0; i < shared_->count; ++i) {
        events.push_back(shared_->ring[(shared_->head + i) % shared_->ring.size()]);
    }
    shared_->head = (shared_->head + shared_->count) % shared_->ring.size();
    shared_->count = 0;
    orphans.swap(shared_->orphans);
    shared_->orphans.reserve(options_.buffers);
    overruns = shared_->overruns;
    ReleaseSRWLockExclusive(&shared_->lock);

    const std::string input = "input \"" + name_ + "\": ";
    for (const Shared::Event& e : events) {
        const auto driverMs = static_cast<std::uint32_t>(e.p2);
        switch (e.msg) {
            case MIM_DATA:
                messages.push_back({shortBytes(e.p1), e.at, driverMs});
                break;
            case MIM_ERROR: {
                const std::vector<std::uint8_t> bytes = shortBytes(e.p1);
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
            default:
                break;
        }
    }
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
        UINT index = 0;
        const MMRESULT r = winmm().getId(static_cast<HMIDIIN>(handle_), &index);
        if (r != MMSYSERR_NOERROR) {
            vanished_ = true;
            problems.push_back({now, input + "the input disappeared: " + winmmText(r)});
        }
    }
}

bool MidiInput::close(std::string& error) {
    if (handle_ == nullptr) {
        return true;
    }
    const auto handle = static_cast<HMIDIIN>(handle_);
    const std::string input = "MIDI input \"" + name_ + "\": ";
    auto withinLimit = [&](auto done) {
        const std::int64_t deadline = mtccheck::nowMicros() + options_.closeStepMs * 1000LL;
        while (!done()) {
            if (mtccheck::nowMicros() > deadline) {
                return false;
            }
            Sleep(1);
        }
        return true;
    };
    // Leaves the handle, the buffers and the callback's state to the driver: freeing them
    // while it may still write into them would be worse than the leak.
    auto abandon = [&](const std::string& what) {
        error = input + what;
        handle_ = nullptr;
        shared_ = nullptr;
        return false;
    };

    MMRESULT r = winmm().reset(handle);
    if (r != MMSYSERR_NOERROR) {
        return abandon("midiInReset failed: " + winmmText(r));
    }
    auto allDone = [&] {
        for (const MIDIHDR& h : shared_->headers) {
            const DWORD flags = flagsOf(&h);
            if ((flags & MHDR_PREPARED) != 0 && (flags & MHDR_INQUEUE) != 0) {
                return false;
            }
        }
        return true;
    };
    if (!withinLimit(allDone)) {
        return abandon("the driver did not hand its buffers back within " +
                       std::to_string(options_.closeStepMs) + " ms of midiInReset");
    }
    for (MIDIHDR& h : shared_->headers) {
        if ((flagsOf(&h) & MHDR_PREPARED) == 0) {
            continue;
        }
        if (!withinLimit([&] {
                r = winmm().unprepare(handle, &h, sizeof h);
                return r != MIDIERR_STILLPLAYING;
            }) ||
            r != MMSYSERR_NOERROR) {
            return abandon("a buffer could not be released: " + winmmText(r));
        }
    }
    if (!withinLimit([&] {
            r = winmm().close(handle);
            return r != MIDIERR_STILLPLAYING;
        }) ||
        r != MMSYSERR_NOERROR) {
        return abandon("midiInClose failed: " + winmmText(r));
    }
    // No callback follows a successful midiInClose: the shared state may go.
    CloseHandle(shared_->wake);
    delete shared_;
    shared_ = nullptr;
    handle_ = nullptr;
    return true;
}

}  // namespace mtchost
