// A media-player stand-in for end-to-end tests: starts the real mtc-service.exe as a child
// process with pipes on its standard streams, as a host would, against the simulated MIDI port
// (the test-only winmm.dll beside it), writes command lines, reads reply lines with time limits
// and reads the simulated port's recording.
//
// Every wait has a time limit. Times are seconds on the performance counter (hostNow), the same
// clock as the service's and, in microseconds, as the recording's.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mtctest {

// Seconds on the performance counter. Any thread.
double hostNow();
// Wall-clock time as Unix milliseconds with fraction, as a host stamps its reports. Any thread.
double unixMsNow();
// Sleeps until hostNow() reaches `t` (returns at once when it has passed).
void sleepUntil(double t);

// The value at fraction `p` of the sorted values (0 the least, 1 the greatest, rounding down);
// NaN for none.
double percentile(std::vector<double> values, double p);
// The middle value (the upper one of an even count); NaN for none.
double median(std::vector<double> values);

// One line the service wrote, without its line feed, and when the harness read it.
struct OutputLine {
    std::string text;
    double at = 0;
};

struct ServiceOptions {
    // Simulated port configuration (README of the simulated port); empty: no ports at all.
    std::string scenario;
    // Command-line arguments after the program name; none is the service mode.
    std::vector<std::wstring> arguments;
    // false: the harness closes its end of the service's standard output at once, like a host
    // that has stopped listening.
    bool readOutput = true;
};

// One running mtc-service.exe. Not copyable. The methods may be called from any thread; writes
// are serialised so lines from two threads never interleave.
class ServiceHost {
  public:
    explicit ServiceHost(const ServiceOptions& options = ServiceOptions());
    // Closes standard input, waits up to 5 s for the exit, terminates the child if it is still
    // running, and removes the temporary folder. With MTC_TRANSCRIPT_DIR set, first leaves this
    // child's transcript there (see writeTranscript).
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // True when the child was started.
    bool started() const { return process_ != nullptr; }

    // Writes raw bytes to the service's standard input with one WriteFile. False when the pipe
    // is broken (the service has gone) or input was closed.
    bool write(const std::string& bytes);
    // Writes `line` and a line feed. Returns the time right before the write.
    double send(const std::string& line);
    // Closes the host's end of standard input: the service sees end of input.
    void closeInput();

    // The next line not yet returned, waiting at most `timeout` seconds.
    std::optional<OutputLine> readLine(double timeout);
    // Sends `line` and returns the next output line (at most `timeout` s). Meant for commands
    // with an "id" while nothing else is expected on the output.
    std::string request(const std::string& line, double timeout = 5.0);
    // Every line that arrives within `seconds` (returns early only at end of output).
    std::vector<OutputLine> readLinesFor(double seconds);
    // Everything written so far (lines not yet returned are returned too, not consumed).
    std::vector<OutputLine> allLines();
    // Raw bytes of standard output and standard error so far.
    std::string rawOutput();
    std::string standardError();
    // True once the service's standard output has ended.
    bool outputEnded();

    // Waits at most `timeout` seconds for the process to end; its exit code, or nothing. Once
    // it has ended, everything it wrote has been read (allLines, rawOutput).
    std::optional<DWORD> waitExit(double timeout);
    // Process handle (for GetProcessTimes and the like).
    HANDLE process() const { return process_; }

    // Appends one line to the simulated port's control file; the port applies it within about
    // a millisecond. Returns the time right before the write.
    double control(const std::string& line);
    // The simulated port's recording so far.
    std::string recording();
    // The folder holding this child's scenario, recording and control files.
    const std::wstring& folder() const { return folder_; }

  private:
    void readStdout();
    void readStderr();
    // When MTC_TRANSCRIPT_DIR names a folder, writes three files there named after this harness
    // process and child: "<name>.args" (the arguments, one per line, UTF-8), "<name>.in" (every
    // byte written to the child's standard input) and "<name>.out" (every byte it wrote to
    // standard output). The protocol checks validate them after the tests. Runs once, in the
    // destructor after the child has ended, so it never touches a test's timing.
    void writeTranscript();

    std::wstring folder_;
    std::wstring scenarioPath_;
    std::wstring logPath_;
    std::wstring controlPath_;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    HANDLE error_ = nullptr;
    std::vector<std::wstring> arguments_;
    std::mutex writeMutex_;
    bool keepTranscript_ = false;  // MTC_TRANSCRIPT_DIR was set when the child started
    std::string sent_;             // every byte written to standard input, under writeMutex_
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<OutputLine> lines_;
    size_t next_ = 0;
    std::string partial_;
    std::string raw_;
    std::string errorBytes_;
    bool outputEnded_ = false;
    bool errorEnded_ = false;
    std::thread outputThread_;
    std::thread errorThread_;
};

// ---------------------------------------------------------------------------------------------
// The simulated port's recording.

// One recorded event: "<micros> <event> <fields...>". Call lines keep their arguments and
// outputs as fields, with "result" for the value after "->".
struct RecordEntry {
    double at = 0;  // seconds, comparable with hostNow()
    std::string event;
    std::map<std::string, std::string> fields;
    std::string raw;

    bool has(const char* key) const { return fields.count(key) != 0; }
    std::string field(const char* key) const;
    long long number(const char* key) const;  // decimal or 0x hex; -1 when absent
};

std::vector<RecordEntry> parseRecording(const std::string& text);
// Entries of one event kind, in order.
std::vector<RecordEntry> entriesOf(const std::vector<RecordEntry>& entries, const char* event);
std::vector<uint8_t> hexBytes(const std::string& hex);

// ---------------------------------------------------------------------------------------------
// An MTC receiver, written from the MIDI standard's layout and independent of the service's
// encoder: full frames locate, quarter frames assemble into a timecode at piece 7.

struct Timecode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
    int rate = 0;  // 0 = 24, 1 = 25, 2 = 29.97 drop-frame, 3 = 30
};

// Seconds from midnight that a label stands for (drop-frame labels counted on the 30000/1001
// clock). Labels that drop-frame skips are not rejected here; see isDroppedLabel.
double labelSeconds(const Timecode& tc);
// True for the labels ;00 and ;01 of minutes that are not multiples of ten at 29.97.
bool isDroppedLabel(const Timecode& tc);
double frameSeconds(int rate);
// Seconds between two quarter frames at a rate code.
double quarterSeconds(int rate);
std::string format(const Timecode& tc);

struct WireMessage {
    double callAt = 0;  // when the service handed it to WinMM
    double wireStart = 0;
    double wireEnd = 0;
    long long seq = 0;
    std::vector<uint8_t> bytes;
};

struct FullFrame {
    WireMessage message;
    Timecode tc;
    // Sent by the service on its own because it woke more than a quarter interval after the
    // quarter frame before (a stalled or overloaded machine): it relocates rather than send a
    // burst of late quarter frames. Recognised from the wire alone: the message before it is a
    // quarter frame of the same port session handed over more than one interval (at this
    // frame's rate) earlier. A locate the host asked for while the service was stalled looks
    // the same, so tests that ask for locates tell them apart by time (the first full frame
    // after a request answers it).
    bool lateTick = false;
};

struct QuarterCycle {
    double firstCallAt = 0;  // call time of piece 0
    double firstWireAt = 0;
    Timecode tc;
};

struct MtcCapture {
    std::vector<WireMessage> messages;  // everything that left the wire, in wire order
    std::vector<FullFrame> fullFrames;
    std::vector<WireMessage> quarters;
    std::vector<QuarterCycle> cycles;
    // Pieces out of sequence: a quarter frame that is not the successor of the one before, or a
    // first piece after a full frame that is not piece 0.
    std::vector<std::string> breaks;
    // Anything on the wire that is neither a quarter frame nor a well-formed full frame.
    std::vector<std::string> strays;

    // The full frames that answer the host (every one but the late-tick relocations).
    std::vector<FullFrame> requested() const;
    size_t lateTicks() const;
};

MtcCapture decodeMtc(const std::vector<RecordEntry>& entries, int port = 0);

// ---------------------------------------------------------------------------------------------
// A player that reports its clock like the host does: "transport" lines every `period` seconds
// from a background thread, and at once on every change. Keeps its history so tests can tell
// where the player was at any moment.

class Player {
  public:
    explicit Player(ServiceHost& host);
    ~Player();  // stops the reports

    // Each change sends one report at once (with "locate" when asked) and moves the clock.
    void play(const std::string& track, double position, bool locate = false);
    void pause(bool locate);
    void resume();
    void seek(double position, bool locate = false);
    // The player's clock jumps by `seconds` without a locate request (a drift or a correction).
    void shift(double seconds);
    // A report sent at once with the player's state and `locate`.
    void report(bool locate = false);

    // Reports in the background every `period` seconds until stopReports.
    void startReports(double period = 0.02);
    void stopReports();
    // Time of the last report that was written.
    double lastReportAt();

    // Player position at host time `t` (seconds within the track), and the time of the last
    // state change at or before `t`.
    double positionAt(double t);
    double changedBefore(double t);
    bool playingAt(double t);

  private:
    struct Segment {
        double from;
        std::string track;
        double position;  // at `from`
        bool playing;
    };
    Segment current(double t);
    void sendLocked(double t, bool locate);

    ServiceHost& host_;
    std::mutex mutex_;
    std::vector<Segment> history_;
    double lastReportAt_ = 0;
    bool reporting_ = false;
    std::condition_variable wake_;
    std::thread thread_;
};

// A "transport" line.
std::string transportLine(const std::optional<std::string>& track, double position, bool playing,
                          double sentAtUnixMs, bool locate = false);

}  // namespace mtctest
