// A media-player stand-in for end-to-end tests: starts the real mtc-service.exe as a child
// process with pipes on its standard streams, as a host would, against the simulated MIDI port
// (the test-only winmm.dll beside it), writes command lines, reads reply lines with time limits
// and reads the simulated port's recording. The child process, the clocks, the player, the
// recording reader and the receiver come from the checking library (check/); this adds the
// simulated port's files and the transcripts.
//
// Every wait has a time limit. Times are seconds on the performance counter (hostNow), the same
// clock as the service's and, in microseconds, as the recording's.
#pragma once

#include <windows.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check/capture.h"
#include "check/recording.h"
#include "check/stats.h"
#include "check/timecode.h"
#include "check/win/clock.h"
#include "check/win/player.h"
#include "check/win/process.h"

namespace mtctest {

// The tests' names for the checking library's parts.
using mtccheck::decodeMtc;
using mtccheck::entriesOf;
using mtccheck::formatWithRate;
using mtccheck::frameSeconds;
using mtccheck::FullFrame;
using mtccheck::hostNow;
using mtccheck::isDroppedLabel;
using mtccheck::median;
using mtccheck::MtcCapture;
using mtccheck::OutputLine;
using mtccheck::parseRecording;
using mtccheck::percentile;
using mtccheck::QuarterCycle;
using mtccheck::RecordEntry;
using mtccheck::secondsOf;
using mtccheck::SentMessage;
using mtccheck::sleepUntil;
using mtccheck::Timecode;
using mtccheck::transportLine;
using mtccheck::unixMillisNow;

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
    bool started() const { return child_.started(); }

    // Writes raw bytes to the service's standard input with one WriteFile. False when the pipe
    // is broken (the service has gone) or input was closed.
    bool write(const std::string& bytes);
    // Writes `line` and a line feed. Returns the time right before the write.
    double send(const std::string& line);
    // Closes the host's end of standard input: the service sees end of input.
    void closeInput() { child_.closeInput(); }

    // The next line not yet returned, waiting at most `timeout` seconds.
    std::optional<OutputLine> readLine(double timeout) { return child_.readLine(timeout); }
    // Sends `line` and returns the next output line (at most `timeout` s). Meant for commands
    // with an "id" while nothing else is expected on the output.
    std::string request(const std::string& line, double timeout = 5.0);
    // Every line that arrives within `seconds` (returns early only at end of output).
    std::vector<OutputLine> readLinesFor(double seconds);
    // Everything written so far (lines not yet returned are returned too, not consumed).
    std::vector<OutputLine> allLines() { return child_.allLines(); }
    // Raw bytes of standard output and standard error so far.
    std::string rawOutput() { return child_.rawOutput(); }
    std::string standardError() { return child_.standardError(); }
    // True once the service's standard output has ended.
    bool outputEnded() { return child_.outputEnded(); }

    // Waits at most `timeout` seconds for the process to end; its exit code, or nothing. Once
    // it has ended, everything it wrote has been read (allLines, rawOutput).
    std::optional<DWORD> waitExit(double timeout) { return child_.waitExit(timeout); }
    // Process handle (for GetProcessTimes and the like).
    HANDLE process() const { return child_.process(); }
    // User plus kernel time the service has used, in seconds; negative when unknown.
    double cpuSeconds() const { return child_.cpuSeconds(); }

    // Appends one line to the simulated port's control file; the port applies it within about
    // a millisecond. Returns the time right before the write.
    double control(const std::string& line);
    // The simulated port's recording so far.
    std::string recording();
    // The folder holding this child's scenario, recording and control files.
    const std::wstring& folder() const { return folder_; }

  private:
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
    std::vector<std::wstring> arguments_;
    std::mutex sentMutex_;
    bool keepTranscript_ = false;  // MTC_TRANSCRIPT_DIR was set when the child started
    std::string sent_;             // every byte written to standard input, under sentMutex_
    mtccheck::ChildProcess child_;
};

// The checking library's player, reporting to one service.
class Player : public mtccheck::Player {
  public:
    explicit Player(ServiceHost& host)
        : mtccheck::Player([&host](const std::string& line) { host.send(line); }) {}
};

}  // namespace mtctest
