// Reads the simulated MIDI port's recording: which port the service opened and every message
// that left that port's wire, with the microseconds at which it started and finished.
//
// The recording grows while the service runs; `RecordingReader` takes it in arbitrary chunks
// (as a follower reads a file that is still being written) and only ever parses whole lines.
// Owned by one thread; allocates; never blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mtchost {

// One message as it left a port: all of its bytes, or the part that left before a reset cut
// it (`cut` set; `end` is then when the last of those bytes left).
struct WireMessage {
    int port = -1;
    uint64_t seq = 0;
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::vector<uint8_t> bytes;
    bool cut = false;
};

class RecordingReader {
  public:
    // Takes the next chunk of the recording. Complete lines are parsed at once; the rest waits
    // for the next chunk.
    void feed(const char* data, size_t size);

    // Messages parsed so far (all ports), in the order the recording lists them; the caller
    // takes them out with `take` to keep memory flat over a long show.
    std::vector<WireMessage> take();

    // The port of the most recent successful midiOutOpen, or -1 if none yet.
    int openedPort() const { return openedPort_; }
    // The recording's own complaints ("error" lines: a scenario or control line it refused).
    const std::vector<std::string>& errors() const { return errors_; }
    // Lines that looked like wire or drop records but could not be read.
    uint64_t unreadable() const { return unreadable_; }
    bool sawHeader() const { return sawHeader_; }

  private:
    void line(const std::string& text);

    std::string partial_;
    std::vector<WireMessage> messages_;
    std::vector<std::string> errors_;
    int openedPort_ = -1;
    uint64_t unreadable_ = 0;
    bool sawHeader_ = false;
};

// Parses one "wire" or "drop" line; false for any other line or a malformed one. Exposed for
// the tests, which feed it literal lines.
bool parseWireLine(const std::string& text, WireMessage& out);

}  // namespace mtchost
