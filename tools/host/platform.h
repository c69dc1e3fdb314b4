// The host's contact with Windows: the service as a child process on two pipes, the console,
// a recording file that another process is still writing, and the clocks.
//
// Threads: everything here is called from the host's main thread, except that ServiceChild
// runs one reader thread of its own on the child's standard output.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace mtchost {

// Microseconds of the performance counter: the clock of the MIDI recording too, so host
// writes and wire times compare directly. Any thread; never blocks or allocates.
int64_t nowMicros();

// Wall-clock time as Unix milliseconds with the finest resolution the system offers
// (GetSystemTimePreciseAsFileTime where it exists). Any thread; never blocks or allocates.
double unixMillisNow();

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// Standard output, aware of whether a person is watching. On a console the status line is
// redrawn in place with "\r"; anything else (a pipe, a file) gets plain lines. Never writes to
// standard error; a failed write is ignored (there is nowhere else to say it). Main thread;
// allocates; may block while the reader of a pipe is slow.
class Console {
  public:
    Console();
    bool terminal() const { return terminal_; }
    // One line of output; on a console the status line is cleared first and redrawn after.
    void line(const std::string& text);
    // The status line: redrawn in place on a console, printed as a line otherwise.
    void status(const std::string& text);
    // Leaves the status line where it is and moves on (console only).
    void endStatus();

  private:
    void write(const std::string& bytes);

    HANDLE out_ = nullptr;
    bool terminal_ = false;
    std::string status_;
};

// mtc-service as a child process: its standard input and output are pipes to the host, its
// standard error the null device (it never writes there anyway). The tests run mtc-host itself
// this way.
class ServiceChild {
  public:
    ServiceChild() = default;
    ServiceChild(const ServiceChild&) = delete;
    ServiceChild& operator=(const ServiceChild&) = delete;
    // Ends the child if it still runs (after closing its input and waiting 2 s) and joins the
    // reader thread.
    ~ServiceChild();

    // Starts `exe` with `arguments` (already quoted as the command line needs them; the
    // service takes none). False with `error` set when it cannot be started.
    bool start(const std::wstring& exe, const std::wstring& arguments, std::string& error);
    // Writes one line (a line feed is added) with one WriteFile. False when the pipe is gone.
    bool send(const std::string& line);
    // The next line the child wrote, with the microseconds at which the host received it.
    // Waits at most `timeoutMs`; false when nothing came in time or the child's output ended.
    bool nextLine(std::string& line, int64_t& atUs, unsigned timeoutMs);
    // True once the child's output has ended and every line has been taken.
    bool outputEnded();
    // Closes the child's standard input (the service then stops and exits with 0) and waits
    // at most `timeoutMs` for it to exit. The exit code, or -1 when it had to be terminated.
    long finish(unsigned timeoutMs);
    // User plus kernel time the child has used, in seconds; negative when unknown.
    double cpuSeconds() const;

  private:
    void readLoop();

    HANDLE process_ = nullptr;
    HANDLE toChild_ = nullptr;
    HANDLE fromChild_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::pair<std::string, int64_t>> lines_;
    bool ended_ = false;
};

// Follows a file that another process appends to, from its start. The file need not exist
// yet; a file that shrinks (truncated by a new writer) is followed again from its start.
class FileFollower {
  public:
    explicit FileFollower(std::wstring path) : path_(std::move(path)) {}
    FileFollower(const FileFollower&) = delete;
    FileFollower& operator=(const FileFollower&) = delete;
    ~FileFollower();

    // Appends whatever was added since the last call to `out`. Returns false when the file
    // started over (the caller must forget what it read before). Never waits.
    bool poll(std::string& out);

  private:
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t offset_ = 0;
};

// A Windows path for a path as the recording's writer takes it: a path that starts with "/"
// is a Unix path, reached through drive Z: under Wine.
std::wstring recordingPath(const std::string& path);

// Waits until `deadlineUs` on the performance-counter clock, on a high-resolution waitable
// timer where the system has one (no winmm: the host must not load the MIDI layer it watches).
class Pacer {
  public:
    Pacer();
    ~Pacer();
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;
    void waitUntil(int64_t deadlineUs);

  private:
    HANDLE timer_ = nullptr;
};

// Creates a folder and its parents; true when it exists afterwards.
bool makeFolders(const std::wstring& path);
// Writes a whole file; false with `error` set on failure.
bool writeFile(const std::wstring& path, const std::string& bytes, std::string& error);
// Reads a whole file (at most 1 MiB); false with `error` set on failure.
bool readFile(const std::wstring& path, std::string& bytes, std::string& error);
// The folder of this program, with a trailing backslash.
std::wstring programFolder();

}  // namespace mtchost
