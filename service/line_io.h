// The service's raw line transport: a reader thread that cuts standard input into lines and
// hands them to the main loop through a small bounded queue, and the writer that puts each
// output line on standard output with one call.
//
// Threads: the reader thread runs Reader::run only; everything else here belongs to the main
// thread, which also writes every output line (standard output has no lock).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace mtcservice {

// Bytes asked of ReadFile per read.
constexpr size_t kReadChunkBytes = 4096;
// A queued line holds at most this many bytes (its line feed not counted).
constexpr size_t kMaxLineBytes = 16384;
// At most this many complete lines wait for the main loop.
constexpr size_t kMaxQueuedLines = 64;

// Shared between the reader thread and the main loop. One per process: the main thread makes
// it on the heap, creates `event` (manual reset, not signalled) and starts Reader::run with it.
// It is never freed; the process ends with the reader thread possibly still blocked in a read.
struct Reader {
    // Set by the reader whenever the main loop has something to look at (a line, a flag).
    HANDLE event = nullptr;
    // Guards `lines` only.
    std::mutex mutex;
    // Complete lines, oldest first, without their line feed; raw bytes (CR and NUL kept).
    std::deque<std::string> lines;
    // Standard input ended or a read failed. Only the reader sets it; the thread then ends.
    std::atomic<bool> eof{false};
    // 65 lines would be waiting, or a line passed kMaxLineBytes (or could not be held in
    // memory). Only the reader sets it; the thread then ends.
    std::atomic<bool> overflow{false};

    // Thread routine; `param` is the Reader. Reader thread only. Blocks in ReadFile on the
    // standard input handle (fetched anew for each read, so a CancelSynchronousIo from the main
    // thread ends a pending read) and allocates line storage. Never waits for the main loop:
    // a full queue is a fault of the host, not back-pressure. Returns 0.
    static DWORD WINAPI run(void* param);

    // Main thread. Takes every queued line at once into `batch`, oldest first: empties
    // `batch`, then swaps it with the queue and resets `event` while holding `mutex`, so a line
    // queued after the swap signals `event` again and is never left waiting unnoticed. The
    // queue keeps the storage `batch` had, so a caller that passes the same batch every time
    // allocates nothing here; the lock is held for a constant-time swap. Callers check `eof`
    // and `overflow` after each batch, before they wait on `event` again.
    void take(std::deque<std::string>& batch);
};

// Main thread. Writes `line` plus a line feed to standard output with a single synchronous
// WriteFile, unbuffered. May block while the host does not read. Allocates one copy of the
// line. Throws std::runtime_error "MTC 输出服务连接已中断。" when the write fails or is short;
// nothing is kept for a later attempt.
void writeJson(const std::string& line);

// Main thread. Writes {"event":"error","error":<quoted message>} as one line; throws what
// writeJson throws.
void errorEvent(const std::string& message);

}  // namespace mtcservice
