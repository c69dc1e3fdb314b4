// Reads the simulated MIDI port's recording: which port the service opened and every message
// that left that port's wire, with the microseconds at which it started and finished; and, for
// checks that look at the calls themselves, every line as an event with its fields.
//
// The recording grows while the service runs; `RecordingReader` takes it in arbitrary chunks
// (as a follower reads a file that is still being written) and only ever parses whole lines.
// Owned by one thread; allocates; never blocks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mtccheck {

// One message as it left a port: all of its bytes, or the part that left before a reset cut
// it (`cut` set; `end` is then when the last of those bytes left).
struct WireMessage {
    int port = -1;
    uint64_t seq = 0;
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::vector<uint8_t> bytes;
    bool cut = false;
    int64_t callUs = -1;     // when the service handed it to the driver; -1: not known
    bool afterOpen = false;  // the first message of its port since the port was opened
};

// Microseconds on the wire's clock, in seconds.
double usToSeconds(int64_t us);
// When the service handed `m` over, in seconds: the driver call where the recording knows it,
// else when the message began to leave. Every rule about the service's timing reads this.
double handedAtSeconds(const WireMessage& m);

class RecordingReader {
  public:
    // Takes the next chunk of the recording. Complete lines are parsed at once; the rest waits
    // for the next chunk.
    void feed(const char* data, size_t size);

    // Messages parsed so far (all ports), in the order the recording lists them; the caller
    // takes them out with `take` to keep memory flat over a long show.
    std::vector<WireMessage> take();

    // Each message comes with its call's time (when the call's line came first, as the
    // simulated port writes them) and whether it is the first since its port was opened.

    // The port of the most recent successful midiOutOpen, or -1 if none yet.
    int openedPort() const { return openedPort_; }
    // The recording's own complaints ("error" lines: a scenario or control line it refused).
    const std::vector<std::string>& errors() const { return errors_; }
    // Lines that looked like wire or drop records but could not be read.
    uint64_t unreadable() const { return unreadable_; }
    bool sawHeader() const { return sawHeader_; }

  private:
    void line(const std::string& text);

    void call(const std::vector<std::string>& words);
    void opened(const std::vector<std::string>& words);

    std::string partial_;
    std::vector<WireMessage> messages_;
    std::map<uint64_t, int64_t> callUs_;  // successful send calls whose message is still due
    std::map<int, bool> fresh_;           // ports opened since their last message
    std::vector<std::string> errors_;
    int openedPort_ = -1;
    uint64_t unreadable_ = 0;
    bool sawHeader_ = false;
};

// Parses one "wire" or "drop" line; false for any other line or a malformed one. Exposed for
// the tests, which feed it literal lines.
bool parseWireLine(const std::string& text, WireMessage& out);

// Bytes written as hexadecimal digits, two a byte ("F17F"); false for an odd count or a
// character that is not a hexadecimal digit.
bool parseHex(const std::string& text, std::vector<uint8_t>& out);
// The other way: two uppercase hexadecimal digits a byte, `separator` between bytes.
std::string formatHex(const uint8_t* bytes, size_t count, const char* separator = "");

// One line of the recording, whatever its event: "<micros> <event> <fields...>". Call lines
// keep their arguments and outputs as fields, with "result" for the value after "->".
struct RecordEntry {
    double at = 0;  // seconds, on the performance counter like the checks' hostNow()
    std::string event;
    std::map<std::string, std::string> fields;
    std::string raw;

    bool has(const char* key) const { return fields.count(key) != 0; }
    std::string field(const char* key) const;
    long long number(const char* key) const;  // decimal or 0x hex; -1 when absent
};

// Every whole line of a recording (a last line without its line feed is still being written).
std::vector<RecordEntry> parseRecording(const std::string& text);
// Entries of one event kind, in order.
std::vector<RecordEntry> entriesOf(const std::vector<RecordEntry>& entries, const char* event);

}  // namespace mtccheck
