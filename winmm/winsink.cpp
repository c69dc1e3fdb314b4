#include "winmm/winsink.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/clock.h"
#include "winmm/devices.h"

namespace mtcservice {

namespace {

// A full frame is 10 bytes; nothing longer is ever sent, so the buffer inside the sink is that
// long and no long message needs an allocation.
constexpr size_t kMaxLongMessage = 10;

// Status byte of the MIDI time code quarter-frame message.
constexpr DWORD kQuarterFrameStatus = 0xF1;
// End of exclusive: terminates a System Exclusive message that a reset cut off, so the
// receiver does not stay inside it.
constexpr uint8_t kEndOfExclusive = 0xF7;

// A 10-byte long message takes about 3.2 ms on a 31250-baud wire; one still not done after
// this long will not finish by itself.
constexpr double kLocateTimeout = 0.1;
// close(): time the message in flight may take to finish by itself, then the time the driver
// gets to return it after a reset, then the time it gets for the end-of-exclusive byte.
constexpr double kCloseGrace = 0.012;
constexpr double kResetLimit = 0.1;
constexpr double kEndOfExclusiveLimit = 0.05;

const char* const kNoEvent = u8"无法创建 MTC 输出事件。";
const char* const kNotListed = u8"所选 MIDI 输出已断开，请刷新并重新选择 USB MIDI 接口。";
const char* const kOpenFailed = u8"无法打开 MIDI 输出端口，请关闭占用该接口的其他软件";
const char* const kDetached = u8"MTC 输出设备已断开，时间码输出已关闭。";
const char* const kBusy = u8"MTC 输出缓冲区仍忙，输出已关闭。";
const char* const kBadLength = u8"MTC 定位消息无效，输出已关闭。";
const char* const kPrepareFailed = u8"无法准备 MTC 定位消息";
const char* const kSendFailed = u8"MTC 定位发送失败";
const char* const kShortFailed = u8"MTC 发送失败";
const char* const kTimedOut = u8"MTC 定位发送超时，输出已关闭。请检查 USB MIDI 接口。";
const char* const kUnprepareFailed = u8"MTC 输出缓冲区未能释放";

// The one line the process writes when the driver will not stop: a constant, so it can be
// written without the service's writer and without allocating. 112 bytes with the line feed.
const char kFatalLine[] =
    u8"{\"event\":\"error\",\"error\":\"MTC 驱动未能停止，输出服务已关闭。请重新连接 USB MIDI "
    u8"接口。\"}\n";

}  // namespace

WinSink::WinSink() {
    // Auto-reset: each completion wakes one waitDone() turn. Unnamed, so no other process can
    // signal it.
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

WinSink::~WinSink() {
    // A destructor cannot report a failure, and a port left half-closed would hold the
    // device for every other program: stop the process instead.
    try {
        close();
    } catch (...) {
        fatalCleanup();
    }
    if (event != nullptr) {
        CloseHandle(event);
    }
}

static_assert(offsetof(MIDIHDR, dwFlags) % 4 == 0, "dwFlags must be 4-byte aligned");

bool WinSink::headerDone() {
    // The driver sets MHDR_DONE from its own thread; a compare-exchange of 0 against 0 is an
    // atomic read that never changes a non-zero value.
    const LONG flags =
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&header.dwFlags), 0, 0);
    return (static_cast<DWORD>(flags) & MHDR_DONE) != 0;
}

void WinSink::releaseHeader() {
    if (!prepared) {
        return;
    }
    // On failure WinMM still holds the header: keep the state as it is so that close() sees
    // it.
    check(midiOutUnprepareHeader(handle, &header, sizeof header), kUnprepareFailed);
    prepared = false;
    sent = false;
    header = MIDIHDR{};
}

void WinSink::waitDone(double limit) {
    // The event is only a wake-up: it may already be signalled by an earlier completion or by
    // the open notice, so the done bit and the deadline decide.
    const double deadline = nowSeconds() + limit;
    while (sent && !headerDone() && nowSeconds() < deadline) {
        WaitForSingleObject(event, 1);
    }
}

void WinSink::open(const std::string& deviceId) {
    if (event == nullptr) {
        throw std::runtime_error(kNoEvent);
    }
    // The engine always closes first; closing here as well keeps a second open from leaking
    // the first handle and its header.
    close();

    const std::vector<Device> list = devices();
    const Device* found = nullptr;
    for (const Device& device : list) {
        if (device.id == deviceId) {
            found = &device;
            break;
        }
    }
    if (found == nullptr) {
        throw std::runtime_error(kNotListed);
    }

    HMIDIOUT opened = nullptr;
    check(midiOutOpen(&opened, found->index, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
          kOpenFailed);
    handle = opened;
    id = deviceId;

    // The device list may have changed between the enumeration and the open, so that the
    // index now names another port: check the identity again through the handle.
    if (!connected()) {
        close();
        throw std::runtime_error(kDetached);
    }
}

void WinSink::submit(const uint8_t* bytes, size_t length) {
    if (prepared) {
        throw std::runtime_error(kBusy);
    }
    // WinMM reads the whole buffer length; anything longer than the buffer would overrun it.
    if (length == 0 || length > kMaxLongMessage) {
        throw std::runtime_error(kBadLength);
    }
    std::memcpy(buffer.data(), bytes, length);
    header = MIDIHDR{};
    header.lpData = reinterpret_cast<LPSTR>(buffer.data());
    header.dwBufferLength = static_cast<DWORD>(length);
    check(midiOutPrepareHeader(handle, &header, sizeof header), kPrepareFailed);
    prepared = true;
    sentAt = nowSeconds();
    const MMRESULT result = midiOutLongMsg(handle, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) {
        // Release first so that the message names the send's code, not the unprepare's.
        releaseHeader();
        check(result, kSendFailed);
    }
    sent = true;
}

void WinSink::full(const std::array<uint8_t, 10>& message) {
    if (prepared) {
        // Only the newest locate matters once the one in flight is through.
        pending = message;
        return;
    }
    submit(message.data(), message.size());
}

void WinSink::quarter(uint8_t data) {
    // Short message packing: status in the low byte, first data byte above it.
    const DWORD message = kQuarterFrameStatus | (static_cast<DWORD>(data) << 8);
    check(midiOutShortMsg(handle, message), kShortFailed);
}

void WinSink::clearPending() {
    pending.reset();
    if (!prepared) {
        return;
    }
    // Aborting a long message would cut the System Exclusive short on the wire; ready()
    // finishes it instead.
    if (sent && !headerDone()) {
        return;
    }
    releaseHeader();
}

bool WinSink::ready() {
    if (prepared) {
        if (sent && !headerDone()) {
            if (nowSeconds() - sentAt > kLocateTimeout) {
                // The header stays prepared; close() deals with it.
                throw std::runtime_error(kTimedOut);
            }
            return false;
        }
        releaseHeader();
    }
    if (pending) {
        const std::array<uint8_t, 10> message = *pending;
        pending.reset();
        submit(message.data(), message.size());
        return false;
    }
    return true;
}

bool WinSink::connected() {
    if (handle == nullptr) {
        return false;
    }
    // The index the handle belongs to now: fails once WinMM has dropped the device.
    UINT index = 0;
    if (midiOutGetID(handle, &index) != MMSYSERR_NOERROR) {
        return false;
    }
    try {
        return deviceAt(index).id == id;
    } catch (...) {
        // The port at that index can no longer be identified: it is gone.
        return false;
    }
}

void WinSink::close() {
    if (handle == nullptr) {
        return;
    }
    pending.reset();
    if (prepared) {
        if (sent && !headerDone()) {
            waitDone(kCloseGrace);
        }
        if (sent && !headerDone()) {
            // The driver has stopped sending the message. A reset returns it; the cut-off
            // System Exclusive is then ended with its terminator. A driver that will not do
            // even this cannot be stopped, and the port cannot be released safely while it
            // still holds the header.
            if (midiOutReset(handle) != MMSYSERR_NOERROR) {
                fatalCleanup();
            }
            waitDone(kResetLimit);
            if (!headerDone()) {
                fatalCleanup();
            }
            releaseHeader();
            submit(&kEndOfExclusive, 1);
            waitDone(kEndOfExclusiveLimit);
            if (!headerDone()) {
                fatalCleanup();
            }
        }
        releaseHeader();
    }
    if (midiOutClose(handle) != MMSYSERR_NOERROR) {
        fatalCleanup();
    }
    handle = nullptr;
    id.clear();
}

void WinSink::fatalCleanup() {
    // One write of the whole line, so a host never sees half of it; nothing is flushed or
    // released, because the state that would be released is what could not be stopped.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kFatalLine, sizeof kFatalLine - 1, &written,
              nullptr);
    ExitProcess(2);
}

}  // namespace mtcservice
