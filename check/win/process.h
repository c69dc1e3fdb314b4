// A program under test as a child process, spoken to as a media player speaks to the service:
// its standard input and output are pipes to us, its standard error a pipe or the null device.
//
// Threads: the owner starts, writes and stops it; one reader thread per captured stream takes
// the child's bytes as they come. The reading methods may be called from any thread, and
// writes are serialised so lines from two threads never interleave. Every wait is bounded.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mtccheck {

// One line the child wrote, without its line feed (a carriage return before it is kept), and
// when the reader took it (seconds on hostNow()).
struct OutputLine {
    std::string text;
    double at = 0;
};

struct ChildOptions {
    std::wstring program;    // full path of the executable
    std::wstring arguments;  // the command line after the quoted program name, as written
    // An environment block as CreateProcessW takes it (see environmentWith); empty: ours.
    std::wstring environment;
    std::wstring folder;        // working folder; empty: ours
    bool captureError = false;  // standard error into a pipe; false: the null device
    bool readOutput = true;     // false: our end of its standard output is gone before it starts
    // Text after the last line feed counts as a line once the output ends.
    bool unterminatedLastLine = false;
    // Shares our console (so a console's Ctrl+C reaches it too), as a program a person started
    // from ours would; false: it runs without one, as under a test.
    bool shareConsole = false;
};

// Our own environment with `set` overriding (or adding) variables, sorted by name as Windows
// expects: so WINEDLLOVERRIDES and the Wine prefix reach the child along with its own settings.
std::wstring environmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& set);

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Closes its input, waits up to 5 s for it to exit, ends it otherwise, and joins the
    // readers.
    ~ChildProcess();

    // False with `error` set when it cannot be started. Children are created one at a time, so
    // no child inherits another's pipe ends, and each starts running only once our copies of
    // its own ends are closed.
    bool start(const ChildOptions& options, std::string& error);
    bool started() const { return process_ != nullptr; }

    // Raw bytes to its standard input with one WriteFile; `written` gets how many reached the
    // pipe. False when the pipe is broken (it has gone) or input was closed.
    bool write(const std::string& bytes, size_t* written = nullptr);
    // Closes our end of its standard input: it sees end of input.
    void closeInput();

    // The next line not yet returned, waiting at most `timeout` seconds; nothing when none came
    // in time or its output ended.
    std::optional<OutputLine> readLine(double timeout);
    // Everything written so far (lines not yet returned are returned too, not consumed).
    std::vector<OutputLine> allLines();
    // Raw bytes of standard output and standard error so far.
    std::string rawOutput();
    std::string standardError();
    // True once its standard output has ended and every line has been returned.
    bool outputEnded();

    // Waits at most `timeout` seconds for it to end; its exit code, or nothing. Once it has
    // ended, everything it wrote has been read (waits at most 5 s more for that).
    std::optional<DWORD> waitExit(double timeout);
    // Closes its input, waits at most `timeoutMs` for it to exit, and ends it when it does not.
    // The exit code, or -1 when it had to be ended or never started.
    long finish(unsigned timeoutMs);
    // User plus kernel time it has used, in seconds; negative when unknown.
    double cpuSeconds() const;
    HANDLE process() const { return process_; }

  private:
    // The child's ends of its standard handles, inherited by it and closed here once it runs.
    struct ChildEnds {
        HANDLE input = nullptr;
        HANDLE output = nullptr;
        HANDLE error = nullptr;
        void close();  // closes those that are open
    };
    // The pipes (ours not inheritable) and, without captureError, the null device for its
    // standard error. Called under the creation lock.
    bool createPipes(const ChildOptions& options, ChildEnds& ends, std::string& error);
    // Creates the process suspended with `ends`, closes them, and lets it run.
    bool launch(const ChildOptions& options, ChildEnds& ends, std::string& error);
    // Closes our ends of the pipes (after a failed start).
    void closeOurEnds();
    // Takes one pipe's bytes until it ends: standard output (`output`) into lines, standard
    // error as it comes.
    void readPipe(HANDLE pipe, bool output);

    bool unterminatedLastLine_ = false;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    HANDLE error_ = nullptr;
    std::mutex writeMutex_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<OutputLine> lines_;
    size_t next_ = 0;
    std::string partial_;
    std::string raw_;
    std::string errorBytes_;
    bool outputEnded_ = true;
    bool errorEnded_ = true;
    std::thread outputThread_;
    std::thread errorThread_;
};

}  // namespace mtccheck
