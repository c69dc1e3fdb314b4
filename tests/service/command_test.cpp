// The service's command handler on the kit's simulated surroundings: a clock that records which
// of its two readings were taken and in what order, a device list that can fail, a writer that
// keeps every line (and can refuse them), and the production engine over the recording sink.
// Expected lines are literal text, as the host reads them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/engine.h"
#include "service/command.h"
#include "service/timing.h"
#include "tests/kit/recording_sink.h"
#include "tests/kit/service_fakes.h"
#include "tests/kit/thrown.h"

namespace {

using mtctest::kOutputLost;
using mtctest::Op;
using Lines = std::vector<std::string>;
using Ops = std::vector<Op>;

// The simulated moment every command runs at: monotonic 10 s, and its wall-clock twin (the
// fake clock's own, mtctest::wallMs(kNow)).
constexpr double kNow = 10.0;
constexpr double kWallNowMs = 1700000010000.0;

const char kMalformed[] = "MIDI 命令格式错误。";
const char kUnknown[] = "未知 MIDI 命令。";
const char kBadRate[] = "无效的时间码帧率或起始时间。";
const char kStale[] = "播放器时钟消息已过期，MTC 输出已关闭。请重新启用。";
const char kListFailed[] = "无法列出 MIDI 输出。";
const char kCloseFailed[] = "MTC 驱动未能停止。";

const std::string kPortId = "winmm:" + std::string(64, '0');
const std::string kOtherId = "winmm:" + std::string(63, 'f') + "9";

struct Handler {
    mtctest::RecordingSink sink;
    velmarmtc::Engine engine{&sink};
    mtctest::FakeClock clock;
    mtctest::FakeDeviceList deviceList;
    mtctest::FakeLineWriter writer;

    Handler() { clock.now = kNow; }

    // Output running on the test port, and every record of getting there forgotten.
    void startOutput() {
        engine.start(kPortId, 25, 3600, kNow - 1);
        sink.calls.clear();
    }

    void handle(const std::string& line) {
        mtcservice::handleCommand(line, engine, clock, deviceList, writer);
    }

    Ops ops() const { return sink.opsSince(0); }
};

std::string transportLine(const std::string& idMember, double sentAtUnixMs) {
    return "{" + idMember +
           "\"command\":\"transport\",\"trackId\":\"t1\",\"position\":12.5,\"playing\":true,"
           "\"sentAtUnixMs\":" +
           std::to_string(static_cast<long long>(sentAtUnixMs)) + "}";
}

TEST(CommandHandler, EachLineGetsItsReplyItsEngineCallsAndItsClockReadings) {
    struct Case {
        const char* name;
        bool running;  // output started before the line
        std::string line;
        Lines written;
        Ops sinkCalls;
        const char* clockReads;
        bool runningAfter;
        // When set, a report of 12.52 s follows, and the first quarter frame after the step that
        // sees its full frame done is due this long after it. One interval on, the player is
        // 313.25 frames in at 25 fps: the default timing sends piece 0 then (10 ms), phase lock
        // waits for the next even frame (40 ms).
        double firstQuarterIn = 0;
    };
    const std::string startLine = "{\"id\":1,\"command\":\"start\",\"outputId\":\"" + kPortId +
                                  "\",\"fps\":25,\"offset\":3600}";
    const std::string fps26Line =
        "{\"id\":2,\"command\":\"start\",\"outputId\":\"" + kPortId + "\",\"fps\":26,\"offset\":0}";
    const std::string upperHexLine =
        "{\"id\":5,\"command\":\"start\",\"outputId\":\"winmm:" + std::string(63, '0') +
        "A\",\"fps\":25,\"offset\":0}";
    const std::string lockLine = "{\"id\":6,\"command\":\"start\",\"outputId\":\"" + kPortId +
                                 "\",\"fps\":25,\"offset\":0,\"phaseLock\":";
    const Case cases[] = {
        {"a start with phaseLock true starts in phase lock",
         false,
         lockLine + "true}",
         {"{\"id\":6,\"ok\":true}"},
         {Op::Close, Op::Open},
         "m",
         true,
         0.04},
        {"a start with phaseLock false starts in the default timing",
         false,
         lockLine + "false}",
         {"{\"id\":6,\"ok\":true}"},
         {Op::Close, Op::Open},
         "m",
         true,
         0.01},
        {"a phaseLock that is no boolean is malformed and stops the output",
         true,
         lockLine + "1}",
         {"{\"id\":6,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a stop with an id is answered with its id",
         true,
         "{\"id\":7,\"command\":\"stop\"}",
         {"{\"id\":7,\"ok\":true}"},
         {Op::Close},
         "",
         false},
        {"a stop without an id writes nothing",
         true,
         "{\"command\":\"stop\"}",
         {},
         {Op::Close},
         "",
         false},
        {"a start reads the monotonic clock once, opens after closing, in the default timing",
         false,
         startLine,
         {"{\"id\":1,\"ok\":true}"},
         {Op::Close, Op::Open},
         "m",
         true,
         0.01},
        {"a rate the engine refuses is a failure reply with the engine's message",
         true,
         fps26Line,
         {"{\"id\":2,\"ok\":false,\"error\":\"" + std::string(kBadRate) + "\"}"},
         {Op::Close, Op::Close},
         "m",
         false},
        {"an output id in upper case is refused before the engine starts",
         true,
         upperHexLine,
         {"{\"id\":5,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a report reads the monotonic clock, then the wall clock, and locates",
         true,
         transportLine("", kWallNowMs),
         {},
         {Op::ClearPending, Op::Full},
         "mw",
         true},
        {"a report stamped 251 ms ago is stale",
         true,
         transportLine("\"id\":3,", kWallNowMs - 251),
         {"{\"id\":3,\"ok\":false,\"error\":\"" + std::string(kStale) + "\"}"},
         {Op::Close},
         "mw",
         false},
        {"a list with ids and names quoted for JSON leaves the engine alone",
         true,
         "{\"id\":0,\"command\":\"list\"}",
         {"{\"id\":0,\"ok\":true,\"outputs\":[{\"id\":\"" + kPortId +
          "\",\"name\":\"Port \\\"A\\\"\"},{\"id\":\"" + kOtherId + "\",\"name\":\"\\u0009B\"}]}"},
         {},
         "",
         true},
        {"an id written 1e3 is answered as 1000",
         false,
         "{\"id\":1e3,\"command\":\"stop\"}",
         {"{\"id\":1000,\"ok\":true}"},
         {Op::Close},
         "",
         false},
        {"an id of 2.5 is an error event, never a reply",
         true,
         "{\"id\":2.5,\"command\":\"stop\"}",
         {"{\"event\":\"error\",\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a line that is no JSON is an error event though it names an id",
         true,
         "{\"id\":4,\"command\":\"stop\"",
         {"{\"event\":\"error\",\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a command name in the wrong case is unknown",
         true,
         "{\"id\":8,\"command\":\"Stop\"}",
         {"{\"id\":8,\"ok\":false,\"error\":\"" + std::string(kUnknown) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a valid id is answered although the command name is missing",
         true,
         "{\"id\":11}",
         {"{\"id\":11,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a valid id is answered although the command name is no string",
         true,
         "{\"command\":5,\"id\":12}",
         {"{\"id\":12,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a track id that is a number is malformed, not a report without a track",
         true,
         "{\"id\":13,\"command\":\"transport\",\"trackId\":5,\"position\":1,\"playing\":true,"
         "\"sentAtUnixMs\":1700000010000}",
         {"{\"id\":13,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a track id that is a boolean is malformed",
         true,
         "{\"id\":14,\"command\":\"transport\",\"trackId\":false,\"position\":1,\"playing\":true,"
         "\"sentAtUnixMs\":1700000010000}",
         {"{\"id\":14,\"ok\":false,\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
        {"a line of spaces is malformed",
         true,
         "   ",
         {"{\"event\":\"error\",\"error\":\"" + std::string(kMalformed) + "\"}"},
         {Op::Close},
         "",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handler h;
        h.deviceList.list = {{kPortId, "Port \"A\""}, {kOtherId, "\tB"}};
        if (c.running) {
            h.startOutput();
        }
        h.handle(c.line);
        EXPECT_EQ(h.writer.lines, c.written);
        EXPECT_EQ(h.ops(), c.sinkCalls);
        EXPECT_EQ(h.clock.reads, c.clockReads);
        EXPECT_EQ(h.engine.isActive(), c.runningAfter);
        if (c.firstQuarterIn > 0) {
            h.handle(
                "{\"command\":\"transport\",\"trackId\":\"t1\",\"position\":12.52,"
                "\"playing\":true,\"sentAtUnixMs\":1700000010000}");
            h.engine.step(kNow);
            EXPECT_NEAR(h.engine.nextDeadline(kNow), kNow + c.firstQuarterIn, 1e-9);
        }
    }
}

// The report's age is judged on the system time with its fraction: 250 ms is the bound, so a
// report 250.5 ms old by a clock whose reading ends in .5 ms is stale.
TEST(CommandHandler, AReportHalfAMillisecondOverTheAgeBoundIsStaleByTheSystemTimesFraction) {
    constexpr std::uint64_t kFileTimeOfWallNow = 116444736000000000ULL + 17000000100000000ULL;
    struct Case {
        const char* name;
        std::uint64_t fileTime;  // the system time the wall clock reads
        Lines written;
    };
    const Case cases[] = {
        {"250 ms old is fresh", kFileTimeOfWallNow, {}},
        {"250.5 ms old is stale",
         kFileTimeOfWallNow + 5000,
         {"{\"event\":\"error\",\"error\":\"" + std::string(kStale) + "\"}"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handler h;
        h.startOutput();
        h.clock.wallMs = mtcservice::unixMillisecondsFromFileTime(c.fileTime);
        h.handle(transportLine("", kWallNowMs - 250));
        EXPECT_EQ(h.writer.lines, c.written);
    }
}

TEST(CommandHandler, ListingAnswersWithTheOutputsOrAStoppedOutputAndTheFailure) {
    struct Case {
        const char* name;
        std::vector<mtcservice::Output> outputs;
        std::optional<std::string> listFailure;
        Lines written;
        Ops sinkCalls;
    };
    const Case cases[] = {
        {"no outputs is an empty array",
         {},
         std::nullopt,
         {"{\"id\":9,\"ok\":true,\"outputs\":[]}"},
         {}},
        {"a list that cannot be had stops the output and is a failure reply",
         {},
         kListFailed,
         {"{\"id\":9,\"ok\":false,\"error\":\"" + std::string(kListFailed) + "\"}"},
         {Op::Close}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handler h;
        h.startOutput();
        h.deviceList.list = c.outputs;
        h.deviceList.failure = c.listFailure;
        h.handle("{\"id\":9,\"command\":\"list\"}");
        EXPECT_EQ(h.writer.lines, c.written);
        EXPECT_EQ(h.ops(), c.sinkCalls);
    }
}

TEST(CommandHandler, OnlyAFailureToReportOrToStopLeavesTheHandler) {
    struct Case {
        const char* name;
        std::string line;
        int refusals;         // lines the writer refuses before it takes one
        bool closeFails;      // the sink cannot be stopped
        const char* escapes;  // the message that leaves the handler, or null
        Lines written;
    };
    const Case cases[] = {
        {"a success reply that cannot be written becomes a failure reply",
         "{\"id\":6,\"command\":\"list\"}",
         1,
         false,
         nullptr,
         {"{\"id\":6,\"ok\":false,\"error\":\"" + std::string(kOutputLost) + "\"}"}},
        {"a failure reply that cannot be written leaves",
         "{\"id\":6,\"command\":\"nope\"}",
         1,
         false,
         kOutputLost,
         {}},
        {"an error event that cannot be written leaves",
         "{\"command\":\"nope\"}",
         1,
         false,
         kOutputLost,
         {}},
        {"an output that cannot be stopped while reporting leaves before anything is written",
         "{\"id\":6,\"command\":\"nope\"}",
         0,
         true,
         kCloseFailed,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handler h;
        h.startOutput();
        h.writer.refusals = c.refusals;
        if (c.closeFails) {
            h.sink.closeFailure = kCloseFailed;
        }
        EXPECT_EQ(mtctest::thrownMessage([&] { h.handle(c.line); }),
                  c.escapes == nullptr ? "" : c.escapes);
        EXPECT_EQ(h.writer.lines, c.written);
        // The output was told to stop before the failure was reported, or before it left.
        EXPECT_EQ(h.ops(), Ops{Op::Close});
    }
}

}  // namespace
