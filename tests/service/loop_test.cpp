// The service loop in this process, on the simulated port: a reader filled by the test instead
// of standard input, a clock that stands still until the test moves it, and a writer that
// keeps every line with the recording's time and may act on the loop's thread the moment a
// line is written. That makes the loop's order within one turn observable without races: which
// lines of a batch are answered, whether input that arrived meanwhile comes before a due
// quarter frame, and what the port sees before an event is written. Every wait has a limit.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check/recording.h"
#include "check/win/clock.h"
#include "check/win/player.h"
#include "service/loop.h"
#include "service/windows_adapters.h"
#include "simport_control.h"
#include "winmm/devices.h"

namespace {

using mtccheck::entriesOf;
using mtccheck::parseRecording;
using mtccheck::RecordEntry;
using Entries = std::vector<RecordEntry>;
using Texts = std::vector<std::string>;

constexpr double kStartAt = 5000.0;        // the engine's clock when the test begins
constexpr double kWallMs = 1700000000000;  // the wall clock, which never moves: reports are fresh
constexpr double kQuarter = 0.01;          // a quarter frame at 25 fps
constexpr int kLimitMs = 5000;
const char kPort[] = "port name=\"Loop Port\"";
const std::string kOverflowEvent =
    "{\"event\":\"error\",\"error\":\"MTC 输出更新阻塞，输出已关闭。请重新启用。\"}";

// Stands still until the test moves it, or runs with real time from where it stands. Read on
// the loop's thread, moved on either.
class StillClock final : public mtcservice::Clock {
  public:
    std::atomic<double> now{kStartAt};
    std::atomic<double> runningSince{-1};
    double monotonicSeconds() override {
        return runningSince < 0 ? now.load() : now + (mtccheck::hostNow() - runningSince);
    }
    double wallUnixMilliseconds() override { return kWallMs; }
};

struct Written {
    std::string text;
    long long atUs;  // the recording's clock, when the loop wrote it
};

// Keeps every line; `hook` runs on the loop's thread right after a line is kept.
class HookedWriter final : public mtcservice::LineWriter {
  public:
    explicit HookedWriter(const simport::Control& control) : control_(control) {}
    std::function<void(const std::string&)> hook;

    void writeLine(const std::string& line) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({line, control_.nowMicros()});
        }
        if (hook) {
            hook(line);
        }
    }
    std::vector<Written> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  private:
    const simport::Control& control_;
    std::mutex mutex_;
    std::vector<Written> lines_;
};

std::string withId(int id, const std::string& command) {
    return "{\"id\":" + std::to_string(id) + "," + command.substr(1);
}

std::string report(double position, bool locate = false) {
    return mtccheck::transportLine(std::string("t"), position, true, kWallMs, locate);
}

// The events among `wanted`, in recording order, from entry `from` on.
Texts eventsAmong(const Entries& entries, const Texts& wanted, std::size_t from = 0) {
    Texts out;
    for (std::size_t i = from; i < entries.size(); ++i) {
        for (const std::string& w : wanted) {
            if (entries[i].event == w) {
                out.push_back(w);
            }
        }
    }
    return out;
}

// Polls `holds` every 2 ms for at most kLimitMs.
bool within(const std::function<bool()>& holds) {
    for (int waited = 0; waited < kLimitMs; waited += 2) {
        if (holds()) {
            return true;
        }
        Sleep(2);
    }
    return false;
}

// One run of the loop on its own thread, as the service's main thread runs it.
class LoopRun {
  public:
    LoopRun() : control(simport::Control::get()), writer(control) {}
    ~LoopRun() {
        if (done_.valid()) {
            end();
            finish();
        }
    }

    // Loads `scenario` and starts the loop. `lines` are queued first, so they form its first
    // batch.
    void start(const std::string& scenario, const Texts& lines = {},
               bool refuseHighResolutionTimer = false) {
        ASSERT_TRUE(control.ok()) << "winmm.dll is not the simulated port";
        ASSERT_EQ(control.load(scenario.c_str()), 0) << control.lastError();
        reader.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(reader.event, nullptr);
        push(lines);
        surroundings.clock = &clock;
        surroundings.deviceList = &deviceList;
        surroundings.writer = &writer;
        surroundings.refuseHighResolutionTimer = refuseHighResolutionTimer;
        done_ = std::async(std::launch::async,
                           [this] { return mtcservice::serveLines(reader, surroundings); });
    }

    // As the reader thread queues lines: all at once, then the event.
    void push(const Texts& lines) {
        std::lock_guard<std::mutex> lock(reader.mutex);
        reader.lines.insert(reader.lines.end(), lines.begin(), lines.end());
        SetEvent(reader.event);
    }
    void end() {
        reader.eof = true;
        SetEvent(reader.event);
    }
    void overflow() {
        reader.overflow = true;
        SetEvent(reader.event);
    }
    // The exit code, or -1 when the loop did not end in time.
    int finish() {
        if (done_.wait_for(std::chrono::milliseconds(kLimitMs)) != std::future_status::ready) {
            ADD_FAILURE() << "the loop did not end";
            std::abort();  // it still uses this object: nothing can be cleaned up under it
        }
        const std::optional<int> code = done_.get();
        CloseHandle(reader.event);
        return code.value_or(-1);
    }

    Entries recorded() const { return parseRecording(control.text()); }
    bool awaitEntry(const char* event) {
        return within([&] { return !entriesOf(recorded(), event).empty(); });
    }
    bool awaitLines(std::size_t count) {
        return within([&] { return writer.lines().size() >= count; });
    }
    Texts texts() {
        Texts out;
        for (const Written& w : writer.lines()) {
            out.push_back(w.text);
        }
        return out;
    }
    std::string startLine(int id) {
        const std::vector<mtcservice::Device> list = mtcservice::devices();
        EXPECT_FALSE(list.empty());
        return "{\"id\":" + std::to_string(id) + ",\"command\":\"start\",\"outputId\":\"" +
               (list.empty() ? std::string() : list[0].id) + "\",\"fps\":25,\"offset\":0}";
    }
    // Started, playing, and the first full frame through: the next quarter frame is due one
    // interval from kStartAt.
    void startPlaying() {
        push({startLine(1), withId(2, report(10))});
        ASSERT_TRUE(awaitEntry("midiOutUnprepareHeader")) << "the full frame never completed";
    }

    simport::Control control;
    StillClock clock;
    mtcservice::WinmmDeviceList deviceList;
    HookedWriter writer;
    mtcservice::Reader reader;
    mtcservice::LoopSurroundings surroundings;

  private:
    std::future<std::optional<int>> done_;
};

TEST(ServiceLoop, anOrdinaryTimerHoldsTheOneMillisecondResolutionOnlyWhileOutputRuns) {
    enum class End { Stop, SilentPlayer, EndOfInput };
    struct Case {
        const char* name;
        bool refuseHighResolution;
        End end;  // of the output, once it runs
        Texts periods;
    };
    const Texts both = {"timeBeginPeriod", "timeEndPeriod"};
    const Case cases[] = {
        {"released by a stop", true, End::Stop, both},
        {"released after a failed step (the player went silent)", true, End::SilentPlayer, both},
        {"released at the end of input", true, End::EndOfInput, both},
        {"never touched with a high-resolution timer", false, End::Stop, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRun run;
        run.start(kPort, {}, c.refuseHighResolution);
        run.push({run.startLine(1)});
        ASSERT_TRUE(run.awaitLines(1));
        if (c.refuseHighResolution) {
            ASSERT_TRUE(run.awaitEntry("timeBeginPeriod"));
        }
        if (c.end == End::Stop) {
            run.push({"{\"id\":3,\"command\":\"stop\"}"});
        } else if (c.end == End::SilentPlayer) {
            run.clock.now = kStartAt + 0.4;  // past the watchdog: the step fails
        }
        EXPECT_TRUE(c.end == End::EndOfInput || run.awaitLines(2));
        run.end();
        EXPECT_EQ(run.finish(), 0);
        const Entries entries = run.recorded();
        EXPECT_EQ(eventsAmong(entries, both), c.periods);
        for (const RecordEntry& e : entries) {
            if (e.event == "timeBeginPeriod" || e.event == "timeEndPeriod") {
                EXPECT_EQ(e.field("period"), "1");
            }
        }
    }
}

TEST(ServiceLoop, anOverflowWhileOutputRunsClosesThePortBeforeItsEventAndNoQuarterFrameFollows) {
    LoopRun run;
    run.start(kPort);
    ASSERT_NO_FATAL_FAILURE(run.startPlaying());
    run.clock.now = kStartAt + kQuarter;
    ASSERT_TRUE(run.awaitEntry("midiOutShortMsg")) << "no quarter frame went out";
    run.overflow();
    EXPECT_EQ(run.finish(), 2);

    const std::vector<Written> lines = run.writer.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, kOverflowEvent);
    const Entries entries = run.recorded();
    const Entries closes = entriesOf(entries, "midiOutClose");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_LT(closes[0].at * 1e6, static_cast<double>(lines.back().atUs))
        << "the event was written before the port was closed";
    for (const RecordEntry& q : entriesOf(entries, "midiOutShortMsg")) {
        EXPECT_LT(q.at, closes[0].at);
    }
}

TEST(ServiceLoop, linesOfABatchAfterTheEndOfInputOrAnOverflowAreDroppedUnanswered) {
    struct Case {
        const char* name;
        void (LoopRun::*flag)();  // raised the moment the first reply is written, or none
        Texts written;
        int exitCode;
    };
    const std::string reply1 = "{\"id\":1,\"ok\":true,\"outputs\":[]}";
    const Case cases[] = {
        {"nothing raised: all three answered",
         nullptr,
         {reply1, "{\"id\":2,\"ok\":true,\"outputs\":[]}", "{\"id\":3,\"ok\":true,\"outputs\":[]}"},
         0},
        {"the end of input after the first", &LoopRun::end, {reply1}, 0},
        {"an overflow after the first", &LoopRun::overflow, {reply1, kOverflowEvent}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRun run;
        run.writer.hook = [&run, &c](const std::string& line) {
            if (c.flag != nullptr && line == "{\"id\":1,\"ok\":true,\"outputs\":[]}") {
                (run.*c.flag)();
            }
        };
        run.start("", {"{\"id\":1,\"command\":\"list\"}", "{\"id\":2,\"command\":\"list\"}",
                       "{\"id\":3,\"command\":\"list\"}"});
        if (c.flag == nullptr) {
            EXPECT_TRUE(run.awaitLines(3));
            run.end();
        }
        EXPECT_EQ(run.finish(), c.exitCode);
        EXPECT_EQ(run.texts(), c.written);
    }
}

// A report queued while the loop answers another line is handled before the engine steps, even
// when a quarter frame falls due in that very turn: the receiver gets the report's full frame,
// not a quarter frame of the old position first.
TEST(ServiceLoop, aReportThatArrivesDuringABatchComesBeforeAQuarterFrameDueInTheSameTurn) {
    LoopRun run;
    run.start(kPort);
    ASSERT_NO_FATAL_FAILURE(run.startPlaying());
    const std::size_t before = run.recorded().size();
    run.writer.hook = [&run](const std::string& line) {
        if (line == "{\"id\":3,\"ok\":true}") {
            run.clock.now = kStartAt + kQuarter;  // the next quarter frame is due now
            run.push({report(10 + kQuarter, true)});
        }
    };
    run.push({withId(3, report(10))});
    const Texts sent = {"midiOutShortMsg", "midiOutLongMsg"};
    ASSERT_TRUE(within([&] { return !eventsAmong(run.recorded(), sent, before).empty(); }));
    run.end();
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(eventsAmong(run.recorded(), sent, before).front(), "midiOutLongMsg");
}

// The loop sleeps between the engine's deadlines: a short playback costs this process (the
// loop, the simulated driver and the test's reports) 13 to 33 ms of CPU a second here (Wine
// counts it in 10 ms steps). A loop that never sleeps, as one whose timer fires at once does,
// took 460 to 500. Measured in this process because Wine does not report another process's CPU
// time faithfully.
TEST(ServiceLoop, aShortPlaybackSleepsBetweenDeadlinesInsteadOfSpinning) {
    constexpr double kPlaySeconds = 1.5;
    constexpr double kCpuMsPerSecondBound = 150;
    LoopRun run;
    run.start(kPort);
    ASSERT_NO_FATAL_FAILURE(run.startPlaying());
    run.clock.runningSince = mtccheck::hostNow();
    double user = 0, kernel = 0;
    ASSERT_TRUE(mtccheck::processTimes(GetCurrentProcess(), user, kernel));
    const double cpuBefore = user + kernel;
    const double begin = mtccheck::hostNow();
    for (double t = 0; t < kPlaySeconds; t = mtccheck::hostNow() - begin) {
        run.push({report(10 + t)});
        Sleep(20);
    }
    ASSERT_TRUE(mtccheck::processTimes(GetCurrentProcess(), user, kernel));
    const double cpuMsPerSecond =
        (user + kernel - cpuBefore) / (mtccheck::hostNow() - begin) * 1000;
    run.end();
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.writer.lines().size(), 2u) << "the playback ran without an error";
    EXPECT_GT(entriesOf(run.recorded(), "midiOutShortMsg").size(), 100u);
    std::printf("CPU while playing: %.1f ms per second\n", cpuMsPerSecond);
    EXPECT_LT(cpuMsPerSecond, kCpuMsPerSecondBound);
}

}  // namespace
