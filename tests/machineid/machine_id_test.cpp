// machine-id.exe is run as a child process against the registry of this test's own Wine
// prefix: each case stores a MachineGuid value (as raw bytes, so malformed values can be
// written too), runs the program and checks its one line and exit code. The original value is
// put back after every test, also after a failed one.
//
// Those cases write HKLM, which on Windows itself identifies the machine to other software:
// they run only inside the Wine prefix the build names (MTC_WRITABLE_WINEPREFIX, set only by a
// build whose tests run under Wine) and skip everywhere else, saying so. The read-only cases
// (the validation and error words, the machine's own value, refused command lines) run
// everywhere.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "guid_value.h"

namespace {

constexpr wchar_t kKeyPath[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kValueName[] = L"MachineGuid";
const std::wstring kGuid = L"3f2504e0-4f89-11d3-9a0c-0305e82c3301";
const std::string kGuidLine = "{\"version\":1,\"guid\":\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"}\n";
const std::string kInvalidLine = "{\"version\":1,\"error\":\"invalid\",\"win32Code\":13}\n";
const std::string kBadArgumentLine = "{\"version\":1,\"error\":\"unavailable\",\"win32Code\":87}\n";
constexpr DWORD kChildTimeLimitMs = 20000;

#ifdef MTC_WRITABLE_WINEPREFIX
const char kWritablePrefix[] = MTC_WRITABLE_WINEPREFIX;
#else
const char kWritablePrefix[] = "";  // a build for Windows itself: never write
#endif

std::wstring widened(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      &wide[0], static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

// Why the registry-writing cases may not run, or "" when they may: only under Wine, in the
// prefix this build named, as the WINEPREFIX variable of the process that started us says.
std::string refusalToWrite(bool underWine, const std::wstring& winePrefix) {
    if (kWritablePrefix[0] == '\0') {
        return "this build runs its tests on Windows itself, where MachineGuid names the machine";
    }
    if (!underWine) {
        return "not running under Wine, so the registry is a real machine's";
    }
    if (winePrefix != widened(kWritablePrefix)) {
        return "not in the Wine prefix of this build (" + std::string(kWritablePrefix) + ")";
    }
    return std::string();
}

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring winePrefixVariable() {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", value, 32768);
    return n > 0 && n < 32768 ? std::wstring(value, n) : std::wstring();
}

std::string refusalHere() {
    return refusalToWrite(runningUnderWine(), winePrefixVariable());
}

// The UTF-16 units of `text` as bytes, without a terminator unless `text` holds one.
std::vector<BYTE> bytesOf(const std::wstring& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(p, p + text.size() * sizeof(wchar_t));
}

std::wstring terminated(std::wstring text) {
    return text.append(1, L'\0');
}

// `text` followed by spaces up to exactly `bytes` bytes.
std::vector<BYTE> paddedTo(const std::wstring& text, std::size_t bytes) {
    return bytesOf(text + std::wstring(bytes / 2 - text.size(), L' '));
}

std::vector<BYTE> withoutLastByte(std::vector<BYTE> bytes) {
    bytes.pop_back();
    return bytes;
}

std::string readAll(HANDLE pipe) {
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

enum class Stdout { Pipe, PipeWithoutReader, None };

// Runs machine-id.exe from this program's folder with `arguments` appended to its command line.
ChildRun runMachineId(const std::wstring& arguments, Stdout stdoutKind = Stdout::Pipe) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH);
    std::wstring program(self, length);
    program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"machine-id.exe";
    std::wstring commandLine = L"\"" + program + L"\"" + arguments;

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &inheritable, 0));
    EXPECT_TRUE(CreatePipe(&errRead, &errWrite, &inheritable, 0));
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    if (stdoutKind == Stdout::PipeWithoutReader) {
        CloseHandle(outRead);
        outRead = nullptr;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = stdoutKind == Stdout::None ? nullptr : outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    ChildRun run;
    EXPECT_TRUE(started) << "CreateProcessW failed with " << GetLastError();
    if (started) {
        if (WaitForSingleObject(process.hProcess, kChildTimeLimitMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "machine-id.exe did not finish in time";
            TerminateProcess(process.hProcess, 0xFFFFFFFF);
            WaitForSingleObject(process.hProcess, kChildTimeLimitMs);
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (outRead != nullptr) {
        run.out = readAll(outRead);
        CloseHandle(outRead);
    }
    run.err = readAll(errRead);
    CloseHandle(errRead);
    return run;
}

// The cases that store MachineGuid values; they skip, naming the reason, where they may not.
class MachineIdProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string refusal = refusalHere();
        if (!refusal.empty()) {
            GTEST_SKIP() << "skipped, it would write HKLM MachineGuid: " << refusal;
        }
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key_),
                  ERROR_SUCCESS);
        DWORD size = 0;
        const LSTATUS found =
            RegQueryValueExW(key_, kValueName, nullptr, &savedType_, nullptr, &size);
        ASSERT_TRUE(found == ERROR_SUCCESS || found == ERROR_FILE_NOT_FOUND) << found;
        saved_.resize(size);
        if (found == ERROR_SUCCESS) {
            ASSERT_EQ(
                RegQueryValueExW(key_, kValueName, nullptr, &savedType_, saved_.data(), &size),
                ERROR_SUCCESS);
            saved_.resize(size);
        }
        hadValue_ = found == ERROR_SUCCESS;
        originalKnown_ = true;
    }

    void TearDown() override {
        if (originalKnown_) {
            if (hadValue_) {
                EXPECT_EQ(setExactly(savedType_, saved_), ERROR_SUCCESS);
            } else {
                RegDeleteValueW(key_, kValueName);
            }
        }
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }

    void store(DWORD type, const std::vector<BYTE>& bytes) {
        ASSERT_EQ(setExactly(type, bytes), ERROR_SUCCESS);
        DWORD storedSize = 0;
        ASSERT_EQ(RegQueryValueExW(key_, kValueName, nullptr, nullptr, nullptr, &storedSize),
                  ERROR_SUCCESS);
        ASSERT_EQ(storedSize, bytes.size());
    }

    void removeValue() {
        const LSTATUS removed = RegDeleteValueW(key_, kValueName);
        ASSERT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << removed;
    }

  private:
    // RegSetValueExW appends a terminator to a string value whose data is followed in memory
    // by a zero unit, so the data is followed by a non-zero one to store exactly `bytes`.
    LSTATUS setExactly(DWORD type, const std::vector<BYTE>& bytes) {
        std::vector<BYTE> data(bytes);
        data.insert(data.end(), {0xFF, 0xFF});
        return RegSetValueExW(key_, kValueName, 0, type, data.data(),
                              static_cast<DWORD>(bytes.size()));
    }

    HKEY key_ = nullptr;
    bool originalKnown_ = false;  // only then may TearDown write the value back
    bool hadValue_ = false;
    DWORD savedType_ = 0;
    std::vector<BYTE> saved_;
};

struct StoredCase {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
    std::string line;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const StoredCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<StoredCase> storedCases() {
    const std::string ok = kGuidLine;
    const std::string tooLarge = "{\"version\":1,\"error\":\"invalid\",\"win32Code\":234}\n";
    return {
        {"LowerCaseWithTerminatorPrintsInUpperCase", REG_SZ, bytesOf(terminated(kGuid)), ok},
        {"LowerCaseWithoutTerminatorPrintsTheSame", REG_SZ, bytesOf(kGuid), ok},
        {"SpacesAndTabsAroundAreTrimmed", REG_SZ, bytesOf(terminated(L" \t " + kGuid + L"\t  ")),
         ok},
        {"CarriageReturnsAroundAreInvalid", REG_SZ, bytesOf(terminated(L"\r" + kGuid + L"\r")),
         kInvalidLine},
        {"LineFeedAfterIsInvalid", REG_SZ, bytesOf(terminated(kGuid + L"\n")), kInvalidLine},
        {"BracesAroundAreInvalid", REG_SZ, bytesOf(terminated(L"{" + kGuid + L"}")), kInvalidLine},
        {"NilGuidIsInvalid", REG_SZ, bytesOf(terminated(L"00000000-0000-0000-0000-000000000000")),
         kInvalidLine},
        {"ExpandableStringIsInvalid", REG_EXPAND_SZ, bytesOf(terminated(kGuid)), kInvalidLine},
        {"OddByteCountIsInvalid", REG_SZ, withoutLastByte(bytesOf(terminated(kGuid))),
         kInvalidLine},
        {"ZeroBytesAreInvalid", REG_SZ, {}, kInvalidLine},
        {"TwoTerminatorsAreInvalid", REG_SZ, bytesOf(terminated(terminated(kGuid))), kInvalidLine},
        {"ValueFillingTheWholeBufferIsRead", REG_SZ, paddedTo(kGuid, 65536), ok},
        {"ValueOneUnitLargerThanTheBufferIsTooLarge", REG_SZ, paddedTo(kGuid, 65538), tooLarge},
    };
}

class MachineIdWithStoredValue : public MachineIdProgram,
                                 public ::testing::WithParamInterface<StoredCase> {};

TEST_P(MachineIdWithStoredValue, PrintsOneLineAndExitsWithZeroOnlyForAGuid) {
    store(GetParam().type, GetParam().bytes);
    const ChildRun run = runMachineId(L"");
    EXPECT_EQ(run.out, GetParam().line);
    EXPECT_EQ(run.exitCode, GetParam().line == kGuidLine ? 0u : 1u);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, MachineIdWithStoredValue, ::testing::ValuesIn(storedCases()),
                         [](const ::testing::TestParamInfo<StoredCase>& stored) {
                             return std::string(stored.param.name);
                         });

TEST_F(MachineIdProgram, ReadMachineGuidArgumentAlonePrintsTheGuid) {
    store(REG_SZ, bytesOf(terminated(kGuid)));
    const ChildRun run = runMachineId(L" --read-machine-guid");
    EXPECT_EQ(run.out, kGuidLine);
    EXPECT_EQ(run.exitCode, 0u);
}

TEST_F(MachineIdProgram, MissingValueIsReportedAsMissingWithItsCode) {
    removeValue();
    const ChildRun run = runMachineId(L"");
    EXPECT_EQ(run.out, "{\"version\":1,\"error\":\"missing\",\"win32Code\":2}\n");
    EXPECT_EQ(run.exitCode, 1u);
}

const wchar_t* const kRefusedCommandLines[] = {
    L" --read-machine-guid --read-machine-guid",
    L" --READ-MACHINE-GUID",
    L" --read-machine-guid=yes",
    L" \"\"",
    L" /read-machine-guid",
    L" \xFF0D\xFF0Dread-machine-guid",  // full-width hyphens
    L" --version",
};

void expectEveryOtherCommandLineRefused() {
    for (const wchar_t* arguments : kRefusedCommandLines) {
        const ChildRun run = runMachineId(arguments);
        EXPECT_EQ(run.out, kBadArgumentLine) << "arguments:" << testing::PrintToString(arguments);
        EXPECT_EQ(run.exitCode, 1u);
    }
}

TEST(MachineIdCommandLine, AnyOtherCommandLineIsRefusedWithItsOneLine) {
    expectEveryOtherCommandLineRefused();
}

// With the value deleted, a program that read the registry would report "missing" (2).
TEST_F(MachineIdProgram, AnyOtherCommandLineIsRefusedWithoutReadingTheRegistry) {
    removeValue();
    expectEveryOtherCommandLineRefused();
}

// Read-only: whatever this machine (or prefix) holds, one line of one of the two shapes, and
// when that line cannot be written, exit code 1.
TEST(MachineIdOwnValue, TheMachinesOwnValueGivesOneLineAndAnUnwritableOutputGivesExitCodeOne) {
    const ChildRun run = runMachineId(L"");
    const std::string guidStart = "{\"version\":1,\"guid\":\"";
    const std::string errorStart = "{\"version\":1,\"error\":\"";
    if (run.exitCode == 0) {
        ASSERT_EQ(run.out.size(), guidStart.size() + 36 + 3) << run.out;
        EXPECT_EQ(run.out.substr(0, guidStart.size()), guidStart);
        EXPECT_EQ(run.out.substr(run.out.size() - 3), "\"}\n");
    } else {
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out.substr(0, errorStart.size()), errorStart) << run.out;
    }
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(run.err, "");
    for (Stdout kind : {Stdout::PipeWithoutReader, Stdout::None}) {
        EXPECT_EQ(runMachineId(L"", kind).exitCode, 1u) << "stdout kind " << static_cast<int>(kind);
    }
}

TEST_F(MachineIdProgram, UnwritableStandardOutputGivesExitCodeOneForAValidGuid) {
    store(REG_SZ, bytesOf(terminated(kGuid)));
    for (Stdout kind : {Stdout::PipeWithoutReader, Stdout::None}) {
        const ChildRun run = runMachineId(L"", kind);
        EXPECT_EQ(run.exitCode, 1u) << "stdout kind " << static_cast<int>(kind);
        EXPECT_EQ(run.err, "");
    }
}

// The build's setting decides: a build for Windows itself never writes, whatever the
// environment claims; a build for Wine writes only in the prefix it named. Under Wine that build
// must be able to write, or its suite would silently lose the stored-value cases.
TEST(MachineIdRegistryGuard, WritesOnlyInTheWinePrefixTheBuildNamedAndNeverOnWindowsItself) {
    const std::wstring named = widened(kWritablePrefix);
    struct Case {
        const char* what;
        bool underWine;
        std::wstring prefix;
        bool writes;
    };
    const bool wineBuild = kWritablePrefix[0] != '\0';
    const Case cases[] = {
        {"the named prefix under Wine", true, named, wineBuild},
        {"another prefix", true, L"/home/someone/.wine", false},
        {"no prefix variable", true, L"", false},
        {"the named prefix outside Wine", false, named, false},
        {"Windows itself", false, L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusalToWrite(c.underWine, c.prefix).empty(), c.writes) << c.what;
    }
    if (!wineBuild) {
        EXPECT_NE(refusalHere(), "");
    } else if (runningUnderWine()) {
        EXPECT_EQ(refusalHere(), "") << "the Wine build's tests run outside the prefix it named";
    }
    std::printf("machineid_test: %s\n",
                refusalHere().empty()
                    ? "the cases that store MachineGuid run, in this build's Wine prefix"
                    : ("the cases that store MachineGuid are skipped: " + refusalHere()).c_str());
}

struct WordCase {
    std::uint32_t code;
    const char* word;
};

TEST(MachineIdErrorWord, NamesEachWindowsCodeAsTheCallerExpects) {
    const WordCase cases[] = {
        {5, "access_denied"}, {1314, "access_denied"}, {2, "missing"},
        {3, "missing"},       {13, "invalid"},         {234, "invalid"},
        {87, "unavailable"},  {6, "unavailable"},      {1, "unavailable"},
        {4, "unavailable"},   {1313, "unavailable"},   {0xFFFFFFFF, "unavailable"},
    };
    for (const WordCase& c : cases) {
        EXPECT_STREQ(machineid::errorWord(c.code), c.word) << "code " << c.code;
    }
}

struct ValueCase {
    const char* what;
    std::uint32_t type;
    std::wstring text;
    const char* guid;  // nullptr when the value must be refused
};

// Finer character-level cases, checked directly on the validation.
TEST(MachineIdGuidCheck, AcceptsOnlyAsciiHexDigitsWithHyphensInPlace) {
    const char* upper = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
    const ValueCase cases[] = {
        {"mixed case", REG_SZ, L"3F2504e0-4F89-11d3-9A0C-0305E82C3301", upper},
        {"one digit away from nil", REG_SZ, L"00000000-0000-0000-0000-000000000001",
         "00000000-0000-0000-0000-000000000001"},
        {"blanks before the terminator", REG_SZ, terminated(kGuid + L" \t"), upper},
        {"blank after the terminator", REG_SZ, terminated(kGuid) + L" ", nullptr},
        {"multi-string", REG_MULTI_SZ, terminated(terminated(kGuid)), nullptr},
        {"no-break spaces around", REG_SZ, L"\x00A0" + kGuid + L"\x00A0", nullptr},
        {"letter whose low byte is a hex digit", REG_SZ,
         L"3f2504e0-4f89-11d3-9a0c-0305e82c330\x0141", nullptr},
        {"full-width digit", REG_SZ, L"3f2504e0-4f89-11d3-9a0c-0305e82c330\xFF11", nullptr},
        {"letter past f", REG_SZ, L"3f2504e0-4f89-11d3-9a0c-0305e82c330g", nullptr},
        {"en dash for a hyphen", REG_SZ,
         L"3f2504e0-4f89\x2013"
         L"11d3-9a0c-0305e82c3301",
         nullptr},
        {"hyphen shifted", REG_SZ, L"3f2504e-04f89-11d3-9a0c-0305e82c3301", nullptr},
        {"no hyphens", REG_SZ, L"3f2504e04f8911d39a0c0305e82c33013f20", nullptr},
        {"blanks only", REG_SZ, L" \t ", nullptr},
    };
    for (const ValueCase& c : cases) {
        const std::vector<BYTE> bytes = bytesOf(c.text);
        machineid::Result result;
        std::memset(result.guid, 'X', sizeof result.guid);
        result.error = "untouched";
        result.code = 99;
        const bool accepted =
            machineid::acceptGuidValue(c.type, bytes.data(), bytes.size(), result);
        if (c.guid != nullptr) {
            EXPECT_TRUE(accepted) << c.what;
            EXPECT_EQ(std::string(result.guid, sizeof result.guid),
                      std::string(c.guid) + std::string(4, '\0'))
                << c.what;
            EXPECT_EQ(result.error, nullptr) << c.what;
            EXPECT_EQ(result.code, 0u) << c.what;
        } else {
            EXPECT_FALSE(accepted) << c.what;
            // No digits of a half-checked value may be left behind for the output step.
            EXPECT_EQ(std::string(result.guid, sizeof result.guid), std::string(40, '\0'))
                << c.what;
            EXPECT_STREQ(result.error, "invalid") << c.what;
            EXPECT_EQ(result.code, 13u) << c.what;
        }
    }
}

}  // namespace
