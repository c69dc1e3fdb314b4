#include "check/win/process.h"

#include <algorithm>
#include <chrono>
#include <cwchar>

#include "check/win/clock.h"
#include "check/win/files.h"

namespace mtccheck {
namespace {

// Between creating a child's inheritable pipe ends and closing them in the parent, another
// child started concurrently would inherit them too and keep a pipe open after its owner has
// gone.
std::mutex& creationMutex() {
    static std::mutex m;
    return m;
}

std::wstring nameOf(const std::wstring& variable) {
    // Entries such as "=C:=C:\" hide their name behind a leading '='.
    const size_t equals = variable.find(L'=', 1);
    return equals == std::wstring::npos ? variable : variable.substr(0, equals);
}

}  // namespace

std::wstring environmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& set) {
    std::vector<std::wstring> variables;
    LPWCH block = GetEnvironmentStringsW();
    for (LPWCH p = block; *p != L'\0'; p += std::wcslen(p) + 1) {
        const std::wstring variable(p);
        bool overridden = false;
        for (const auto& entry : set) {
            overridden = overridden || _wcsicmp(nameOf(variable).c_str(), entry.first.c_str()) == 0;
        }
        if (!overridden) {
            variables.push_back(variable);
        }
    }
    FreeEnvironmentStringsW(block);
    for (const auto& entry : set) {
        variables.push_back(entry.first + L"=" + entry.second);
    }
    std::sort(variables.begin(), variables.end(), [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(nameOf(a).c_str(), nameOf(b).c_str()) < 0;
    });
    std::wstring out;
    for (const std::wstring& variable : variables) {
        out += variable;
        out += L'\0';
    }
    out += L'\0';
    return out;
}

void ChildProcess::closeOurEnds() {
    for (HANDLE* handle : {&input_, &output_, &error_}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
}

void ChildProcess::ChildEnds::close() {
    for (HANDLE* handle : {&input, &output, &error}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
}

bool ChildProcess::createPipes(const ChildOptions& options, ChildEnds& ends, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&ends.input, &input_, &inherit, 0) ||
        !CreatePipe(&output_, &ends.output, &inherit, 0) ||
        (options.captureError && !CreatePipe(&error_, &ends.error, &inherit, 0))) {
        error = "cannot create the child's pipes (Windows error " + std::to_string(GetLastError()) +
                ")";
        ends.close();
        closeOurEnds();
        return false;
    }
    // Only the child's ends are inherited; ours must not be, or the child would hold its own
    // input open and never see its end.
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
    if (error_ != nullptr) {
        SetHandleInformation(error_, HANDLE_FLAG_INHERIT, 0);
    } else {
        ends.error = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);
        if (ends.error == INVALID_HANDLE_VALUE) {
            ends.error = nullptr;
        }
    }
    return true;
}

bool ChildProcess::launch(const ChildOptions& options, ChildEnds& ends, std::string& error) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ends.input;
    startup.hStdOutput = ends.output;
    startup.hStdError = ends.error != nullptr ? ends.error : ends.output;
    std::wstring commandLine = L"\"" + options.program + L"\"" +
                               (options.arguments.empty() ? L"" : L" " + options.arguments);
    PROCESS_INFORMATION info{};
    // Created suspended, so that our copies of its ends are gone before its first instruction:
    // with readOutput false, its first write must find no reader at all.
    const BOOL created = CreateProcessW(
        options.program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
            (options.shareConsole ? 0 : CREATE_NO_WINDOW),
        options.environment.empty() ? nullptr : const_cast<wchar_t*>(options.environment.c_str()),
        options.folder.empty() ? nullptr : options.folder.c_str(), &startup, &info);
    const DWORD startError = GetLastError();
    ends.close();
    if (!created) {
        error = "cannot start " + narrow(options.program) + " (Windows error " +
                std::to_string(startError) + ")";
        closeOurEnds();
        return false;
    }
    if (!options.readOutput) {
        CloseHandle(output_);
        output_ = nullptr;
    }
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        error = "cannot start " + narrow(options.program) + " (Windows error " +
                std::to_string(GetLastError()) + ")";
        TerminateProcess(info.hProcess, 255);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        closeOurEnds();
        return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return true;
}

bool ChildProcess::start(const ChildOptions& options, std::string& error) {
    unterminatedLastLine_ = options.unterminatedLastLine;
    std::lock_guard<std::mutex> creation(creationMutex());
    ChildEnds ends;
    if (!createPipes(options, ends, error) || !launch(options, ends, error)) {
        return false;
    }
    if (options.readOutput) {
        outputEnded_ = false;
        outputThread_ = std::thread([this] { readPipe(output_, true); });
    }
    if (error_ != nullptr) {
        errorEnded_ = false;
        errorThread_ = std::thread([this] { readPipe(error_, false); });
    }
    return true;
}

ChildProcess::~ChildProcess() {
    if (process_ != nullptr) {
        finish(5000);
    }
    // The child's ends are closed once it has ended, so both readers see the end of their pipe.
    if (outputThread_.joinable()) {
        outputThread_.join();
    }
    if (errorThread_.joinable()) {
        errorThread_.join();
    }
    for (HANDLE handle : {output_, error_, process_}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

bool ChildProcess::write(const std::string& bytes, size_t* written) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    DWORD count = 0;
    const bool ok =
        input_ != nullptr &&
        WriteFile(input_, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
        count == bytes.size();
    if (written != nullptr) {
        *written = count;
    }
    return ok;
}

void ChildProcess::closeInput() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (input_ != nullptr) {
        CloseHandle(input_);
        input_ = nullptr;
    }
}

void ChildProcess::readPipe(HANDLE pipe, bool output) {
    // Reader thread: blocks in ReadFile until the child writes or its end of the pipe closes.
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        const double at = hostNow();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!output) {
            errorBytes_.append(buffer, got);
            continue;
        }
        raw_.append(buffer, got);
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                lines_.push_back(OutputLine{partial_, at});
                partial_.clear();
            } else {
                partial_ += buffer[i];
            }
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!output) {
        errorEnded_ = true;
    } else {
        if (unterminatedLastLine_ && !partial_.empty()) {
            lines_.push_back(OutputLine{partial_, hostNow()});
            partial_.clear();
        }
        outputEnded_ = true;
    }
    changed_.notify_all();
}

std::optional<OutputLine> ChildProcess::readLine(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<long long>(timeout * 1e6));
    changed_.wait_until(lock, deadline, [this] { return next_ < lines_.size() || outputEnded_; });
    if (next_ < lines_.size()) {
        return lines_[next_++];
    }
    return std::nullopt;
}

std::vector<OutputLine> ChildProcess::allLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string ChildProcess::rawOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

std::string ChildProcess::standardError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorBytes_;
}

bool ChildProcess::outputEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputEnded_ && next_ >= lines_.size();
}

std::optional<DWORD> ChildProcess::waitExit(double timeout) {
    if (process_ == nullptr ||
        WaitForSingleObject(process_, static_cast<DWORD>(timeout * 1000.0)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    // Whatever the process wrote before it ended is in the pipe; let the readers take it all,
    // so that the lines are complete once the exit has been seen.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5),
                      [this] { return outputEnded_ && errorEnded_; });
    return code;
}

long ChildProcess::finish(unsigned timeoutMs) {
    closeInput();
    if (process_ == nullptr) {
        return -1;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_, &code)) {
        // Our own child that ignores the end of its input: end it rather than hang.
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, timeoutMs);
        return -1;
    }
    return static_cast<long>(code);
}

double ChildProcess::cpuSeconds() const {
    double user = 0;
    double kernel = 0;
    return processTimes(process_, user, kernel) ? user + kernel : -1;
}

}  // namespace mtccheck
