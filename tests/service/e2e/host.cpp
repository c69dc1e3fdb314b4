#include "tests/service/e2e/host.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <utility>

#include "check/win/files.h"

namespace mtctest {

namespace {

// A fresh folder per child under the temporary folder, so concurrent children never share
// scenario, recording or control files.
std::wstring makeFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring base = std::wstring(temp) + L"mtc-service-test";
    CreateDirectoryW(base.c_str(), nullptr);
    const std::wstring folder = base + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(counter.fetch_add(1));
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

ServiceHost::ServiceHost(const ServiceOptions& options) : arguments_(options.arguments) {
    keepTranscript_ = GetEnvironmentVariableW(L"MTC_TRANSCRIPT_DIR", nullptr, 0) != 0;
    folder_ = makeFolder();
    scenarioPath_ = folder_ + L"\\scenario.txt";
    logPath_ = folder_ + L"\\recording.txt";
    controlPath_ = folder_ + L"\\control.txt";
    std::vector<std::pair<std::wstring, std::wstring>> set = {
        {L"MTC_SIMPORT_LOG", logPath_},
        {L"MTC_SIMPORT_CONTROL", controlPath_},
    };
    std::string error;
    if (!options.scenario.empty()) {
        mtccheck::writeFile(scenarioPath_, options.scenario, error);
        set.push_back({L"MTC_SIMPORT_SCENARIO", scenarioPath_});
    } else {
        // Without a scenario the simulated port is an empty machine; make sure no scenario
        // from the harness's own environment leaks into the child.
        set.push_back({L"MTC_SIMPORT_SCENARIO", L""});
    }
    mtccheck::ChildOptions child;
    child.program = mtccheck::programFolder() + L"mtc-service.exe";
    for (const std::wstring& argument : options.arguments) {
        child.arguments += (child.arguments.empty() ? L"\"" : L" \"") + argument + L"\"";
    }
    child.environment = mtccheck::environmentWith(set);
    child.folder = folder_;
    child.captureError = true;
    child.readOutput = options.readOutput;
    child_.start(child, error);
}

ServiceHost::~ServiceHost() {
    child_.finish(5000);
    // Once it has ended, let the readers take all it wrote before the transcript is written.
    child_.waitExit(0);
    writeTranscript();
    // MTC_TEST_KEEP=1 keeps every child's scenario, recording and control file for a look.
    if (GetEnvironmentVariableW(L"MTC_TEST_KEEP", nullptr, 0) == 0) {
        for (const std::wstring& path : {scenarioPath_, logPath_, controlPath_}) {
            DeleteFileW(path.c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }
}

bool ServiceHost::write(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(sentMutex_);
    size_t written = 0;
    const bool ok = child_.write(bytes, &written);
    // Kept in memory only (no file work on a test's clock); what reached the pipe.
    if (keepTranscript_) {
        sent_.append(bytes.data(), written);
    }
    return ok;
}

double ServiceHost::send(const std::string& line) {
    const double at = hostNow();
    write(line + "\n");
    return at;
}

std::string ServiceHost::request(const std::string& line, double timeout) {
    send(line);
    const std::optional<OutputLine> reply = readLine(timeout);
    return reply ? reply->text : std::string("<no reply>");
}

std::vector<OutputLine> ServiceHost::readLinesFor(double seconds) {
    std::vector<OutputLine> out;
    const double end = hostNow() + seconds;
    for (;;) {
        const double left = end - hostNow();
        if (left <= 0) {
            break;
        }
        std::optional<OutputLine> line = readLine(left);
        if (line) {
            out.push_back(*line);
        } else if (outputEnded()) {
            break;
        }
    }
    return out;
}

void ServiceHost::writeTranscript() {
    if (!keepTranscript_) {
        return;
    }
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"MTC_TRANSCRIPT_DIR", value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    std::wstring folder(value, length);
    if (folder[0] == L'/') {
        // A Unix path (as CMake hands it over): Wine maps the Unix root to Z:.
        folder = L"Z:" + folder;
    }
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    CreateDirectoryW(folder.c_str(), nullptr);
    // Harness program, its process id and the child's number within it: unique per child.
    static std::atomic<unsigned> counter{0};
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program(path, n);
    program = program.substr(program.find_last_of(L"\\/") + 1);
    if (program.size() > 4 && _wcsicmp(program.c_str() + program.size() - 4, L".exe") == 0) {
        program.resize(program.size() - 4);
    }
    const std::wstring base = folder + L"\\" + program + L"-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1));
    std::string arguments;
    for (const std::wstring& argument : arguments_) {
        arguments += mtccheck::narrow(argument) + "\n";
    }
    std::string sent;
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        sent = sent_;
    }
    std::string error;
    mtccheck::writeFile(base + L".args", arguments, error);
    mtccheck::writeFile(base + L".in", sent, error);
    mtccheck::writeFile(base + L".out", rawOutput(), error);
}

double ServiceHost::control(const std::string& line) {
    const double at = hostNow();
    HANDLE file = CreateFileW(controlPath_.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        const std::string bytes = line + "\n";
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    return at;
}

std::string ServiceHost::recording() {
    std::string bytes;
    std::string error;
    mtccheck::readFile(logPath_, bytes, error, UINT64_MAX);
    return bytes;
}

}  // namespace mtctest
