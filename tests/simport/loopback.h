// A wire shared between processes: every message that leaves an output of this DLL is
// published into a named shared-memory ring, and a looped input in another process (which has
// its own copy of the DLL) takes it from there. This is how a program that opens a looped
// input reads back what a second program sends on the output, as through a loopback cable.
//
// The ring has a fixed number of slots; a writer reserves the next slot with one interlocked
// increment, fills it and then publishes its sequence number, so several processes may write
// at once and a reader never sees a slot half written. A reader that falls a whole ring behind
// loses messages and is told how many.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace simport {

class SharedWire {
  public:
    struct Message {
        unsigned port = 0;  // declaration number of the output it left
        std::int64_t start = 0;
        std::int64_t end = 0;
        std::vector<unsigned char> bytes;
    };

    // The longest message the ring carries; a longer one is not published.
    static constexpr std::size_t kMaxBytes = 240;

    SharedWire() = default;
    ~SharedWire();
    SharedWire(const SharedWire&) = delete;
    SharedWire& operator=(const SharedWire&) = delete;

    // Opens (or creates) the ring named after `channel`; closes any ring open before. An empty
    // `channel` closes it. Any thread, under the caller's lock; allocates.
    bool open(const std::string& channel, std::string& error);
    bool isOpen() const { return ring_ != nullptr; }

    // Publishes one message that has left output `port`; false when it is too long for a slot.
    // Any thread; never blocks or allocates.
    bool publish(unsigned port, std::int64_t start, std::int64_t end,
                 const std::vector<unsigned char>& bytes);

    // Appends the messages other processes published since the last call, in order; `lost`
    // counts those overwritten before they were read. Allocates.
    void take(std::vector<Message>& out, std::uint64_t& lost);

  private:
    struct Ring;
    HANDLE mapping_ = nullptr;
    Ring* ring_ = nullptr;
    std::int64_t next_ = 0;  // sequence number of the next message to read
};

}  // namespace simport
