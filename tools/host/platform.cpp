#include "tools/host/platform.h"

#include <chrono>
#include <cstring>
#include <vector>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace mtchost {
namespace {

constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;  // 1601-01-01 to 1970-01-01
constexpr DWORD kMostFileBytes = 1 << 20;

std::string lastErrorText(const char* what) {
    return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

int64_t nowMicros() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    // Split to keep the product in range for counters that have run for a long time.
    const int64_t whole = c.QuadPart / frequency;
    const int64_t rest = c.QuadPart % frequency;
    return whole * 1000000 + rest * 1000000 / frequency;
}

double unixMillisNow() {
    using PreciseFn = VOID(WINAPI*)(LPFILETIME);
    static const PreciseFn precise = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC p =
            kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
        PreciseFn fn = nullptr;
        // Function pointer types differ only in signature; the exported function has this one.
        static_assert(sizeof(fn) == sizeof(p), "function pointer size");
        std::memcpy(&fn, &p, sizeof fn);
        return fn;
    }();
    FILETIME ft;
    if (precise != nullptr) {
        precise(&ft);
    } else {
        GetSystemTimeAsFileTime(&ft);
    }
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<double>(ticks - kUnixEpochIn100ns) / 10000.0;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

// ---- Console ----

Console::Console() {
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console answers GetConsoleMode; a pipe or file does not (and a character device that
    // is not a console, such as NUL, is no place for "\r" either).
    terminal_ = out_ != nullptr && out_ != INVALID_HANDLE_VALUE &&
                GetFileType(out_) == FILE_TYPE_CHAR && GetConsoleMode(out_, &mode) != 0;
    if (terminal_) {
        SetConsoleOutputCP(CP_UTF8);  // the service's messages are Chinese, in UTF-8
    }
}

void Console::write(const std::string& bytes) {
    if (out_ == nullptr || out_ == INVALID_HANDLE_VALUE || bytes.empty()) {
        return;
    }
    DWORD written = 0;
    WriteFile(out_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Console::line(const std::string& text) {
    if (terminal_ && !status_.empty()) {
        write("\r" + std::string(status_.size(), ' ') + "\r" + text + "\n" + status_);
        return;
    }
    write(text + "\n");
}

void Console::status(const std::string& text) {
    if (!terminal_) {
        write(text + "\n");
        return;
    }
    // Never as wide as the window: a line that wraps cannot be redrawn with "\r".
    std::string padded = text;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out_, &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 1 && padded.size() >= static_cast<size_t>(width)) {
            padded.resize(static_cast<size_t>(width) - 1);
        }
    }
    if (padded.size() < status_.size()) {
        padded.append(status_.size() - padded.size(), ' ');
    }
    write("\r" + padded);
    status_ = padded;
}

void Console::endStatus() {
    if (terminal_ && !status_.empty()) {
        write("\n");
    }
    status_.clear();
}

// ---- ServiceChild ----

bool ServiceChild::start(const std::wstring& exe, const std::wstring& arguments,
                         std::string& error) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild_, &inherit, 0)) {
        error = lastErrorText("cannot create the service's input pipe");
        return false;
    }
    if (!CreatePipe(&fromChild_, &childOut, &inherit, 0)) {
        error = lastErrorText("cannot create the service's output pipe");
        CloseHandle(childIn);
        return false;
    }
    // Only the child's ends are inherited; the host's ends must not be, or the child would
    // hold its own input open and never see its end.
    SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childIn;
    si.hStdOutput = childOut;
    si.hStdError = nul != INVALID_HANDLE_VALUE ? nul : childOut;
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &si, &pi);
    const DWORD startError = GetLastError();
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (nul != INVALID_HANDLE_VALUE) {
        CloseHandle(nul);
    }
    if (!started) {
        error =
            "cannot start " + narrow(exe) + " (Windows error " + std::to_string(startError) + ")";
        return false;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    reader_ = std::thread(&ServiceChild::readLoop, this);
    return true;
}

void ServiceChild::readLoop() {
    // Reader thread: blocks in ReadFile until the child writes or its output closes.
    std::string partial;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(fromChild_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        const int64_t at = nowMicros();
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != '\n') {
                partial += buffer[i];
                continue;
            }
            if (!partial.empty() && partial.back() == '\r') {
                partial.pop_back();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(std::move(partial), at);
            partial.clear();
            arrived_.notify_one();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) {
        lines_.emplace_back(std::move(partial), nowMicros());
    }
    ended_ = true;
    arrived_.notify_one();
}

bool ServiceChild::send(const std::string& line) {
    if (toChild_ == nullptr) {
        return false;
    }
    const std::string bytes = line + "\n";
    DWORD written = 0;
    return WriteFile(toChild_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool ServiceChild::nextLine(std::string& line, int64_t& atUs, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [this] { return !lines_.empty() || ended_; });
    if (lines_.empty()) {
        return false;
    }
    line = std::move(lines_.front().first);
    atUs = lines_.front().second;
    lines_.pop_front();
    return true;
}

bool ServiceChild::outputEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && lines_.empty();
}

long ServiceChild::finish(unsigned timeoutMs) {
    if (toChild_ != nullptr) {
        CloseHandle(toChild_);
        toChild_ = nullptr;
    }
    if (process_ == nullptr) {
        return -1;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_, &code)) {
        // Our own child that ignores the end of its input: end it rather than hang.
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, 2000);
        return -1;
    }
    return static_cast<long>(code);
}

double ServiceChild::cpuSeconds() const {
    FILETIME created, exited, kernel, user;
    if (process_ == nullptr || !GetProcessTimes(process_, &created, &exited, &kernel, &user)) {
        return -1;
    }
    auto ticks = [](const FILETIME& f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

ServiceChild::~ServiceChild() {
    if (process_ != nullptr) {
        finish(2000);
        CloseHandle(process_);
    }
    if (reader_.joinable()) {
        // The child has exited, so its end of the output pipe is closed and ReadFile returns.
        reader_.join();
    }
    if (fromChild_ != nullptr) {
        CloseHandle(fromChild_);
    }
}

// ---- FileFollower ----

FileFollower::~FileFollower() {
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
    }
}

bool FileFollower::poll(std::string& out) {
    if (file_ == INVALID_HANDLE_VALUE) {
        // The writer keeps the file open for writing; share everything so neither side fails.
        file_ = CreateFileW(path_.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            return true;
        }
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size)) {
        return true;
    }
    bool continuous = true;
    if (static_cast<uint64_t>(size.QuadPart) < offset_) {
        offset_ = 0;
        continuous = false;
    }
    char buffer[65536];
    while (offset_ < static_cast<uint64_t>(size.QuadPart)) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset_);
        SetFilePointerEx(file_, at, nullptr, FILE_BEGIN);
        DWORD got = 0;
        if (!ReadFile(file_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        out.append(buffer, got);
        offset_ += got;
    }
    return continuous;
}

std::wstring recordingPath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return L"Z:" + widen(path);
    }
    return widen(path);
}

// ---- Pacer ----

Pacer::Pacer() {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (timer_ == nullptr) {
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
}

Pacer::~Pacer() {
    if (timer_ != nullptr) {
        CloseHandle(timer_);
    }
}

void Pacer::waitUntil(int64_t deadlineUs) {
    const int64_t delay = deadlineUs - nowMicros();
    if (delay <= 0) {
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -delay * 10;  // relative, in 100 ns units
    if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer_, static_cast<DWORD>(delay / 1000 + 100));
        return;
    }
    Sleep(static_cast<DWORD>((delay + 999) / 1000));
}

// ---- files ----

bool makeFolders(const std::wstring& path) {
    std::wstring partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
            if (!partial.empty() && partial.back() != L':') {
                CreateDirectoryW(partial.c_str(), nullptr);
            }
        }
        if (i < path.size()) {
            partial += path[i];
        }
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool writeFile(const std::wstring& path, const std::string& bytes, std::string& error) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error = lastErrorText(("cannot create " + narrow(path)).c_str());
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    if (!ok) {
        error = lastErrorText(("cannot write " + narrow(path)).c_str());
    }
    CloseHandle(f);
    return ok;
}

bool readFile(const std::wstring& path, std::string& bytes, std::string& error) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error = lastErrorText(("cannot open " + narrow(path)).c_str());
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(f, &size) != 0;
    if (ok && size.QuadPart > kMostFileBytes) {
        error = narrow(path) + " is larger than 1 MiB";
        ok = false;
    } else if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() ||
             (ReadFile(f, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
              got == bytes.size());
        if (!ok) {
            error = lastErrorText(("cannot read " + narrow(path)).c_str());
        }
    } else {
        error = lastErrorText(("cannot read " + narrow(path)).c_str());
    }
    CloseHandle(f);
    return ok;
}

std::wstring programFolder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), n);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace mtchost
