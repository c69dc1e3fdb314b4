// The MIDI output of the service: one Windows MIDI output port driven through winmm.
//
// Quarter frames go out as short messages. Full frames (locates) go out as long messages
// through the one header and 10-byte buffer that live inside the sink; at most one long
// message is outstanding, and a full frame that arrives meanwhile waits in a one-slot mailbox
// where a newer one replaces an older one. Completion is polled from the header's done flag,
// never waited for, so the quarter-frame path neither blocks nor allocates. Closing is bounded
// in time; a driver that will not let go of the port ends the process with one fixed line.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/sink.h"

namespace mtcservice {

// Every member runs on the service's main thread (the thread that runs the engine). The
// driver touches the sink from its own threads in exactly two ways: it sets the done flag in
// `header` and it signals `event`. No lock is taken.
class WinSink final : public velmarmtc::Sink {
  public:
    // Creates the completion event. Cannot fail: a missing event is reported by open().
    WinSink();
    // Closes the port; a close that fails ends the process through fatalCleanup(). May block
    // for the bounded time close() takes.
    ~WinSink() override;

    // While a header is prepared WinMM holds the addresses of `header` and `buffer`, so the
    // sink must stay where it is.
    WinSink(const WinSink&) = delete;
    WinSink& operator=(const WinSink&) = delete;
    WinSink(WinSink&&) = delete;
    WinSink& operator=(WinSink&&) = delete;

    // Opens the port whose stable id is `deviceId` and checks its identity again through the new
    // handle. Enumerates every port and hashes identities: allocates, may block on the driver.
    void open(const std::string& deviceId) override;
    // Drops the waiting full frame and releases a completed header; never aborts the long
    // message in flight. Never waits, never allocates (except to throw).
    void clearPending() override;
    // Sends a full frame now, or keeps it as the waiting frame while one is in flight.
    // Never waits, never allocates (except to throw).
    void full(const std::array<uint8_t, 10>& message) override;
    // Sends the quarter-frame short message F1 dd. Never waits, never allocates (except to
    // throw).
    void quarter(uint8_t data) override;
    // True when no long message is in flight and none is waiting; sends the waiting frame
    // once the one in flight is done. Throws once a long message is more than 0.1 s overdue.
    // Never waits, never allocates (except to throw).
    bool ready() override;
    // True while the open handle still names the port with the stored id. Derives the
    // identity afresh: allocates, may block on the driver. Never throws.
    bool connected() override;
    // Stops output and releases the port, waiting at most 12 ms + 100 ms + 50 ms for the
    // driver; ends the process with the fixed error line when the driver does not stop.
    // Harmless when closed.
    void close() override;

    // Hands `length` bytes (1 to 10) to the driver as one long message through the sink's
    // own header and buffer. Throws when a header is still prepared. Never waits, never
    // allocates (except to throw).
    void submit(const uint8_t* bytes, size_t length);

    // Last-resort stop for a driver that cannot be stopped: writes the fixed error line to
    // standard output with one write and ends the process with exit code 2, releasing
    // nothing. Any thread; does not return.
    [[noreturn]] static void fatalCleanup();

  private:
    // True once the driver has marked the long message done. Never waits or allocates.
    bool headerDone();
    // Hands the header back from WinMM and zeroes it; throws (state unchanged) when the
    // driver still holds it. Never waits; allocates only to throw.
    void releaseHeader();
    // Waits, in 1 ms event waits, until the long message is done or `limit` seconds pass.
    // Only close() blocks this way.
    void waitDone(double limit);

    HMIDIOUT handle = nullptr;
    HANDLE event = nullptr;
    // mmsystem.h packs MIDIHDR to single bytes; the alignment keeps dwFlags on a 4-byte
    // boundary, as the interlocked read of it requires.
    alignas(8) MIDIHDR header{};
    std::array<uint8_t, 10> buffer{};
    bool prepared = false;
    bool sent = false;
    double sentAt = 0.0;
    std::string id;
    std::optional<std::array<uint8_t, 10>> pending;
};

}  // namespace mtcservice
