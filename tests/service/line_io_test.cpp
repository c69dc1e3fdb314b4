// The service's raw transport and its program entry, on Windows (under Wine here):
// the reader thread fed through an anonymous pipe installed as standard input, the writer
// through a pipe installed as standard output, and mtc-service.exe started as a child process
// with all three standard handles redirected. Every wait has a time limit.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "check/win/process.h"
#include "platform/clock.h"
#include "service/line_io.h"
#include "tests/kit/thrown.h"

namespace mtcservice {
namespace {

constexpr DWORD kLimitMs = 10000;
// Starting a program under Wine can take a while on a loaded machine.
constexpr DWORD kChildLimitMs = 60000;

const char kOutputLost[] = "MTC 输出服务连接已中断。";

using Lines = std::vector<std::string>;

Lines asLines(const std::deque<std::string>& queue) {
    return Lines(queue.begin(), queue.end());
}

bool signalled(HANDLE handle) {
    return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

// WriteFile on a pipe blocks while the pipe is full; do it on a helper thread so that even a
// reader that stopped reading cannot hang the test.
struct PendingWrite {
    HANDLE pipe;
    const std::string* bytes;
    bool ok;
};

DWORD WINAPI writeAll(void* param) {
    PendingWrite& job = *static_cast<PendingWrite*>(param);
    size_t done = 0;
    job.ok = true;
    while (done < job.bytes->size()) {
        DWORD wrote = 0;
        if (!WriteFile(job.pipe, job.bytes->data() + done,
                       static_cast<DWORD>(job.bytes->size() - done), &wrote, nullptr)) {
            job.ok = false;
            return 0;
        }
        done += wrote;
    }
    return 0;
}

bool writeWithLimit(HANDLE pipe, const std::string& bytes) {
    PendingWrite job{pipe, &bytes, false};
    HANDLE thread = CreateThread(nullptr, 0, &writeAll, &job, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    bool finished = WaitForSingleObject(thread, kLimitMs) == WAIT_OBJECT_0;
    if (!finished) {
        CancelSynchronousIo(thread);
        finished = WaitForSingleObject(thread, kLimitMs) == WAIT_OBJECT_0;
    }
    CloseHandle(thread);
    return finished && job.ok;
}

// Puts `handle` in place of one standard handle for the life of the object.
class StdHandleSwap {
  public:
    StdHandleSwap(DWORD which, HANDLE handle) : which_(which), previous_(GetStdHandle(which)) {
        SetStdHandle(which_, handle);
    }
    ~StdHandleSwap() { SetStdHandle(which_, previous_); }
    StdHandleSwap(const StdHandleSwap&) = delete;
    StdHandleSwap& operator=(const StdHandleSwap&) = delete;

  private:
    DWORD which_;
    HANDLE previous_;
};

// One Reader and its thread over a fresh pipe installed as standard input.
class ReaderRun {
  public:
    ReaderRun() {
        EXPECT_TRUE(CreatePipe(&in_, &out_, nullptr, 0));
        previous_ = GetStdHandle(STD_INPUT_HANDLE);
        SetStdHandle(STD_INPUT_HANDLE, in_);
        reader_ = new Reader;
        reader_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(reader_->event, nullptr);
        thread_ = CreateThread(nullptr, 0, &Reader::run, reader_, 0, nullptr);
        EXPECT_NE(thread_, nullptr);
    }

    ~ReaderRun() {
        closeInput();
        bool ended = finished(kLimitMs);
        if (!ended) {
            ADD_FAILURE() << "the reader thread did not end at end of input";
            CancelSynchronousIo(thread_);
            ended = finished(kLimitMs);
        }
        // The reader reads the standard handle afresh for each read, so it is restored only
        // once the thread is gone.
        SetStdHandle(STD_INPUT_HANDLE, previous_);
        CloseHandle(in_);
        if (ended) {
            CloseHandle(reader_->event);
            delete reader_;
        }  // else a thread may still touch it: leak it rather than free it under the thread
        CloseHandle(thread_);
    }

    ReaderRun(const ReaderRun&) = delete;
    ReaderRun& operator=(const ReaderRun&) = delete;

    Reader& reader() { return *reader_; }

    // Writes `bytes`, then waits until the reader has taken all of them from the pipe, so that
    // the next write reaches it through a read of its own.
    void write(const std::string& bytes) {
        ASSERT_TRUE(writeWithLimit(out_, bytes));
        const ULONGLONG deadline = GetTickCount64() + kLimitMs;
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(in_, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
                return;
            }
            ASSERT_LT(GetTickCount64(), deadline) << "the reader stopped taking input";
            Sleep(1);
        }
    }

    void closeInput() {
        if (out_ != nullptr) {
            CloseHandle(out_);
            out_ = nullptr;
        }
    }

    bool finished(DWORD limitMs) { return WaitForSingleObject(thread_, limitMs) == WAIT_OBJECT_0; }

    // Queued lines once the thread has ended; the queue is only safe to read then.
    Lines linesAfterEnd() {
        EXPECT_TRUE(finished(kLimitMs));
        return asLines(reader_->lines);
    }

  private:
    HANDLE in_ = nullptr;
    HANDLE out_ = nullptr;
    HANDLE previous_ = nullptr;
    Reader* reader_ = nullptr;
    HANDLE thread_ = nullptr;
};

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

std::string numberedLines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "{\"n\":" + std::to_string(i) + "}\n";
    }
    return text;
}

Lines numbered(int count) {
    Lines lines;
    for (int i = 0; i < count; ++i) {
        lines.push_back("{\"n\":" + std::to_string(i) + "}");
    }
    return lines;
}

struct ReaderCase {
    const char* name;
    std::vector<std::string> writes;  // each reaches the reader through its own read
    bool closeInput;                  // then end input; otherwise the reader must end by itself
    Lines lines;
    bool eof;
    bool overflow;
};

std::vector<ReaderCase> readerCases() {
    return {
        {"a line split across two writes arrives as one line",
         {"{\"cmd\":", "\"list\"}\n"},
         true,
         {"{\"cmd\":\"list\"}"},
         true,
         false},
        {"a line ending in CR LF keeps its CR", {"{}\r\n"}, true, {"{}\r"}, true, false},
        {"two line feeds in a row queue an empty line",
         {"a\n\nb\n"},
         true,
         {"a", "", "b"},
         true,
         false},
        {"zero bytes stay in the line",
         {std::string("a\0b\n", 4)},
         true,
         {std::string("a\0b", 3)},
         true,
         false},
        {"a line of exactly 16384 bytes is queued",
         {repeat('x', 16384) + "\n"},
         true,
         {repeat('x', 16384)},
         true,
         false},
        {"an unfinished last line is dropped at end of input", {"a\nbc"}, true, {"a"}, true, false},
        {"no input at all ends quietly", {}, true, {}, true, false},
        {"64 waiting lines fit and an unfinished 65th is only dropped",
         {numberedLines(64) + "tail"},
         true,
         numbered(64),
         true,
         false},
        {"the 16385th byte of a line overflows without waiting for a line feed",
         {repeat('x', 16385)},
         false,
         {},
         false,
         true},
        {"an over-long line split across writes overflows at its 16385th byte",
         {"ok\n" + repeat('x', 10000), repeat('x', 6385)},
         false,
         {"ok"},
         false,
         true},
        {"the 65th line feed with 64 lines waiting overflows",
         {numberedLines(65)},
         false,
         numbered(64),
         false,
         true},
    };
}

TEST(StandardInputReader, CutsInputIntoBoundedLinesAndSignalsEveryOutcome) {
    for (const ReaderCase& c : readerCases()) {
        SCOPED_TRACE(c.name);
        ReaderRun run;
        for (const std::string& bytes : c.writes) {
            run.write(bytes);
        }
        if (c.closeInput) {
            run.closeInput();
        }
        ASSERT_TRUE(run.finished(kLimitMs)) << "the reader thread did not end";
        EXPECT_EQ(run.linesAfterEnd(), c.lines);
        EXPECT_EQ(run.reader().eof.load(), c.eof);
        EXPECT_EQ(run.reader().overflow.load(), c.overflow);
        EXPECT_TRUE(signalled(run.reader().event));
    }
}

TEST(StandardInputReader, TakingABatchResetsTheEventAndALaterLineSetsItAgain) {
    ReaderRun run;
    Reader& reader = run.reader();
    // The loop hands in the same batch every turn; what it still held never reaches the queue.
    std::deque<std::string> batch{"left from the last turn"};
    run.write("one\n");
    ASSERT_EQ(WaitForSingleObject(reader.event, kLimitMs), WAIT_OBJECT_0);
    reader.take(batch);
    EXPECT_EQ(asLines(batch), (Lines{"one"}));
    EXPECT_FALSE(signalled(reader.event));
    reader.take(batch);
    EXPECT_EQ(asLines(batch), Lines{});

    run.write("two\nthree\n");
    Lines got;
    const ULONGLONG deadline = GetTickCount64() + kLimitMs;
    while (got.size() < 2 && GetTickCount64() < deadline) {
        if (WaitForSingleObject(reader.event, 100) == WAIT_OBJECT_0) {
            reader.take(batch);
            for (const std::string& line : batch) {
                got.push_back(line);
            }
        }
    }
    EXPECT_EQ(got, (Lines{"two", "three"}));
    EXPECT_FALSE(reader.eof.load());
    EXPECT_FALSE(reader.overflow.load());
}

TEST(StandardInputReader, AStandardInputThatCannotBeReadIsEndOfInput) {
    Reader reader;
    reader.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(reader.event, nullptr);
    {
        StdHandleSwap noInput(STD_INPUT_HANDLE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, &Reader::run, &reader, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, kLimitMs), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_TRUE(reader.eof.load());
    EXPECT_FALSE(reader.overflow.load());
    EXPECT_TRUE(signalled(reader.event));
    CloseHandle(reader.event);
}

// A pipe installed as standard output for the life of the object.
class OutputCapture {
  public:
    OutputCapture() {
        EXPECT_TRUE(CreatePipe(&read_, &write_, nullptr, 0));
        swap_ = new StdHandleSwap(STD_OUTPUT_HANDLE, write_);
    }
    ~OutputCapture() {
        delete swap_;
        CloseHandle(write_);
        closeReadEnd();
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything written so far; never blocks.
    std::string drain() {
        std::string bytes;
        DWORD available = 0;
        while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(read_, &chunk[0], available, &got, nullptr)) {
                break;
            }
            bytes.append(chunk, 0, got);
        }
        return bytes;
    }

    void closeReadEnd() {
        if (read_ != nullptr) {
            CloseHandle(read_);
            read_ = nullptr;
        }
    }

  private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    StdHandleSwap* swap_ = nullptr;
};

const char kPrefix[] = "{\"event\":\"error\",\"error\":";

struct WriterCase {
    const char* name;
    void (*write)();
    std::string bytes;
};

std::vector<WriterCase> writerCases() {
    return {
        {"a 2-byte object goes out as exactly 3 bytes", [] { writeJson("{}"); }, "{}\n"},
        {"a line goes out unchanged with one line feed",
         [] { writeJson("{\"id\":3,\"ok\":true}"); }, "{\"id\":3,\"ok\":true}\n"},
        {"the overflow error event carries its message's UTF-8 bytes unchanged",
         [] { errorEvent("MTC 输出更新阻塞，输出已关闭。请重新启用。"); },
         std::string(kPrefix) + "\"MTC 输出更新阻塞，输出已关闭。请重新启用。\"}\n"},
        {"an error event escapes quotation marks and control characters",
         [] { errorEvent("a\"b\x01\n"); }, std::string(kPrefix) + "\"a\\\"b\\u0001\\u000a\"}\n"},
        {"an error event with an empty message", [] { errorEvent(""); },
         std::string(kPrefix) + "\"\"}\n"},
    };
}

TEST(StandardOutputWriter, WritesEachLineByteForByteWithOneLineFeed) {
    ASSERT_EQ(std::string(kPrefix).size(), 25u);
    for (const WriterCase& c : writerCases()) {
        SCOPED_TRACE(c.name);
        OutputCapture output;
        c.write();
        EXPECT_EQ(output.drain(), c.bytes);
    }
}

std::string failureOf(void (*write)()) {
    return mtctest::thrownMessage(write, "(nothing thrown)");
}

TEST(StandardOutputWriter, AClosedOrMissingOutputFailsWithTheConnectionLostMessage) {
    {
        OutputCapture output;
        output.closeReadEnd();
        EXPECT_EQ(failureOf([] { writeJson("{}"); }), kOutputLost);
        EXPECT_EQ(failureOf([] { errorEvent("x"); }), kOutputLost);
    }
    {
        StdHandleSwap noOutput(STD_OUTPUT_HANDLE, nullptr);
        EXPECT_EQ(failureOf([] { writeJson("{}"); }), kOutputLost);
    }
}

TEST(MonotonicClock, NeverDecreasesAndAdvancesWithRealTime) {
    double previous = nowSeconds();
    const double first = previous;
    for (int i = 0; i < 200000; ++i) {
        const double now = nowSeconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
    Sleep(20);
    const double later = nowSeconds();
    EXPECT_GE(later - first, 0.015);
    EXPECT_LT(later - first, 60.0);
}

// mtc-service.exe beside this test program.
std::wstring servicePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) {
            return L"";
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"mtc-service.exe";
}

struct ChildResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

// Starts mtc-service.exe with `arguments` appended to its command line, standard input closed
// at once, and collects its standard output and error. With `unreadableOutput` the read end of
// its standard output is closed before it starts, so every write it makes fails.
ChildResult runService(const std::wstring& arguments, bool unreadableOutput = false) {
    ChildResult result;
    mtccheck::ChildOptions options;
    options.program = servicePath();
    options.arguments = arguments;
    options.captureError = true;
    options.readOutput = !unreadableOutput;
    mtccheck::ChildProcess child;
    std::string error;
    result.started = child.start(options, error);
    if (!result.started) {
        return result;
    }
    child.closeInput();  // end of input at once
    const std::optional<DWORD> exitCode = child.waitExit(kChildLimitMs / 1000.0);
    result.finished = exitCode.has_value();
    result.exitCode = exitCode.value_or(0);
    // Once it has ended, both pipes have been read to their end.
    result.out = child.rawOutput();
    result.err = child.standardError();
    return result;
}

struct ProgramCase {
    const char* name;
    std::wstring arguments;
    std::string out;
    DWORD exitCode;
};

std::vector<ProgramCase> programCases() {
    const std::string passed =
        "{\"passed\":true,\"checks\":43,\"scope\":\"Production engine with simulated driver only; "
        "no physical MIDI selected\"}\n";
    return {
        {"--version prints the version line", L"--version",
         "{\"name\":\"Velmarcast native Windows MTC\",\"protocolVersion\":1,"
         "\"architecture\":\"x64\"}\n",
         0},
        {"--self-test prints the passed verdict", L"--self-test", passed, 0},
        {"the option in upper case is refused", L"--VERSION", "", 2},
        {"the option followed by a second argument is refused", L"--version extra", "", 2},
        {"two valid options are refused", L"--self-test --version", "", 2},
        {"an empty argument is refused", L"\"\"", "", 2},
        {"the option with text appended is refused", L"--versionx", "", 2},
        {"the self-test option with text appended is refused", L"--self-test2", "", 2},
        {"full-width look-alike hyphens are refused", L"\xFF0D\xFF0Dversion", "", 2},
        {"no argument with input closed at once ends quietly", L"", "", 0},
    };
}

TEST(ServiceProgram, EachCommandLineGivesItsExactOutputAndExitCodeAndNothingOnStandardError) {
    for (const ProgramCase& c : programCases()) {
        SCOPED_TRACE(c.name);
        const ChildResult child = runService(c.arguments);
        ASSERT_TRUE(child.started) << "mtc-service.exe did not start";
        ASSERT_TRUE(child.finished) << "mtc-service.exe did not end in time";
        EXPECT_EQ(child.out, c.out);
        EXPECT_EQ(child.exitCode, c.exitCode);
        EXPECT_EQ(child.err, "");
    }
}

TEST(ServiceProgram, AModeWhoseLineCannotBeWrittenNeverReportsSuccess) {
    struct Case {
        const char* name;
        const wchar_t* arguments;
        DWORD exitCode;
    };
    // The version mode fails like a bad command line; a pass that nobody can read is a failed
    // self test.
    for (const Case& c :
         {Case{"--version", L"--version", 2}, Case{"--self-test", L"--self-test", 1}}) {
        SCOPED_TRACE(c.name);
        const ChildResult child = runService(c.arguments, true);
        ASSERT_TRUE(child.started);
        ASSERT_TRUE(child.finished);
        EXPECT_EQ(child.exitCode, c.exitCode);
        EXPECT_EQ(child.err, "");
    }
}

}  // namespace
}  // namespace mtcservice
