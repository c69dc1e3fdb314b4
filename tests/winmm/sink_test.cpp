// The WinMM sink against the simulated port: what reaches the wire, when headers are released,
// how close() stops a port, and the last-resort stop (run in a child process, since it ends
// the process). Wire bytes are compared with literal hex taken from the simulated port's
// recording.
#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check/win/process.h"
#include "platform/clock.h"
#include "tests/kit/thrown.h"
#include "tests/winmm/sim.h"
#include "tests/winmm/test_support.h"
#include "winmm/devices.h"
#include "winmm/winsink.h"

namespace winmmtest {
namespace {

using mtcservice::devices;
using mtcservice::nowSeconds;
using mtcservice::WinSink;
using Frame = std::array<uint8_t, 10>;

// Full frames for 01:00:00:00, :01 and :02 at 25 fps.
const Frame kA = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0xF7};
const Frame kB = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x01, 0xF7};
const Frame kC = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x02, 0xF7};
const char* const kWireA = "F07F7F010121000000F7";
const char* const kWireC = "F07F7F010121000002F7";

const std::string kFatalLine =
    u8"{\"event\":\"error\",\"error\":\"MTC 驱动未能停止，输出服务已关闭。请重新连接 USB MIDI "
    u8"接口。\"}\n";

using Strings = std::vector<std::string>;

std::string resultOf(const Line& line) {
    return line.field("result");
}

Strings fieldOf(const std::vector<Line>& lines, const std::string& key) {
    Strings values;
    for (const Line& line : lines) {
        values.push_back(field(line, key));
    }
    return values;
}

// Names of the recorded events among `wanted`, in recording order, from the last midiOutOpen
// on (so the enumeration before it does not count).
Strings sequence(const std::vector<Line>& lines, const Strings& wanted) {
    size_t from = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].event == "midiOutOpen") {
            from = i;
        }
    }
    Strings names;
    for (size_t i = from; i < lines.size(); ++i) {
        for (const std::string& name : wanted) {
            if (lines[i].event == name) {
                names.push_back(name);
            }
        }
    }
    return names;
}

// Position of the first line of `event` whose `key` is `value` (any line of `event` when `key`
// is empty); lines.size() when none.
size_t positionOf(const std::vector<Line>& lines, const std::string& event,
                  const std::string& key = std::string(),
                  const std::string& value = std::string()) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].event == event && (key.empty() || field(lines[i], key) == value)) {
            return i;
        }
    }
    return lines.size();
}

class WinSinkTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sim.active()) << "the simulated winmm.dll is not loaded"; }

    // Loads a scenario and opens the sink on the port at index 0.
    void openFirstPort(const std::string& scenario) {
        ASSERT_TRUE(sim.load(scenario));
        const std::vector<mtcservice::Device> list = devices();
        ASSERT_FALSE(list.empty());
        sink.open(list[0].id);
    }

    std::vector<Line> recorded() const { return parseRecording(sim.recording()); }

    // Polls ready() until it is true; false when `limit` seconds pass first.
    bool readyWithin(double limit) {
        const double deadline = nowSeconds() + limit;
        while (nowSeconds() < deadline) {
            if (sink.ready()) {
                return true;
            }
            Sleep(1);
        }
        return false;
    }

    // Waits until the driver has marked `count` long messages done.
    bool doneWithin(size_t count, double limit) {
        const double deadline = nowSeconds() + limit;
        while (nowSeconds() < deadline) {
            if (events(recorded(), "done").size() >= count) {
                return true;
            }
            Sleep(1);
        }
        return false;
    }

    Simport sim;
    WinSink sink;
};

TEST_F(WinSinkTest, aFullFrameIsSentAtOnceAndReleasedOnlyAfterTheDriverMarkedItDone) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    sink.full(kA);
    ASSERT_TRUE(readyWithin(1.0));
    const std::vector<Line> lines = recorded();
    EXPECT_EQ(fieldOf(events(lines, "midiOutLongMsg"), "bytes"), Strings{kWireA});
    EXPECT_EQ(fieldOf(events(lines, "wire"), "bytes"), Strings{kWireA});
    ASSERT_EQ(events(lines, "midiOutUnprepareHeader").size(), 1u);
    EXPECT_LT(positionOf(lines, "done"), positionOf(lines, "midiOutUnprepareHeader"));
}

TEST_F(WinSinkTest, threeFullFramesWhileOneIsInFlightSendOnlyTheFirstAndTheNewest) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    sink.full(kA);
    sink.full(kB);
    sink.full(kC);
    // The ready() call that starts the held frame says "not ready": that frame is now in flight.
    bool sendingCallSaidReady = true;
    const double deadline = nowSeconds() + 1.0;
    while (events(recorded(), "midiOutLongMsg").size() < 2 && nowSeconds() < deadline) {
        sendingCallSaidReady = sink.ready();
        Sleep(1);
    }
    ASSERT_EQ(events(recorded(), "midiOutLongMsg").size(), 2u);
    EXPECT_FALSE(sendingCallSaidReady);
    ASSERT_TRUE(readyWithin(1.0));
    const std::vector<Line> lines = recorded();
    const std::vector<Line> sends = events(lines, "midiOutLongMsg");
    ASSERT_EQ(fieldOf(sends, "bytes"), (Strings{kWireA, kWireC}));
    EXPECT_EQ(fieldOf(events(lines, "wire"), "bytes"), (Strings{kWireA, kWireC}));
    // The newest frame left only after the first was done.
    EXPECT_LT(positionOf(lines, "done", "seq", field(sends[0], "seq")),
              positionOf(lines, "midiOutLongMsg", "seq", field(sends[1], "seq")));
}

TEST_F(WinSinkTest, clearPendingDropsTheHeldFrameButNeverAbortsTheOneInFlight) {
    // In flight for good: clearPending must neither reset nor release it.
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port\nfault stuck"));
    sink.full(kA);
    sink.full(kB);
    sink.clearPending();
    EXPECT_FALSE(sink.ready());
    EXPECT_EQ(sequence(recorded(), {"midiOutUnprepareHeader", "midiOutReset", "drop"}), Strings{});
    ASSERT_TRUE(sim.apply("fault clear"));  // later messages flow; the stuck one stays stuck
    sink.close();
    EXPECT_EQ(fieldOf(events(recorded(), "midiOutLongMsg"), "bytes"), (Strings{kWireA, "F7"}));

    // Completed: clearPending releases the header, and the held frame is never sent.
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    sink.full(kA);
    sink.full(kB);
    ASSERT_TRUE(doneWithin(1, 1.0));
    sink.clearPending();
    EXPECT_EQ(events(recorded(), "midiOutUnprepareHeader").size(), 1u);
    EXPECT_TRUE(sink.ready());
    EXPECT_EQ(fieldOf(events(recorded(), "midiOutLongMsg"), "bytes"), Strings{kWireA});
}

TEST_F(WinSinkTest, aLongMessageStuckForMoreThanATenthOfASecondTimesOut) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port\nfault stuck"));
    const double before = nowSeconds();
    sink.full(kA);
    std::string message;
    double thrownAt = 0;
    while (message.empty() && nowSeconds() < before + 2.0) {
        try {
            EXPECT_FALSE(sink.ready());
        } catch (const std::runtime_error& e) {
            message = e.what();
            thrownAt = nowSeconds();
        }
        Sleep(1);
    }
    EXPECT_EQ(message, u8"MTC 定位发送超时，输出已关闭。请检查 USB MIDI 接口。");
    EXPECT_GT(thrownAt - before, 0.1);
    EXPECT_LT(thrownAt - before, 0.35);
    ASSERT_TRUE(sim.apply("fault clear"));  // so that close() can end the cut-off SysEx
}

TEST_F(WinSinkTest, closeGivesTheMessageInFlightTwelveMillisecondsThenResetsAndEndsTheSysEx) {
    struct Case {
        const char* what;
        const char* scenario;
        bool frame;
        Strings calls;
        Strings longMessages;
    };
    const Strings nothing;
    const Case cases[] = {
        {"nothing prepared", "port", false, {"midiOutClose"}, nothing},
        {"a frame that finishes within the grace",
         "port",
         true,
         {"midiOutLongMsg", "midiOutUnprepareHeader", "midiOutClose"},
         {kWireA}},
        {"a frame that never finishes",
         "port\nfault stuck",
         true,
         {"midiOutLongMsg", "midiOutReset", "midiOutUnprepareHeader", "midiOutLongMsg",
          "midiOutUnprepareHeader", "midiOutClose"},
         {kWireA, "F7"}},
    };
    const Strings watched = {"midiOutLongMsg", "midiOutReset", "midiOutUnprepareHeader",
                             "midiOutClose"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(openFirstPort(c.scenario));
        if (c.frame) {
            sink.full(kA);
        }
        ASSERT_TRUE(sim.apply("fault clear"));  // the end-of-exclusive byte must not stick
        const double before = nowSeconds();
        sink.close();
        EXPECT_LT(nowSeconds() - before, 0.4);
        sink.close();  // a second close is harmless and touches nothing
        const std::vector<Line> lines = recorded();
        EXPECT_EQ(sequence(lines, watched), c.calls);
        EXPECT_EQ(fieldOf(events(lines, "midiOutLongMsg"), "bytes"), c.longMessages);
        for (const Line& line : events(lines, "midiOutClose")) {
            EXPECT_EQ(resultOf(line), "0");
        }
        const std::vector<Line> resets = events(lines, "midiOutReset");
        if (!resets.empty()) {  // after the whole grace period, and not much later
            const Line send = events(lines, "midiOutLongMsg").front();
            // The recorded microseconds lead each line.
            const long long waited = std::stoll(resets.front().raw) - std::stoll(send.raw);
            EXPECT_GE(waited, 12000);
            // 12 ms of grace polled in 1 ms waits, and room for one stalled wake-up of a loaded
            // machine; a grace ten times as long is far beyond it.
            EXPECT_LT(waited, 12000 + 48000);
        }
        EXPECT_FALSE(sink.connected());
    }
}

TEST_F(WinSinkTest, connectedTurnsFalseWhenTheHandleOrTheIdentityBehindItIsGone) {
    struct Case {
        const char* fault;
        bool connected;
        const char* getIdResult;
    };
    const Case cases[] = {
        {"fault detach port=0", false, "6"},                   // the handle maps to no index
        {"fault caps port=0", false, "0"},                     // the index cannot be read
        {"fault change port=0 path=none", false, "0"},         // ... or has no stable identity
        {"fault change port=0 version=0x0200", false, "0"},    // ... or is another port now
        {"fault reorder order=1,0 handles=stay", false, "0"},  // ... or names another port
        {"fault reorder order=1,0", true, "0"},                // same port at a new index
        {"fault change port=1 version=0x0200", true, "0"},     // another port changed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_NO_FATAL_FAILURE(openFirstPort("port\nport"));
        EXPECT_TRUE(sink.connected());
        ASSERT_TRUE(sim.apply(c.fault));
        EXPECT_EQ(sink.connected(), c.connected);
        const std::vector<Line> getIds = events(recorded(), "midiOutGetID");
        ASSERT_FALSE(getIds.empty());
        EXPECT_EQ(resultOf(getIds.back()), c.getIdResult);
        sink.close();
    }
}

TEST_F(WinSinkTest, aFailedOpenNamesTheCauseAndLeavesTheSinkClosed) {
    struct Case {
        const char* scenario;
        bool unknownId;
        std::string message;
        size_t opens;
        size_t closes;
    };
    const Case cases[] = {
        {"port\nfault open port=0", false,
         u8"无法打开 MIDI 输出端口，请关闭占用该接口的其他软件 (WinMM 4)", 1, 0},
        {"port", true, u8"所选 MIDI 输出已断开，请刷新并重新选择 USB MIDI 接口。", 0, 0},
        {"port count=2 name=\"Twin\" path=\"\\\\?\\twin\"", false,
         u8"所选 MIDI 输出已断开，请刷新并重新选择 USB MIDI 接口。", 0, 0},
        // the list changes between the enumeration and the open: index 0 is another port
        {"port name=\"A\"\nport name=\"B\"\nfault reorder order=1,0 on=midiOutOpen:1", false,
         u8"MTC 输出设备已断开，时间码输出已关闭。", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ASSERT_TRUE(sim.load(c.scenario));
        const std::string id =
            c.unknownId ? "winmm:" + std::string(64, '0') : mtcservice::deviceAt(0).id;
        EXPECT_EQ(mtctest::thrownMessage([&] { sink.open(id); }), c.message);
        EXPECT_FALSE(sink.connected());
        sink.close();
        const std::vector<Line> lines = recorded();
        EXPECT_EQ(events(lines, "midiOutOpen").size(), c.opens);
        EXPECT_EQ(events(lines, "midiOutClose").size(), c.closes);
    }
}

TEST_F(WinSinkTest, openingAnOpenSinkReleasesTheFirstHandleBeforeOpeningAgain) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    sink.open(mtcservice::deviceAt(0).id);
    EXPECT_TRUE(sink.connected());
    const std::vector<Line> lines = recorded();
    EXPECT_EQ(fieldOf(events(lines, "midiOutOpen"), "handle").size(), 2u);
    for (const Line& line : events(lines, "midiOutOpen")) {
        EXPECT_EQ(resultOf(line), "0");
        // Completion is signalled through the sink's event (CALLBACK_EVENT), never a callback
        // function that the driver would run on its own thread.
        EXPECT_EQ(field(line, "flags"), "0x50000");
        EXPECT_NE(field(line, "callback"), "0x0");
    }
    EXPECT_EQ(events(lines, "midiOutClose").size(), 1u);
}

TEST_F(WinSinkTest, aQuarterFrameByteIsSentAsTheShortMessageF1dd) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    const uint8_t pieces[] = {0x35, 0x00, 0x7F};
    for (uint8_t data : pieces) {
        sink.quarter(data);
    }
    const std::vector<Line> shorts = events(recorded(), "midiOutShortMsg");
    EXPECT_EQ(fieldOf(shorts, "msg"), (Strings{"0x000035F1", "0x000000F1", "0x00007FF1"}));
    EXPECT_EQ(fieldOf(shorts, "bytes"), (Strings{"F135", "F100", "F17F"}));
}

TEST_F(WinSinkTest, aFailingDriverCallThrowsItsMessageWithTheWinMMCodeAndLeavesNothingPrepared) {
    struct Case {
        const char* fault;
        void (*act)(WinSink&);
        std::string message;
    };
    const Case cases[] = {
        {"fault short code=6", [](WinSink& s) { s.quarter(0x35); }, u8"MTC 发送失败 (WinMM 6)"},
        {"fault prepare code=7", [](WinSink& s) { s.full(kA); },
         u8"无法准备 MTC 定位消息 (WinMM 7)"},
        {"fault long code=3", [](WinSink& s) { s.full(kA); }, u8"MTC 定位发送失败 (WinMM 3)"},
        // the release after completion fails once; the next ready() releases
        {"fault unprepare code=1 times=1",
         [](WinSink& s) {
             s.full(kA);
             const double deadline = nowSeconds() + 1.0;
             while (!s.ready() && nowSeconds() < deadline) {
                 Sleep(1);
             }
         },
         u8"MTC 输出缓冲区未能释放 (WinMM 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_NO_FATAL_FAILURE(openFirstPort(std::string("port\n") + c.fault));
        EXPECT_EQ(mtctest::thrownMessage([&] { c.act(sink); }), c.message);
        EXPECT_TRUE(sink.ready());
        sink.close();
    }
}

TEST_F(WinSinkTest, submitRefusesAnEmptyOrOverlongMessageAndASecondOneWhileTheFirstIsHeld) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    const uint8_t bytes[11] = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    struct Case {
        size_t length;
        std::string message;
    };
    const Case cases[] = {
        {0, u8"MTC 定位消息无效，输出已关闭。"},
        {11, u8"MTC 定位消息无效，输出已关闭。"},
    };
    for (const Case& c : cases) {
        try {
            sink.submit(bytes, c.length);
            ADD_FAILURE() << c.length << " bytes were submitted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_EQ(events(recorded(), "midiOutPrepareHeader").size(), 0u);
    sink.submit(kA.data(), 10);
    try {
        sink.submit(kA.data(), 10);
        ADD_FAILURE() << "a second message was submitted while the first was held";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), u8"MTC 输出缓冲区仍忙，输出已关闭。");
    }
    EXPECT_TRUE(readyWithin(1.0));
    EXPECT_EQ(fieldOf(events(recorded(), "wire"), "bytes"), Strings{kWireA});
}

TEST_F(WinSinkTest, aClosedSinkIsReadyAndNotConnectedAndClosesWithoutTouchingTheDriver) {
    ASSERT_TRUE(sim.load("port"));
    EXPECT_TRUE(sink.ready());
    EXPECT_FALSE(sink.connected());
    sink.close();
    sink.close();
    EXPECT_EQ(sequence(recorded(), {"midiOutClose", "midiOutReset", "midiOutGetID"}), Strings{});
}

TEST_F(WinSinkTest, theQuarterFramePathAllocatesNothing) {
    ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
    unsigned long long allocated = 0;
    int readyCycles = 0, stalls = 0;
    while (readyCycles < 4 && stalls < 4) {
        // A locate (one frame in flight, one held, one replaced), then eight quarter frames.
        const unsigned long long before = allocations.load();
        try {
            sink.clearPending();
            sink.full(kA);
            sink.full(kB);
            sink.full(kC);
            const double deadline = nowSeconds() + 1.0;
            bool ready = false;
            while (!ready && nowSeconds() < deadline) {
                ready = sink.ready();
                Sleep(1);
            }
            ASSERT_TRUE(ready);
        } catch (const std::runtime_error& e) {
            // A loaded machine kept the simulated driver's thread off the processor past the
            // 0.1 s time-out. The throw allocates, so that cycle runs again on a reopened port.
            ASSERT_EQ(std::string(e.what()),
                      u8"MTC 定位发送超时，输出已关闭。请检查 USB MIDI 接口。");
            ++stalls;
            sink.close();
            ASSERT_NO_FATAL_FAILURE(openFirstPort("port"));
            continue;
        }
        for (uint8_t piece = 0; piece < 8; ++piece) {
            sink.quarter(static_cast<uint8_t>(piece << 4));
        }
        allocated += allocations.load() - before;
        ++readyCycles;
    }
    const unsigned long long after = allocations.load();
    EXPECT_EQ(readyCycles, 4) << stalls << " cycles stalled";
    EXPECT_EQ(allocated, 0u);
    // The counter does see this program's allocations.
    const std::unique_ptr<int> probe(new int(1));
    EXPECT_GT(allocations.load(), after);
}

// The last-resort stop, each case in a child process: this program again, told which case to
// run. `output` is its standard output followed by its standard error.
struct Child {
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;
};

Child runChild(const char* name, double limit) {
    Child child;
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    mtccheck::ChildOptions options;
    options.program = path;
    options.arguments = L"--fatal-child ";
    for (const char* p = name; *p != '\0'; ++p) {
        options.arguments.push_back(static_cast<wchar_t>(*p));
    }
    options.captureError = true;
    mtccheck::ChildProcess process;
    std::string error;
    if (!process.start(options, error)) {
        return child;
    }
    const std::optional<DWORD> exitCode = process.waitExit(limit);
    child.finished = exitCode.has_value();
    child.exitCode = exitCode.value_or(0);
    child.output = process.rawOutput() + process.standardError();
    return child;
}

const char* const kFatalCases[] = {"close-fails", "reset-fails", "reset-never-completes",
                                   "destructor-after-failed-release"};

TEST(WinSinkLastResort, aDriverThatCannotBeStoppedEndsTheProcessWithTheFixedLineAndCode2) {
    ASSERT_EQ(kFatalLine.size(), 112u);
    for (const char* name : kFatalCases) {
        SCOPED_TRACE(name);
        const Child child = runChild(name, 20.0);
        ASSERT_TRUE(child.finished);
        EXPECT_EQ(child.exitCode, 2u);
        EXPECT_EQ(child.output, kFatalLine);
    }
}

}  // namespace

int runFatalChild(const char* name) {
    const std::string which = name;
    const char* scenario = nullptr;
    if (which == "close-fails") {
        scenario = "port\nfault close code=1";
    } else if (which == "reset-fails") {
        scenario = "port\nfault stuck\nfault reset code=1";
    } else if (which == "reset-never-completes") {
        scenario = "port\nfault stuck\nfault resetnodone";
    } else if (which == "destructor-after-failed-release") {
        scenario = "port\nfault unprepare code=1";
    } else {
        return 98;
    }
    Simport sim;
    if (!sim.active() || !sim.load(scenario)) {
        return 98;
    }
    const std::vector<mtcservice::Device> list = devices();
    if (list.empty()) {
        return 98;
    }
    // On the heap and never deleted on the way out, so that a close() that wrongly returns
    // cannot be rescued by the destructor's own close.
    WinSink* sink = new WinSink;
    try {
        sink->open(list[0].id);
        if (which == "close-fails") {
            sink->close();
            return 99;
        }
        sink->full(kA);
        if (which == "destructor-after-failed-release") {
            const double deadline = nowSeconds() + 1.0;
            while (events(parseRecording(sim.recording()), "done").empty() &&
                   nowSeconds() < deadline) {
                Sleep(1);
            }
            delete sink;  // close() cannot release the completed header
            return 99;
        }
        sink->close();
    } catch (...) {
        return 97;
    }
    return 99;
}

}  // namespace winmmtest
