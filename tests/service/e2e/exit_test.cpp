// How the service ends, as its host sees it: end of input, input overflow, a host that stopped
// reading, and a driver that will not let go of the port, each with its lines and exit code.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace mtctest {
namespace {

std::vector<std::string> textsOf(const std::vector<OutputLine>& lines) {
    std::vector<std::string> texts;
    for (const OutputLine& line : lines) {
        texts.push_back(line.text);
    }
    return texts;
}

TEST(Exits, InputClosedAtOnceEndsTheServiceSilentlyWithCode0) {
    ServiceHost host;
    ASSERT_TRUE(host.started());
    host.closeInput();
    EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(0));
    EXPECT_EQ(host.rawOutput(), "");
    EXPECT_EQ(host.standardError(), "");
}

TEST(Exits, InputEndingWhileOutputRunsClosesThePortAndEndsWithCode0) {
    ServiceHost host(onPlayerPort());
    ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 0)), okLine("1"));
    Player player(host);
    player.play("A", 1.0);
    player.startReports(0.02);
    Sleep(100);
    player.stopReports();
    host.closeInput();
    EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(0));
    EXPECT_EQ(textsOf(host.allLines()), std::vector<std::string>{okLine("1")});
    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    const std::vector<RecordEntry> closes = entriesOf(entries, "midiOutClose");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].field("result"), "0");
    EXPECT_FALSE(entriesOf(entries, "midiOutShortMsg").empty());
    EXPECT_EQ(host.standardError(), "");
}

// The port's close is made to take 400 ms, so that lines written meanwhile wait in the
// service's queue while its main thread is busy, exactly as on a slow machine.
constexpr char kSlowCloseScenario[] =
    "port name=\"Player port\" path=\"sim#play\"\nfault closeblock port=0 ms=400\n";

std::string numberedStops(int first, int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += "{\"id\":" + std::to_string(first + i) + ",\"command\":\"stop\"}\n";
    }
    return lines;
}

struct BurstCase {
    const char* what;
    int lines;        // written in one burst while the main thread is busy
    bool withStop;    // in the same write as the slow stop, so most likely in its batch
    bool closeInput;  // input ends right after the burst
    DWORD exitCode;
    bool answered;  // the burst is answered
    bool overflowEvent;
};

TEST(Exits, LinesWaitingWhenInputEndsOrOverflowsAreNeverAnswered) {
    const std::vector<BurstCase> cases = {
        {"64 waiting lines are all answered", 64, false, false, 0, true, false},
        {"lines still queued when input ends are dropped", 3, false, true, 0, false, false},
        {"lines taken with the slow command are dropped when input ends meanwhile", 3, true, true,
         0, false, false},
        {"a 65th waiting line overflows the queue", 65, false, false, 2, false, true},
    };
    for (const BurstCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceOptions options;
        options.scenario = kSlowCloseScenario;
        ServiceHost host(options);
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 0)), okLine("1"));
        if (c.withStop) {
            host.write(std::string(R"({"id":2,"command":"stop"})") + "\n" +
                       numberedStops(100, c.lines));
            Sleep(100);  // the stop is now blocked in the port's close
        } else {
            host.send(R"({"id":2,"command":"stop"})");
            Sleep(100);  // the stop is now blocked in the port's close
            host.write(numberedStops(100, c.lines));
        }
        if (c.closeInput) {
            host.closeInput();
        }
        std::vector<std::string> expected = {okLine("1"), okLine("2")};
        if (c.answered) {
            for (int i = 0; i < c.lines; ++i) {
                expected.push_back(okLine(std::to_string(100 + i)));
            }
        }
        if (c.overflowEvent) {
            expected.push_back(errorEventLine(kOverflow));
        }
        if (!c.closeInput && c.exitCode == 0) {
            // Give the answers time to arrive before ending input.
            for (size_t i = 2; i < expected.size(); ++i) {
                host.readLine(5.0);
            }
            host.closeInput();
        }
        EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(c.exitCode));
        EXPECT_EQ(textsOf(host.allLines()), expected);
        EXPECT_EQ(host.standardError(), "");
    }
}

struct LongLineCase {
    const char* what;
    size_t bytes;  // line length without the line feed
    bool lineFeed;
    std::vector<std::string> expected;
    DWORD exitCode;
};

std::string paddedStop(size_t bytes) {
    const std::string head = R"({"id":5,"command":"stop","pad":")";
    const std::string tail = R"("})";
    return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

TEST(Exits, ALineOf16384BytesIsAnsweredAndOneByteMoreOverflowsAtOnce) {
    const std::vector<LongLineCase> cases = {
        {"16384 bytes", 16384, true, {okLine("5")}, 0},
        // The overflow is seen at the 16385th byte, without waiting for the line feed.
        {"16385 bytes and no line feed yet", 16385, false, {errorEventLine(kOverflow)}, 2},
    };
    for (const LongLineCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceHost host;
        host.write(paddedStop(c.bytes) + (c.lineFeed ? "\n" : ""));
        if (c.exitCode == 0) {
            host.readLine(5.0);
            host.closeInput();
        }
        EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(c.exitCode));
        EXPECT_EQ(textsOf(host.allLines()), c.expected);
        EXPECT_EQ(host.standardError(), "");
    }
}

TEST(Exits, AHostThatStoppedReadingEndsTheServiceWithCode2AtItsNextLine) {
    ServiceOptions options = onPlayerPort();
    options.readOutput = false;
    ServiceHost host(options);
    ASSERT_TRUE(host.started());
    // Commands that need no answer still run.
    host.send(startLine("", kPlayerPortId, 25, 0));
    host.send(R"({"command":"stop"})");
    EXPECT_EQ(host.waitExit(0.3), std::nullopt);
    // The first line the service must write cannot be written.
    host.send(R"({"id":2,"command":"list"})");
    EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(2));
    EXPECT_EQ(host.standardError(), "");
    const std::vector<RecordEntry> entries = parseRecording(host.recording());
    EXPECT_EQ(entriesOf(entries, "midiOutOpen").size(), 1u);
    EXPECT_EQ(entriesOf(entries, "midiOutClose").size(), 1u);
}

struct StuckDriverCase {
    const char* what;
    bool byStop;  // "stop", or the end of input
};

TEST(Exits, ADriverThatWillNotCloseEndsTheServiceWithTheFixedLineAndCode2) {
    for (const StuckDriverCase& c :
         {StuckDriverCase{"on stop", true}, StuckDriverCase{"at the end of input", false}}) {
        SCOPED_TRACE(c.what);
        ServiceHost host(onPlayerPort("fault close port=0 code=1\n"));
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 0)), okLine("1"));
        if (c.byStop) {
            host.send(R"({"id":2,"command":"stop"})");
        } else {
            host.closeInput();
        }
        EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(2));
        EXPECT_EQ(host.rawOutput(), okLine("1") + "\n" + kDriverStuckLine + "\n");
        EXPECT_EQ(std::string(kDriverStuckLine).size() + 1, 112u);
        EXPECT_EQ(host.standardError(), "");
    }
}

}  // namespace
}  // namespace mtctest
