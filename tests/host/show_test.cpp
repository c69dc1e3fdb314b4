// mtc-host end to end under Wine: it starts the real mtc-service, which drives the simulated
// MIDI port, plays a short show and reports. The figures are held to honest bounds for a
// loaded machine under Wine, not to what a quiet Windows would reach.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "check/json.h"
#include "check/win/clock.h"
#include "check/win/files.h"
#include "check/win/process.h"

namespace {

using mtccheck::Json;

constexpr int64_t kRunLimitUs = 120 * 1000000LL;

struct HostRun {
    long exitCode = -2;
    std::vector<std::string> lines;
    std::string all() const {
        std::string s;
        for (const std::string& l : lines) {
            s += l + "\n";
        }
        return s;
    }
};

// A folder of its own under the temporary folder, emptied of what an earlier run left.
std::wstring freshFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring dir =
        std::wstring(temp, n) + name + std::to_wstring(GetCurrentProcessId()) + L"\\";
    mtccheck::makeFolders(dir);
    for (const wchar_t* f : {L"report.json", L"receiver-error.svg", L"wire.log"}) {
        DeleteFileW((dir + f).c_str());
    }
    return dir;
}

void writeText(const std::wstring& path, const std::string& text) {
    std::string error;
    ASSERT_TRUE(mtccheck::writeFile(path, text, error)) << error;
}

// The folder as a command-line argument: without its final backslash, which would escape the
// closing quote under the usual command-line rules.
std::wstring quotedFolder(const std::wstring& dir) {
    return L"\"" + dir.substr(0, dir.size() - 1) + L"\"";
}

// Runs mtc-host.exe from this program's folder and collects its output, within a time limit.
HostRun runHost(const std::wstring& arguments) {
    HostRun run;
    mtccheck::ChildProcess host;
    mtccheck::ChildOptions options;
    options.program = mtccheck::programFolder() + L"mtc-host.exe";
    options.arguments = arguments;
    options.unterminatedLastLine = true;
    std::string error;
    if (!host.start(options, error)) {
        ADD_FAILURE() << error;
        return run;
    }
    const int64_t deadline = mtccheck::nowMicros() + kRunLimitUs;
    while (!host.outputEnded() && mtccheck::nowMicros() < deadline) {
        if (std::optional<mtccheck::OutputLine> line = host.readLine(0.5)) {
            // A line's own end, as a person's terminal would take it; a carriage return
            // anywhere else is a status line redrawn in place.
            if (!line->text.empty() && line->text.back() == '\r') {
                line->text.pop_back();
            }
            run.lines.push_back(line->text);
        }
    }
    run.exitCode = host.finish(5000);
    return run;
}

const Json& member(const Json& j, const char* key) {
    static const Json missing;
    const Json* m = j.find(key);
    EXPECT_NE(m, nullptr) << key;
    return m != nullptr ? *m : missing;
}

TEST(HostShow, aShortShowOnTheSimulatedPortStaysWithinHonestBounds) {
    const std::wstring dir = freshFolder(L"mtc-host-show-");
    writeText(dir + L"ports.txt", "port name=\"Show Port\"\n");
    writeText(dir + L"show.txt",
              "fps 25\noffset 1:00:00\ntrack t1\nplay\nwait 1.5\nseek 40\nwait 1\npause\n"
              "wait 0.5\nplay\nwait 1\nstop\n");
    SetEnvironmentVariableW(L"MTC_SIMPORT_SCENARIO", (dir + L"ports.txt").c_str());
    SetEnvironmentVariableW(L"MTC_SIMPORT_LOG", (dir + L"wire.log").c_str());
    const HostRun run = runHost(L"--script \"" + dir + L"show.txt\" --report " + quotedFolder(dir));
    SetEnvironmentVariableW(L"MTC_SIMPORT_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"MTC_SIMPORT_LOG", nullptr);
    SCOPED_TRACE(run.all());
    ASSERT_EQ(run.exitCode, 0);

    // Output to a pipe is plain lines: no status line redrawn in place.
    EXPECT_EQ(run.all().find('\r'), std::string::npos);
    EXPECT_NE(run.all().find("< {\"id\":2,\"ok\":true}"), std::string::npos);
    EXPECT_NE(run.all().find("Receiver error, whole show"), std::string::npos);

    std::string text, error;
    ASSERT_TRUE(mtccheck::readFile(dir + L"report.json", text, error)) << error;
    Json report;
    ASSERT_TRUE(mtccheck::parseJson(text, report, error)) << error;
    const Json& causes = member(report, "fullFramesByCause");
    EXPECT_EQ(member(causes, "first report").number, 1);
    EXPECT_EQ(member(causes, "seek").number, 1);
    EXPECT_EQ(member(causes, "pause").number, 1);
    EXPECT_EQ(member(causes, "resume").number, 1);
    EXPECT_EQ(member(report, "fullFrames").number,
              4 + member(causes, "late tick").number + member(causes, "report gap").number);
    EXPECT_EQ(member(report, "missedLocates").number, 0);
    EXPECT_EQ(member(report, "brokenCycles").number, 0);
    EXPECT_EQ(member(report, "segments").items.size(), 4u);

    // Outside the settling after each locate the receiver is within a frame (40 ms: labels
    // name the frame a position is in) plus a quarter interval (10 ms) plus a few ms.
    const Json& err = member(report, "receiverErrorMs");
    EXPECT_GT(member(err, "count").number, 300);
    EXPECT_LE(member(err, "p99").number, 40 + 10 + 5);
    // Quarter frames never leave before their schedule. They are late by the time it takes to
    // learn that the full frame has gone (the driver's notice, the service's 1 ms polling) plus
    // the service's wake-up; a quarter frame due more than an interval ago is replaced by a
    // full frame, so lateness stays within about an interval (10 ms) plus a few ms.
    const Json& late = member(report, "quarterLatenessMs");
    EXPECT_GE(member(late, "min").number, -0.001);  // microsecond times, rounded
    EXPECT_LE(member(late, "p50").number, 6);
    EXPECT_LE(member(late, "p99").number, 10 + 5);
    EXPECT_LE(member(member(report, "locateLatencyMs"), "max").number, 50);
    // 3.5 s of playing at 100 quarter frames a second, less a few around each locate.
    EXPECT_GE(member(report, "quarterFrames").number, 300);
    EXPECT_LE(member(report, "quarterFrames").number, 360);
    const Json& cpu = member(report, "serviceCpuMsPerSecond");
    EXPECT_TRUE(cpu.kind == Json::kNull || (cpu.isNumber() && cpu.number >= 0));

    ASSERT_TRUE(mtccheck::readFile(dir + L"receiver-error.svg", text, error)) << error;
    EXPECT_EQ(text.rfind("<svg ", 0), 0u);
}

TEST(HostShow, aScriptMistakeNamesItsLineAndStartsNothing) {
    const std::wstring dir = freshFolder(L"mtc-host-bad-");
    writeText(dir + L"bad.txt", "fps 25\ntrack t1\nplay\nwait 1\nfast-forward\n");
    const HostRun run = runHost(L"--script \"" + dir + L"bad.txt\" --report " + quotedFolder(dir));
    SCOPED_TRACE(run.all());
    EXPECT_EQ(run.exitCode, 2);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], "mtc-host: " + mtccheck::narrow(dir) +
                                "bad.txt line 5: unknown command \"fast-forward\" (expected fps, "
                                "offset, track, play, pause, seek, locate, wait or stop)");
    EXPECT_EQ(GetFileAttributesW((dir + L"report.json").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
