#include "tests/service/host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>

namespace mtctest {

namespace {

double counterFrequency() {
    static const double f = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    return f;
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

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

bool writeWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string readWholeFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
}

std::wstring nameOf(const std::wstring& variable) {
    // Entries such as "=C:=C:\" hide their name behind a leading '='.
    const size_t equals = variable.find(L'=', 1);
    return equals == std::wstring::npos ? variable : variable.substr(0, equals);
}

// The harness's own environment (so WINEDLLOVERRIDES and the prefix reach the child) with the
// simulated port's variables set for this child, sorted by name as Windows expects.
std::wstring environmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& set) {
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

// Children are created one at a time: between creating a child's inheritable pipe ends and
// closing them in the parent, another child started concurrently would inherit them too and
// keep a pipe open after its owner has gone.
std::mutex& creationMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

double hostNow() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / counterFrequency();
}

double unixMsNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ULL) / 10000.0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(std::floor(p * static_cast<double>(values.size() - 1)))];
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void sleepUntil(double t) {
    for (;;) {
        const double left = t - hostNow();
        if (left <= 0) {
            return;
        }
        // Whole milliseconds, rounded down, then a short spin: Wine wakes up to 1 ms late.
        if (left > 0.002) {
            Sleep(static_cast<DWORD>((left - 0.001) * 1000.0));
        } else {
            Sleep(0);
        }
    }
}

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
    if (!options.scenario.empty()) {
        writeWholeFile(scenarioPath_, options.scenario);
        set.push_back({L"MTC_SIMPORT_SCENARIO", scenarioPath_});
    } else {
        // Without a scenario the simulated port is an empty machine; make sure no scenario
        // from the harness's own environment leaks into the child.
        set.push_back({L"MTC_SIMPORT_SCENARIO", L""});
    }
    const std::wstring environment = environmentBlock(set);
    const std::wstring program = programFolder() + L"mtc-service.exe";
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::wstring& argument : options.arguments) {
        commandLine += L" \"" + argument + L"\"";
    }

    std::lock_guard<std::mutex> creation(creationMutex());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE childError = nullptr;
    if (!CreatePipe(&childInput, &input_, &inherit, 0) ||
        !CreatePipe(&output_, &childOutput, &inherit, 0) ||
        !CreatePipe(&error_, &childError, &inherit, 0)) {
        return;
    }
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(error_, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childError;
    PROCESS_INFORMATION info{};
    std::wstring mutableCommandLine = commandLine;
    if (CreateProcessW(program.c_str(), &mutableCommandLine[0], nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                       const_cast<wchar_t*>(environment.c_str()), folder_.c_str(), &startup,
                       &info)) {
        process_ = info.hProcess;
        CloseHandle(info.hThread);
    }
    CloseHandle(childInput);
    CloseHandle(childOutput);
    CloseHandle(childError);

    if (options.readOutput) {
        outputThread_ = std::thread([this] { readStdout(); });
    } else {
        CloseHandle(output_);
        output_ = nullptr;
        outputEnded_ = true;
    }
    errorThread_ = std::thread([this] { readStderr(); });
}

ServiceHost::~ServiceHost() {
    closeInput();
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
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
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (input_ == nullptr) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(input_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
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

void ServiceHost::closeInput() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (input_ != nullptr) {
        CloseHandle(input_);
        input_ = nullptr;
    }
}

void ServiceHost::readStdout() {
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(output_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        const double at = hostNow();
        std::lock_guard<std::mutex> lock(mutex_);
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
    outputEnded_ = true;
    changed_.notify_all();
}

void ServiceHost::readStderr() {
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(error_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        errorBytes_.append(buffer, got);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    errorEnded_ = true;
    changed_.notify_all();
}

std::optional<OutputLine> ServiceHost::readLine(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<long long>(timeout * 1e6));
    changed_.wait_until(lock, deadline, [this] { return next_ < lines_.size() || outputEnded_; });
    if (next_ < lines_.size()) {
        return lines_[next_++];
    }
    return std::nullopt;
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

std::vector<OutputLine> ServiceHost::allLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string ServiceHost::rawOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

std::string ServiceHost::standardError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorBytes_;
}

bool ServiceHost::outputEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputEnded_ && next_ >= lines_.size();
}

std::optional<DWORD> ServiceHost::waitExit(double timeout) {
    if (process_ == nullptr ||
        WaitForSingleObject(process_, static_cast<DWORD>(timeout * 1000.0)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    // Whatever the process wrote before it ended is in the pipe; let the reader take it all, so
    // that the lines are complete once the exit has been seen.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5),
                      [this] { return outputEnded_ && errorEnded_; });
    return code;
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
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, argument.c_str(), static_cast<int>(argument.size()),
                                nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argument.c_str(), static_cast<int>(argument.size()),
                            &utf8[0], size, nullptr, nullptr);
        arguments += utf8 + "\n";
    }
    std::string sent;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        sent = sent_;
    }
    writeWholeFile(base + L".args", arguments);
    writeWholeFile(base + L".in", sent);
    writeWholeFile(base + L".out", rawOutput());
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
    return readWholeFile(logPath_);
}

// ---------------------------------------------------------------------------------------------

std::string RecordEntry::field(const char* key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long RecordEntry::number(const char* key) const {
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.empty() || it->second == "-") {
        return -1;
    }
    return std::strtoll(it->second.c_str(), nullptr, 0);
}

std::vector<RecordEntry> parseRecording(const std::string& text) {
    std::vector<RecordEntry> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        RecordEntry entry;
        entry.raw = line;
        std::vector<std::string> words;
        size_t p = 0;
        while (p < line.size()) {
            const size_t q = line.find(' ', p);
            words.push_back(line.substr(p, q == std::string::npos ? std::string::npos : q - p));
            if (q == std::string::npos) {
                break;
            }
            p = q + 1;
        }
        if (words.size() < 2) {
            continue;
        }
        entry.at = std::strtod(words[0].c_str(), nullptr) / 1e6;
        entry.event = words[1];
        for (size_t i = 2; i < words.size(); ++i) {
            if (words[i] == "->" && i + 1 < words.size()) {
                entry.fields["result"] = words[++i];
                continue;
            }
            const size_t equals = words[i].find('=');
            if (equals != std::string::npos) {
                entry.fields[words[i].substr(0, equals)] = words[i].substr(equals + 1);
            }
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<RecordEntry> entriesOf(const std::vector<RecordEntry>& entries, const char* event) {
    std::vector<RecordEntry> out;
    for (const RecordEntry& entry : entries) {
        if (entry.event == event) {
            out.push_back(entry);
        }
    }
    return out;
}

std::vector<uint8_t> hexBytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

double frameSeconds(int rate) {
    switch (rate) {
        case 0:
            return 1.0 / 24.0;
        case 1:
            return 1.0 / 25.0;
        case 2:
            return 1001.0 / 30000.0;
        default:
            return 1.0 / 30.0;
    }
}

double labelSeconds(const Timecode& tc) {
    const long long wholeSeconds = tc.hours * 3600LL + tc.minutes * 60LL + tc.seconds;
    switch (tc.rate) {
        case 0:
            return (wholeSeconds * 24 + tc.frames) / 24.0;
        case 1:
            return (wholeSeconds * 25 + tc.frames) / 25.0;
        case 2: {
            // Drop-frame: two labels are skipped at the start of every minute but each tenth,
            // so the frame number is the label count less the skipped labels before it.
            const long long minutes = tc.hours * 60LL + tc.minutes;
            const long long frame = wholeSeconds * 30 + tc.frames - 2 * (minutes - minutes / 10);
            return frame * 1001.0 / 30000.0;
        }
        default:
            return (wholeSeconds * 30 + tc.frames) / 30.0;
    }
}

double quarterSeconds(int rate) {
    return frameSeconds(rate) / 4.0;
}

bool isDroppedLabel(const Timecode& tc) {
    return tc.rate == 2 && tc.seconds == 0 && tc.frames < 2 && tc.minutes % 10 != 0;
}

std::string format(const Timecode& tc) {
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d@%d", tc.hours, tc.minutes, tc.seconds,
                  tc.rate == 2 ? ';' : ':', tc.frames, tc.rate);
    return text;
}

MtcCapture decodeMtc(const std::vector<RecordEntry>& entries, int port) {
    MtcCapture capture;
    std::map<long long, double> callTimes;
    std::vector<double> opens;  // a new port session: quarter frames before it do not count
    for (const RecordEntry& entry : entries) {
        if (entry.event == "midiOutOpen" && entry.field("result") == "0") {
            opens.push_back(entry.at);
        }
        if ((entry.event == "midiOutShortMsg" || entry.event == "midiOutLongMsg") &&
            entry.field("result") == "0" && entry.has("seq")) {
            callTimes[entry.number("seq")] = entry.at;
        }
    }
    double lastQuarterCallAt = -1;  // of the message before, when it was a quarter frame
    int expectedPiece = 0;  // after a full frame (or at the start) a cycle begins with piece 0
    int assembled = -1;     // pieces of the current cycle received in order, -1: none
    uint8_t nibbles[8] = {};
    QuarterCycle cycle;
    for (const RecordEntry& entry : entries) {
        if (entry.event != "wire" || entry.number("port") != port) {
            continue;
        }
        WireMessage message;
        message.seq = entry.number("seq");
        message.wireStart = static_cast<double>(entry.number("start")) / 1e6;
        message.wireEnd = static_cast<double>(entry.number("end")) / 1e6;
        message.bytes = hexBytes(entry.field("bytes"));
        const auto call = callTimes.find(message.seq);
        message.callAt = call == callTimes.end() ? message.wireStart : call->second;
        capture.messages.push_back(message);
        const std::vector<uint8_t>& b = message.bytes;
        const double quarterBefore = lastQuarterCallAt;
        lastQuarterCallAt = -1;
        if (b.size() == 2 && b[0] == 0xF1 && b[1] < 0x80) {
            capture.quarters.push_back(message);
            lastQuarterCallAt = message.callAt;
            const int piece = (b[1] >> 4) & 7;
            if (piece != expectedPiece) {
                capture.breaks.push_back("piece " + std::to_string(piece) + " where " +
                                         std::to_string(expectedPiece) + " was due (seq " +
                                         std::to_string(message.seq) + ")");
            }
            expectedPiece = (piece + 1) % 8;
            if (piece == 0) {
                assembled = 0;
                cycle = QuarterCycle();
                cycle.firstCallAt = message.callAt;
                cycle.firstWireAt = message.wireStart;
            }
            if (assembled == piece) {
                nibbles[piece] = b[1] & 0x0F;
                assembled = piece + 1;
                if (piece == 7) {
                    cycle.tc.frames = nibbles[0] | ((nibbles[1] & 1) << 4);
                    cycle.tc.seconds = nibbles[2] | ((nibbles[3] & 3) << 4);
                    cycle.tc.minutes = nibbles[4] | ((nibbles[5] & 3) << 4);
                    cycle.tc.hours = nibbles[6] | ((nibbles[7] & 1) << 4);
                    cycle.tc.rate = (nibbles[7] >> 1) & 3;
                    capture.cycles.push_back(cycle);
                    assembled = -1;
                }
            } else {
                assembled = -1;
            }
        } else if (b.size() == 10 && b[0] == 0xF0 && b[1] == 0x7F && b[2] == 0x7F && b[3] == 0x01 &&
                   b[4] == 0x01 && b[9] == 0xF7) {
            FullFrame frame;
            frame.message = message;
            frame.tc.rate = (b[5] >> 5) & 3;
            frame.tc.hours = b[5] & 0x1F;
            frame.tc.minutes = b[6];
            frame.tc.seconds = b[7];
            frame.tc.frames = b[8];
            double sessionStart = -1;
            for (double open : opens) {
                sessionStart = open <= message.callAt ? open : sessionStart;
            }
            frame.lateTick = quarterBefore > sessionStart &&
                             message.callAt - quarterBefore > quarterSeconds(frame.tc.rate);
            capture.fullFrames.push_back(frame);
            expectedPiece = 0;
            assembled = -1;
        } else {
            std::string hex;
            for (uint8_t byte : b) {
                char two[3];
                std::snprintf(two, sizeof two, "%02X", byte);
                hex += two;
            }
            capture.strays.push_back(hex);
        }
    }
    return capture;
}

std::vector<FullFrame> MtcCapture::requested() const {
    std::vector<FullFrame> out;
    for (const FullFrame& frame : fullFrames) {
        if (!frame.lateTick) {
            out.push_back(frame);
        }
    }
    return out;
}

size_t MtcCapture::lateTicks() const {
    return fullFrames.size() - requested().size();
}

// ---------------------------------------------------------------------------------------------

std::string transportLine(const std::optional<std::string>& track, double position, bool playing,
                          double sentAtUnixMs, bool locate) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  ",\"position\":%.6f,\"playing\":%s,\"sentAtUnixMs\":%.3f", position,
                  playing ? "true" : "false", sentAtUnixMs);
    std::string line = "{\"command\":\"transport\",\"trackId\":";
    line += track ? "\"" + *track + "\"" : std::string("null");
    line += numbers;
    if (locate) {
        line += ",\"locate\":true";
    }
    line += "}";
    return line;
}

Player::Player(ServiceHost& host) : host_(host) {}

Player::~Player() {
    stopReports();
}

Player::Segment Player::current(double t) {
    Segment found{0, "", 0, false};
    for (const Segment& segment : history_) {
        if (segment.from <= t) {
            found = segment;
        }
    }
    return found;
}

double Player::positionAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Segment s = current(t);
    return s.playing ? s.position + (t - s.from) : s.position;
}

double Player::changedBefore(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return current(t).from;
}

bool Player::playingAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return current(t).playing;
}

void Player::sendLocked(double t, bool locate) {
    const Segment s = current(t);
    const double position = s.playing ? s.position + (t - s.from) : s.position;
    host_.send(transportLine(s.track, position, s.playing, unixMsNow(), locate));
    lastReportAt_ = t;
}

void Player::play(const std::string& track, double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    history_.push_back(Segment{t, track, position, true});
    sendLocked(t, locate);
}

void Player::pause(bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(
        Segment{t, s.track, s.playing ? s.position + (t - s.from) : s.position, false});
    sendLocked(t, locate);
}

void Player::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(Segment{t, s.track, s.position, true});
    sendLocked(t, false);
}

void Player::seek(double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(Segment{t, s.track, position, s.playing});
    sendLocked(t, locate);
}

void Player::shift(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    const double position = (s.playing ? s.position + (t - s.from) : s.position) + seconds;
    history_.push_back(Segment{t, s.track, position, s.playing});
    sendLocked(t, false);
}

void Player::report(bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(hostNow(), locate);
}

void Player::startReports(double period) {
    stopReports();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reporting_ = true;
    }
    thread_ = std::thread([this, period] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (reporting_) {
            const double now = hostNow();
            const double due = lastReportAt_ + period;
            if (now >= due) {
                sendLocked(now, false);
                continue;
            }
            wake_.wait_for(lock,
                           std::chrono::microseconds(static_cast<long long>((due - now) * 1e6)));
        }
    });
}

void Player::stopReports() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reporting_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

double Player::lastReportAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReportAt_;
}

}  // namespace mtctest
