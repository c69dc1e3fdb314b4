// The fault matrix: every fault the simulated MIDI port can produce, injected at each stage of
// a show where it can bite, against the running service. Each row names the stage, the fault
// and exactly what the host must read: the reply, the event or the driver's last-resort line,
// then either the exit code or, where the service survives, that it answers a "stop" and plays
// again after the fault is gone. Every wait has a time limit, so a hang fails its row.
//
// Rows run two at a time; each row has its own service, port and files.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace reltest {
namespace {

using namespace mtctest;

// Texts the sink reports for refused WinMM calls; the simulated port's default code is 1.
const std::string kPrepareRefused = "无法准备 MTC 定位消息 (WinMM 1)";
const std::string kSendRefused = "MTC 定位发送失败 (WinMM 1)";
const std::string kShortRefused = "MTC 发送失败 (WinMM 1)";
const std::string kUnprepareRefused = "MTC 输出缓冲区未能释放 (WinMM 1)";

// A second port, so that a renumbering has another port to point at.
constexpr char kTwoPorts[] =
    "port name=\"Player port\" path=\"sim#play\"\nport name=\"Other\" path=\"sim#other\"\n";
// The player's port plugged in again (a new declaration with the same identity).
constexpr char kReplug[] = "port name=\"Player port\" path=\"sim#play\"";

enum class Stage {
    Start,           // the fault is there when "start" (id 1) arrives
    FirstFull,       // running; the first report (id 2) sends the first full frame
    Steady,          // playing for 300 ms with reports every 20 ms, then the fault
    LocateInFlight,  // the first report (id 2) and a seek with locate (id 3) in one write
    Stop,            // after 200 ms of play: the fault, then a locate (id 8) and "stop" (id 9)
    EndOfInput,      // after 200 ms of play: the fault, then a locate (id 8) and end of input
    QueuedAtEnd,     // "stop" (id 9) blocks in the port's close; ids 10-12 and end of input follow
};

// What the wire must show besides the lines.
enum class Wire {
    Any,
    ResetThenEndOfExclusive,  // the stuck message was reset and ended with F7
    NewestLocateOnly,         // two full frames: the first report's and the seek's
};

struct Row {
    const char* what;
    Stage stage;
    std::string scenario;              // ports and faults present from the start
    std::vector<std::string> inject;   // control lines applied at the stage
    std::vector<std::string> lines;    // exactly what the host reads after the stage's action
    std::optional<DWORD> exitCode;     // none: the service survives and must play again
    std::vector<std::string> recover;  // control lines that end the fault before the restart
    Wire wire = Wire::Any;
    bool locate = false;  // Stop and EndOfInput: send the locate (id 8) before the stop or end
    // Other answers that are just as right, where timing decides which one comes: a locate
    // handled after the frame before it has left is sent at once, so a refusal meets the
    // command itself instead of a later step (or the step comes first and stops the output).
    std::vector<std::vector<std::string>> orLines = {};
};

std::string withId(const std::string& line, int id) {
    return "{\"id\":" + std::to_string(id) + "," + line.substr(1);
}

std::string report(int id, double position, bool locate) {
    return withId(transportLine(std::string("show"), position, true, unixMillisNow(), locate), id);
}

const std::string kClear = "fault clear";

std::vector<Row> matrix() {
    const std::string one = kPlayerPortScenario;
    const std::string ok1 = okLine("1"), ok2 = okLine("2"), ok3 = okLine("3"), ok8 = okLine("8"),
                      ok9 = okLine("9");
    const std::string fatal = kDriverStuckLine;
    return {
        // ---- start --------------------------------------------------------------------------
        {"start: the port is held by another program (open refused)",
         Stage::Start,
         one + "fault open port=0\n",
         {},
         {failureLine("1", kPortBusy)},
         std::nullopt,
         {kClear}},
        {"start: the port was unplugged before the start",
         Stage::Start,
         one + "fault detach port=0\n",
         {},
         {failureLine("1", kPortGone)},
         std::nullopt,
         {kReplug}},
        {"start: the port's capabilities cannot be read",
         Stage::Start,
         one + "fault caps port=0\n",
         {},
         {failureLine("1", kPortGone)},
         std::nullopt,
         {kClear}},
        {"start: the ports are renumbered between the listing and the open",
         Stage::Start,
         std::string(kTwoPorts) + "fault reorder order=1,0 handles=stay on=midiOutOpen:1\n",
         {},
         {failureLine("1", kDetached)},
         std::nullopt,
         {kClear}},
        {"start: a start that replaces running output cannot close the port",
         Stage::Start,
         one + "fault close port=0 on=midiOutClose:1\n",
         {},
         {ok1, fatal},
         2,
         {}},
        // ---- first full frame ---------------------------------------------------------------
        {"first full frame: preparing the header is refused",
         Stage::FirstFull,
         one + "fault prepare port=0\n",
         {},
         {ok1, failureLine("2", kPrepareRefused)},
         std::nullopt,
         {kClear}},
        {"first full frame: sending the long message is refused",
         Stage::FirstFull,
         one + "fault long port=0\n",
         {},
         {ok1, failureLine("2", kSendRefused)},
         std::nullopt,
         {kClear}},
        {"first full frame: the driver never completes it",
         Stage::FirstFull,
         one + "fault stuck port=0 times=1\n",
         {},
         {ok1, ok2, errorEventLine(kLocateTimeout)},
         std::nullopt,
         {kClear},
         Wire::ResetThenEndOfExclusive},
        {"first full frame: releasing the done header is refused once",
         Stage::FirstFull,
         one + "fault unprepare port=0 times=1\n",
         {},
         {ok1, ok2, errorEventLine(kUnprepareRefused)},
         std::nullopt,
         {kClear}},
        {"first full frame: the driver never gives the header back",
         Stage::FirstFull,
         one + "fault unprepare port=0\n",
         {},
         {ok1, ok2, fatal},
         2,
         {}},
        {"first full frame: stuck, and the reset is refused",
         Stage::FirstFull,
         one + "fault stuck port=0 times=1\nfault reset port=0\n",
         {},
         {ok1, ok2, fatal},
         2,
         {}},
        {"first full frame: stuck, and the reset never returns the header",
         Stage::FirstFull,
         one + "fault stuck port=0 times=1\nfault resetnodone port=0\n",
         {},
         {ok1, ok2, fatal},
         2,
         {}},
        {"first full frame: the port is unplugged while it is on the wire",
         Stage::FirstFull,
         one,
         {"fault detach port=0"},
         {ok1, ok2, errorEventLine(kDetached)},
         std::nullopt,
         {kReplug}},
        {"first full frame: the first quarter frame after it is refused",
         Stage::FirstFull,
         one + "fault short port=0 times=1\n",
         {},
         {ok1, ok2, errorEventLine(kShortRefused)},
         std::nullopt,
         {kClear}},
        // ---- steady quarter frames ----------------------------------------------------------
        {"steady: unplugged, the handle has no device any more",
         Stage::Steady,
         one,
         {"fault detach port=0"},
         {ok1, errorEventLine(kDetached)},
         std::nullopt,
         {kReplug}},
        {"steady: the device's capabilities can no longer be read",
         Stage::Steady,
         one,
         {"fault caps port=0"},
         {ok1, errorEventLine(kDetached)},
         std::nullopt,
         {kClear}},
        {"steady: renumbered, the handle's index now names another port",
         Stage::Steady,
         kTwoPorts,
         {"fault reorder order=1,0 handles=stay"},
         {ok1, errorEventLine(kDetached)},
         std::nullopt,
         {kClear}},
        {"steady: a quarter frame is refused",
         Stage::Steady,
         one,
         {"fault short port=0 times=1"},
         {ok1, errorEventLine(kShortRefused)},
         std::nullopt,
         {kClear}},
        {"steady: the full frame of a seek never completes",
         Stage::Steady,
         one,
         {"fault stuck port=0 times=1"},
         {ok1, errorEventLine(kLocateTimeout)},
         std::nullopt,
         {kClear},
         Wire::ResetThenEndOfExclusive},
        {"steady: the full frame of a seek cannot be prepared",
         Stage::Steady,
         one,
         {"fault prepare port=0 times=1"},
         {ok1, errorEventLine(kPrepareRefused)},
         std::nullopt,
         {kClear}},
        {"steady: a quarter frame is refused and then the port will not close",
         Stage::Steady,
         one,
         {"fault close port=0", "fault short port=0"},
         {ok1, fatal},
         2,
         {}},
        // ---- a locate while a full frame is on the wire -------------------------------------
        {"locate in flight: nothing wrong, only the newest position follows",
         Stage::LocateInFlight,
         one,
         {},
         {ok1, ok2, ok3},
         std::nullopt,
         {},
         Wire::NewestLocateOnly},
        {"locate in flight: the held frame's send is refused",
         Stage::LocateInFlight,
         one + "fault long port=0 on=midiOutLongMsg:2 times=1\n",
         {},
         {ok1, ok2, ok3, errorEventLine(kSendRefused)},
         std::nullopt,
         {kClear},
         Wire::Any,
         false,
         {{ok1, ok2, failureLine("3", kSendRefused)}}},
        {"locate in flight: the held frame's header cannot be prepared",
         Stage::LocateInFlight,
         one + "fault prepare port=0 on=midiOutPrepareHeader:2 times=1\n",
         {},
         {ok1, ok2, ok3, errorEventLine(kPrepareRefused)},
         std::nullopt,
         {kClear},
         Wire::Any,
         false,
         {{ok1, ok2, failureLine("3", kPrepareRefused)}}},
        {"locate in flight: the frame on the wire never completes",
         Stage::LocateInFlight,
         one + "fault stuck port=0 times=1\n",
         {},
         {ok1, ok2, ok3, errorEventLine(kLocateTimeout)},
         std::nullopt,
         {kClear},
         Wire::ResetThenEndOfExclusive},
        {"locate in flight: releasing the first frame is refused once",
         Stage::LocateInFlight,
         one + "fault unprepare port=0 times=1\n",
         {},
         {ok1, ok2, ok3, errorEventLine(kUnprepareRefused)},
         std::nullopt,
         {kClear},
         Wire::Any,
         false,
         {{ok1, ok2, failureLine("3", kUnprepareRefused)},
          {ok1, ok2, errorEventLine(kUnprepareRefused), failureLine("3", kNotActive)}}},
        // ---- stop ---------------------------------------------------------------------------
        {"stop: the port will not close",
         Stage::Stop,
         one,
         {"fault close port=0"},
         {ok1, fatal},
         2,
         {}},
        {"stop: closing the port takes 300 ms",
         Stage::Stop,
         one,
         {"fault closeblock port=0 ms=300"},
         {ok1, ok9},
         std::nullopt,
         {kClear}},
        {"stop: a full frame is stuck on the wire",
         Stage::Stop,
         one,
         {"fault stuck port=0 times=1"},
         {ok1, ok8, ok9},
         std::nullopt,
         {kClear},
         Wire::ResetThenEndOfExclusive,
         true},
        {"stop: stuck, and the reset never returns the header",
         Stage::Stop,
         one,
         {"fault stuck port=0 times=1", "fault resetnodone port=0"},
         {ok1, ok8, fatal},
         2,
         {},
         Wire::Any,
         true},
        {"stop: stuck, and releasing the reset header is refused once",
         Stage::Stop,
         one,
         {"fault stuck port=0 times=1", "fault unprepare port=0 times=1"},
         {ok1, ok8, failureLine("9", kUnprepareRefused)},
         std::nullopt,
         {kClear},
         Wire::Any,
         true},
        // ---- end of input -------------------------------------------------------------------
        {"end of input: the port will not close",
         Stage::EndOfInput,
         one,
         {"fault close port=0"},
         {ok1, fatal},
         2,
         {}},
        {"end of input: a full frame is stuck on the wire",
         Stage::EndOfInput,
         one,
         {"fault stuck port=0 times=1"},
         {ok1, ok8},
         0,
         {},
         Wire::ResetThenEndOfExclusive,
         true},
        {"end of input: stuck, and the reset is refused",
         Stage::EndOfInput,
         one,
         {"fault stuck port=0 times=1", "fault reset port=0"},
         {ok1, ok8, fatal},
         2,
         {},
         Wire::Any,
         true},
        {"end of input: closing the port takes 300 ms",
         Stage::EndOfInput,
         one,
         {"fault closeblock port=0 ms=300"},
         {ok1},
         0,
         {}},
        {"end of input: lines still queued behind a slow close are not answered",
         Stage::QueuedAtEnd,
         one,
         {"fault closeblock port=0 ms=400"},
         {ok1, ok9},
         0,
         {}},
    };
}

// Collects a row's findings; the test reports them all on the main thread.
struct Findings {
    std::vector<std::string> faults;
    void add(const std::string& what) { faults.push_back(what); }
};

size_t countOf(ServiceHost& host, const char* event) {
    return entriesOf(parseRecording(host.recording()), event).size();
}

// Appends control lines and waits (at most 2 s) until the port has applied them all.
bool applyControl(ServiceHost& host, const std::vector<std::string>& lines) {
    if (lines.empty()) {
        return true;
    }
    const size_t before =
        countOf(host, "apply") + entriesOf(parseRecording(host.recording()), "error").size();
    for (const std::string& line : lines) {
        host.control(line);
    }
    const double deadline = hostNow() + 2.0;
    while (hostNow() < deadline) {
        const std::vector<RecordEntry> entries = parseRecording(host.recording());
        if (entriesOf(entries, "apply").size() + entriesOf(entries, "error").size() >=
            before + lines.size()) {
            return entriesOf(entries, "error").empty();
        }
        Sleep(2);
    }
    return false;
}

void checkWire(ServiceHost& host, Wire wire, Findings& f) {
    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    if (wire == Wire::ResetThenEndOfExclusive) {
        const std::vector<RecordEntry> resets = entriesOf(entries, "midiOutReset");
        const std::vector<RecordEntry> longs = entriesOf(entries, "midiOutLongMsg");
        if (resets.empty() || longs.empty() || longs.back().field("bytes") != "F7" ||
            longs.back().at < resets.back().at) {
            f.add("the stuck message was not reset and ended with F7");
        }
    } else if (wire == Wire::NewestLocateOnly) {
        const MtcCapture capture = decodeMtc(entries);
        const std::vector<FullFrame> frames = capture.requested();
        if (frames.size() != 2) {
            f.add("expected the first report's and the seek's full frames, got " +
                  std::to_string(frames.size()));
        } else {
            // Report at 10 s, seek to 100 s, both on the 25 fps dial from offset 0.
            if (formatWithRate(frames[0].tc) != "00:00:10:00@1" ||
                formatWithRate(frames[1].tc) != "00:01:40:00@1") {
                f.add("full frames " + formatWithRate(frames[0].tc) + " and " +
                      formatWithRate(frames[1].tc));
            }
        }
    }
}

// Starts output again after the fault has gone and checks that quarter frames follow a player.
void expectPlaysAgain(ServiceHost& host, const Row& row, Findings& f) {
    if (!applyControl(host, row.recover)) {
        f.add("recovery control lines were not applied");
        return;
    }
    const double from = hostNow();
    const std::string started = host.request(startLine("91", kPlayerPortId, 25, 0));
    if (started != okLine("91")) {
        f.add("start after the fault: " + started);
        return;
    }
    {
        Player player(host);
        player.play("again", 20.0);
        player.startReports(0.02);
        Sleep(250);
        player.stopReports();
    }
    const std::string stopped = stopReply(host, "92");
    if (stopped != okLine("92")) {
        f.add("stop after the restart: " + stopped);
    }
    // A port plugged in again is a new port to the simulated driver: follow the last open.
    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    long long port = 0;
    for (const RecordEntry& open : entriesOf(entries, "midiOutOpen")) {
        port = open.field("result") == "0" ? open.number("port") : port;
    }
    const MtcCapture capture = decodeMtc(entries, static_cast<int>(port));
    size_t fulls = 0, quarters = 0;
    for (const FullFrame& frame : capture.fullFrames) {
        fulls += frame.message.callAt > from ? 1 : 0;
    }
    for (const SentMessage& q : capture.quarters) {
        quarters += q.callAt > from ? 1 : 0;
    }
    if (fulls < 1 || quarters < 8) {
        f.add("after the restart " + std::to_string(fulls) + " full frames and " +
              std::to_string(quarters) + " quarter frames");
    }
}

Findings runRow(const Row& row) {
    Findings f;
    const double began = hostNow();
    ServiceOptions options;
    options.scenario = row.scenario;
    ServiceHost host(options);
    if (!host.started()) {
        f.add("the service did not start");
        return f;
    }
    std::optional<Player> player;
    auto playFor = [&](int ms) {
        player.emplace(host);
        player->play("show", 10.0);
        player->startReports(0.02);
        Sleep(static_cast<DWORD>(ms));
    };

    // What the host has read so far; compared with the row's lines below.
    std::vector<std::string> got;
    // The stage's action.
    if (row.stage == Stage::Start) {
        if (row.scenario.find("on=midiOutClose") != std::string::npos) {
            // A running output that a second start replaces.
            host.send(startLine("1", kPlayerPortId, 25, 0));
            host.send(startLine("2", kPlayerPortId, 25, 0));
        } else {
            host.send(startLine("1", kPlayerPortId, 25, 0));
        }
    } else {
        // A host waits for the start's reply before it reports: opening a port can take a
        // while, and reports written meanwhile would be stale by the time they are read.
        host.send(startLine("1", kPlayerPortId, 25, 0));
        const std::optional<OutputLine> started = host.readLine(10.0);
        got.push_back(started ? started->text : "<no reply to start>");
        switch (row.stage) {
            case Stage::FirstFull:
                Sleep(20);
                host.send(report(2, 10.0, false));
                // A fault injected here meets the full frame on the wire, or comes right after.
                if (!applyControl(host, row.inject)) {
                    f.add("fault not applied");
                }
                break;
            case Stage::LocateInFlight:
                Sleep(20);
                host.write(report(2, 10.0, false) + "\n" + report(3, 100.0, true) + "\n");
                break;
            case Stage::Steady:
                playFor(300);
                if (!applyControl(host, row.inject)) {
                    f.add("fault not applied");
                }
                if (row.inject[0].find("stuck") != std::string::npos ||
                    row.inject[0].find("prepare") != std::string::npos) {
                    player->seek(200.0, true);  // a locate that meets the fault
                }
                break;
            case Stage::Stop:
            case Stage::EndOfInput:
            case Stage::QueuedAtEnd:
                // The fault goes in while the player still reports, so that the clock watchdog
                // cannot end the output first on a slow machine; none of these faults bites
                // before the locate, the stop or the end of input.
                playFor(200);
                if (!applyControl(host, row.inject)) {
                    f.add("fault not applied");
                }
                player->stopReports();
                if (row.locate) {
                    host.send(report(8, 30.0, true));
                }
                if (row.stage == Stage::Stop) {
                    host.send(R"({"id":9,"command":"stop"})");
                } else if (row.stage == Stage::QueuedAtEnd) {
                    // Lines behind the stop in its own batch, and one more in the next: once
                    // input has ended none of them is answered.
                    host.write(R"({"id":9,"command":"stop"})"
                               "\n"
                               R"({"id":10,"command":"list"})"
                               "\n"
                               R"({"id":11,"command":"stop"})"
                               "\n");
                    Sleep(100);  // the stop is now blocked in the port's close
                    host.write(R"({"id":12,"command":"list"})"
                               "\n");
                    host.closeInput();
                } else if (row.locate) {
                    // Let the locate be handled (its reply comes first), then end the input
                    // while the frame is still stuck.
                    const std::optional<OutputLine> located = host.readLine(5.0);
                    got.push_back(located ? located->text : "<no reply to the locate>");
                    host.closeInput();
                } else {
                    host.closeInput();
                }
                break;
            default:
                break;
        }
    }

    // Exactly the row's lines (or its alternative), in order, each within a few seconds.
    std::vector<const std::vector<std::string>*> candidates = {&row.lines};
    for (const std::vector<std::string>& alternative : row.orLines) {
        candidates.push_back(&alternative);
    }
    const std::vector<std::string>* matched = nullptr;
    for (;;) {
        bool prefix = false;
        for (const std::vector<std::string>* c : candidates) {
            if (*c == got) {
                matched = c;
            }
            prefix = prefix ||
                     (c->size() > got.size() && std::equal(got.begin(), got.end(), c->begin()));
        }
        if (matched != nullptr || !prefix) {
            break;
        }
        const std::optional<OutputLine> line = host.readLine(5.0);
        got.push_back(line ? line->text : "<nothing within 5 s>");
    }
    if (matched == nullptr) {
        std::string expected, read;
        for (const std::string& l : row.lines) {
            expected += "\n    " + l;
        }
        for (const std::string& l : got) {
            read += "\n    " + l;
        }
        f.add("expected:" + expected + "\n  read:" + read);
        matched = &row.lines;
    }
    if (player) {
        player->stopReports();
    }

    if (row.exitCode) {
        const std::optional<DWORD> code = host.waitExit(5.0);
        if (code != row.exitCode) {
            f.add("exit code " + (code ? std::to_string(*code) : std::string("none (hung)")) +
                  ", expected " + std::to_string(*row.exitCode));
        }
        // Nothing more than the expected lines was written.
        const std::vector<OutputLine> all = host.allLines();
        if (all.size() != matched->size()) {
            f.add(std::to_string(all.size()) + " lines written in all, expected " +
                  std::to_string(matched->size()) +
                  "; last: " + (all.empty() ? std::string() : all.back().text));
        }
    } else {
        // No reply lost: a stop is answered; reports still on their way find output stopped.
        if (row.stage == Stage::LocateInFlight) {
            Sleep(60);  // the held frame goes out once the first is done, before the stop
        }
        const std::string stopped = stopReply(host, "90");
        if (stopped != okLine("90")) {
            f.add(stopped.empty() ? "no reply to the stop after the fault"
                                  : "unexpected line after the fault: " + stopped);
        }
        if (host.waitExit(0.0)) {
            f.add("the service ended");
        }
    }
    checkWire(host, row.wire, f);
    if (!row.exitCode && f.faults.empty()) {
        expectPlaysAgain(host, row, f);
        host.closeInput();
        if (host.waitExit(5.0) != std::optional<DWORD>(0)) {
            f.add("no exit with code 0 at the end of input");
        }
    }
    if (!host.standardError().empty()) {
        f.add("standard error: " + host.standardError());
    }
    if (hostNow() - began > 20.0) {
        f.add("the row took " + std::to_string(hostNow() - began) + " s");
    }
    return f;
}

TEST(FaultMatrix, EveryPortFaultAtEveryStageGivesItsLineAndExitCodeWithoutHangingOrLosingReplies) {
    const std::vector<Row> rows = matrix();
    std::vector<Findings> findings(rows.size());
    std::atomic<size_t> next{0};
    // Two children at a time: enough to keep two cores busy, few enough that the rows
    // whose timing matters (a locate within a 3 ms frame) keep it.
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&] {
            for (size_t i = next++; i < rows.size(); i = next++) {
                findings[i] = runRow(rows[i]);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        for (const std::string& fault : findings[i].faults) {
            ADD_FAILURE() << rows[i].what << ": " << fault;
        }
    }
}

}  // namespace
}  // namespace reltest
