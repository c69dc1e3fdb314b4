// The MIDI output that the transport engine drives. The engine decides what to send and
// when; the sink owns the device, the transfer of full frames and the rule that at most one
// full frame is in flight and at most one (the newest) is held behind it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velmarmtc {

// Every operation is called on the engine's thread. Failures are std::runtime_error whose
// what() is a user-facing message; the engine lets them pass unchanged.
class Sink {
  public:
    virtual ~Sink() = default;

    // Opens the output named by a device id. Afterwards connected() is true while present.
    virtual void open(const std::string& id) = 0;
    // Drops the held full frame and releases what a completed transfer still holds; never
    // aborts a transfer in flight.
    virtual void clearPending() = 0;
    // Sends at once when nothing is in flight; otherwise becomes the one held frame,
    // replacing an older held one.
    virtual void full(const std::array<uint8_t, 10>& message) = 0;
    // Sends F1 dd at once. Only called right after ready() returned true.
    virtual void quarter(uint8_t data) = 0;
    // True when nothing is in flight or held. When the transfer has completed and a frame is
    // held, starts sending it and returns false.
    virtual bool ready() = 0;
    // True while the opened device is present; false when closed. Never throws.
    virtual bool connected() = 0;
    // Stops output, drops the held frame, releases the device. Harmless when closed.
    virtual void close() = 0;

  protected:
    Sink() = default;
    Sink(const Sink&) = default;
    Sink& operator=(const Sink&) = default;
};

}  // namespace velmarmtc
