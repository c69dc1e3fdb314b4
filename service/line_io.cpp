#include "service/line_io.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "service/command.h"

namespace mtcservice {

namespace {

const char kOutputLost[] = "MTC 输出服务连接已中断。";

// Ends the reader thread with one of its two flags. The flag is stored before the event is set
// so that the main loop, woken by the event, always sees it.
void finish(Reader& reader, std::atomic<bool>& flag) {
    flag.store(true);
    SetEvent(reader.event);
}

// The reader thread's work. Returns when a flag has been set; the thread then ends.
void pump(Reader& reader) {
    char buffer[kReadChunkBytes];
    std::string partial;
    for (;;) {
        // Fetched per read: the handle is the process's current standard input.
        DWORD got = 0;
        const BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer,
                                 static_cast<DWORD>(sizeof buffer), &got, nullptr);
        if (!ok || got == 0) {
            // End of file, broken pipe, closed handle and a cancelled read all end input.
            // An unfinished last line is dropped: the host never completed it.
            finish(reader, reader.eof);
            return;
        }
        const char* p = buffer;
        const char* const end = buffer + got;
        while (p < end) {
            const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p));
            const char* stop = found != nullptr ? static_cast<const char*>(found) : end;
            const size_t count = static_cast<size_t>(stop - p);
            // The over-long line is caught as soon as its 16385th byte arrives, without waiting
            // for a line feed that a misbehaving host may never send, and without ever holding
            // more than the limit.
            if (partial.size() + count > kMaxLineBytes) {
                finish(reader, reader.overflow);
                return;
            }
            partial.append(p, count);
            p = stop;
            if (found == nullptr) {
                break;
            }
            ++p;  // the line feed itself is not part of the line
            std::lock_guard<std::mutex> lock(reader.mutex);
            if (reader.lines.size() >= kMaxQueuedLines) {
                finish(reader, reader.overflow);
                return;
            }
            reader.lines.push_back(std::move(partial));
            partial.clear();  // a moved-from string is only guaranteed valid, not empty
            SetEvent(reader.event);
        }
    }
}

}  // namespace

DWORD WINAPI Reader::run(void* param) {
    Reader& reader = *static_cast<Reader*>(param);
    try {
        pump(reader);
    } catch (...) {
        // Only allocation (a line or the queue) or the mutex can throw here, always before a
        // flag is set. An exception must not leave a thread routine (the process would abort),
        // and a line that cannot be held is input the service could not take: report it the
        // way every other input it cannot hold is reported.
        finish(reader, reader.overflow);
    }
    return 0;
}

void Reader::take(std::deque<std::string>& batch) {
    batch.clear();
    std::lock_guard<std::mutex> lock(mutex);
    batch.swap(lines);
    ResetEvent(event);
}

void writeJson(const std::string& line) {
    std::string out;
    out.reserve(line.size() + 1);
    out.append(line);
    out.push_back('\n');
    // One WriteFile carries at most a DWORD of bytes; a longer line could only go out in pieces,
    // which would break the one-line-one-write rule, so it is refused like a short write.
    if (out.size() > MAXDWORD) {
        throw std::runtime_error(kOutputLost);
    }
    const DWORD size = static_cast<DWORD>(out.size());
    DWORD written = 0;
    const BOOL ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), size, &written, nullptr);
    if (!ok || written != size) {
        throw std::runtime_error(kOutputLost);
    }
}

void errorEvent(const std::string& message) {
    writeJson(errorEventLine(message));
}

}  // namespace mtcservice
