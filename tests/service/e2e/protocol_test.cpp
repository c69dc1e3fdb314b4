// The command protocol as the host sees it: the exact reply and event lines of mtc-service.exe,
// and that every failure leaves MTC output stopped and the service answering.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace mtctest {
namespace {

struct ListCase {
    const char* what;
    std::string scenario;
    std::string reply;
};

TEST(ListCommand, AnswersWithEveryPortThatHasAStableIdentityAsQuotedJson) {
    const std::vector<ListCase> cases = {
        {"a machine without MIDI outputs", "", R"({"id":1,"ok":true,"outputs":[]})"},
        {"several ports, one named with a quotation mark, a control character and a CJK "
         "character, one without a name and one without an interface path",
         "port name=\"Sim A\" path=\"sim#a\"\n"
         "port name=\"Q%22%01%E4%B8%AD\" path=\"sim#b\" mid=2 pid=7 version=0x0501 "
         "tech=2\n"
         "port name=\"No path\" path=none\n"
         "port name=\"\" path=\"sim#c\"\n",
         R"({"id":1,"ok":true,"outputs":[)"
         R"({"id":"winmm:f74ad2bc488480b8c259d4fae6ace033571e740017810b206b88b425a3dbcfaf","name":"Sim A"},)"
         R"({"id":"winmm:5b9b94acbe1ef472292b2b45742263e38d28ffc201f41fb1664d9a88a7b077d8","name":"Q\"\u0001中"},)"
         R"({"id":"winmm:9cb387a3afdb29c28f8a2c796d2804d402c071c829b5d72cf4a744295edeee68","name":"MIDI 输出"}]})"},
        {"two ports with one identity, which a host could not tell apart, and a distinct one",
         "port name=\"Twin\" path=\"sim#twin\"\n"
         "port name=\"Solo\" path=\"sim#solo\"\n"
         "port name=\"Twin\" path=\"sim#twin\"\n",
         R"({"id":1,"ok":true,"outputs":[)"
         R"({"id":"winmm:7b09f85ea3bf938a90870d5b74a17b3d1eef791dbc7d9607303eed166fe8bbcf","name":"Solo"}]})"},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceOptions options;
        options.scenario = c.scenario;
        ServiceHost host(options);
        ASSERT_TRUE(host.started());
        EXPECT_EQ(host.request(R"({"id":1,"command":"list"})"), c.reply);
        // Asked again, the same ids: they are derived, not handed out.
        EXPECT_EQ(host.request(R"({"id":1,"command":"list"})"), c.reply);
        host.closeInput();
        EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(0));
        EXPECT_EQ(host.standardError(), "");
    }
}

// A line and what the host must read next; an empty expectation means "nothing at all", which
// the test proves by the next command's reply arriving first.
struct Exchange {
    const char* what;
    std::string line;
    std::string reply;
};

TEST(CommandForms, AcceptedCommandsAreAnsweredWithTheirIdAsPlainDigitsOrNotAtAll) {
    const std::string now = "$NOW";
    const std::vector<Exchange> exchanges = {
        {"id 0", R"({"id":0,"command":"stop"})", R"({"id":0,"ok":true})"},
        {"id written with an exponent", R"({"id":1e3,"command":"stop"})",
         R"({"id":1000,"ok":true})"},
        {"id written with a fraction of zero", R"({"id":1.5e1,"command":"stop"})",
         R"({"id":15,"ok":true})"},
        {"negative zero id", R"({"id":-0,"command":"stop"})", R"({"id":0,"ok":true})"},
        {"largest id", R"({"id":9007199254740991,"command":"stop"})",
         R"({"id":9007199254740991,"ok":true})"},
        {"members the protocol does not name, of every kind",
         R"({"id":5,"command":"stop","x":null,"y":"s","z":true,"w":-1.5e-3,"Command":"list"})",
         R"({"id":5,"ok":true})"},
        {"white space around members and a carriage return before the line feed",
         " \t{ \"id\" : 6 ,\"command\":\"stop\" } \r", R"({"id":6,"ok":true})"},
        {"id after the command", R"({"command":"stop","id":7})", R"({"id":7,"ok":true})"},
        {"a stop without id succeeds silently", R"({"command":"stop"})", ""},
        {"an empty line is skipped", "", ""},
        {"start on a listed port", startLine("20", kPlayerPortId, 25, 0), R"({"id":20,"ok":true})"},
        {"a report without a track, rate or locate",
         R"({"id":21,"command":"transport","trackId":null,"position":1,"playing":true,"sentAtUnixMs":$NOW})",
         R"({"id":21,"ok":true})"},
        {"a paused report at twice the speed with locate false",
         R"({"id":22,"command":"transport","trackId":"A","position":1,"playing":false,"playbackRate":2,"locate":false,"sentAtUnixMs":$NOW})",
         R"({"id":22,"ok":true})"},
        {"a playing report without id succeeds silently",
         R"({"command":"transport","trackId":"A","position":1,"playing":true,"sentAtUnixMs":$NOW})",
         ""},
        {"start again while running", startLine("23", kPlayerPortId, 29.97, 0),
         R"({"id":23,"ok":true})"},
        {"start with an offset of negative zero", startLine("24", kPlayerPortId, 30, -0.0),
         R"({"id":24,"ok":true})"},
        {"stop while running", R"({"id":25,"command":"stop"})", R"({"id":25,"ok":true})"},
        {"stop while stopped", R"({"id":26,"command":"stop"})", R"({"id":26,"ok":true})"},
    };
    ServiceHost host(onPlayerPort());
    ASSERT_TRUE(host.started());
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(e.what);
        std::string line = e.line;
        const size_t at = line.find("$NOW");
        if (at != std::string::npos) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.3f", unixMillisNow());
            line.replace(at, 4, stamp);
        }
        host.send(line);
        if (e.reply.empty()) {
            EXPECT_EQ(host.request(R"({"id":424242,"command":"stop"})"), okLine("424242"));
        } else {
            const std::optional<OutputLine> reply = host.readLine(5.0);
            EXPECT_EQ(reply ? reply->text : "<no reply>", e.reply);
        }
    }
    host.closeInput();
    EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(0));
    EXPECT_EQ(host.standardError(), "");
    EXPECT_EQ(host.rawOutput().find('\r'), std::string::npos) << "replies end in a bare line feed";
}

struct FailureCase {
    const char* what;
    std::string line;      // $NOW, $STALE, $FUTURE: wall-clock stamps; $PLAY, $BUSY, $GONE: ids
    std::string expected;  // the one line the host must read
    bool opensPort;        // whether the failure comes from trying to open a port
};

std::string expand(std::string line) {
    struct Stamp {
        const char* name;
        double shift;
    };
    const double now = unixMillisNow();
    for (const Stamp& s : {Stamp{"$STALE", -300.0}, Stamp{"$FUTURE", 1500.0}, Stamp{"$NOW", 0.0}}) {
        for (size_t at = line.find(s.name); at != std::string::npos; at = line.find(s.name)) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", now + s.shift);
            line.replace(at, std::string(s.name).size(), text);
        }
    }
    const std::pair<const char*, std::string> ids[] = {
        {"$PLAY", kPlayerPortId},
        {"$BUSY", "winmm:195d68a4bc9cb5e4d6b1745c00cb172298e5c65c3e0545abc1ff4d522792b271"},
        {"$GONE", "winmm:" + std::string(64, '0')},
    };
    for (const auto& id : ids) {
        for (size_t at = line.find(id.first); at != std::string::npos; at = line.find(id.first)) {
            line.replace(at, 5, id.second);
        }
    }
    return line;
}

// True once a quarter frame has gone out since the port was last opened.
bool quarterSinceLastOpen(const std::vector<RecordEntry>& entries) {
    bool since = false;
    for (const RecordEntry& e : entries) {
        if (e.event == "midiOutOpen" && e.field("result") == "0") {
            since = false;
        } else if (e.event == "midiOutShortMsg") {
            since = true;
        }
    }
    return since;
}

TEST(CommandFailures, EveryFailureIsReportedExactlyStopsTheOutputAndTheServiceGoesOn) {
    const std::string malformedEvent = errorEventLine(kMalformed);
    const std::string hex63 = std::string(63, 'a');
    const std::vector<FailureCase> cases = {
        // Lines that are no command object, or whose id is unusable: error events.
        {"a line that is not JSON although it holds an id", R"({"id":7,"command":"stop")",
         malformedEvent, false},
        {"a line of spaces", "   ", malformedEvent, false},
        {"an array value", R"({"id":7,"command":"stop","x":[]})", malformedEvent, false},
        {"a duplicate key", R"({"id":7,"command":"stop","command":"stop"})", malformedEvent, false},
        {"an id of 2.5", R"({"id":2.5,"command":"stop"})", malformedEvent, false},
        {"an id of -1", R"({"id":-1,"command":"stop"})", malformedEvent, false},
        {"an id of 2^53", R"({"id":9007199254740992,"command":"stop"})", malformedEvent, false},
        {"an id given as a string", R"({"id":"7","command":"stop"})", malformedEvent, false},
        {"an id of null", R"({"id":null,"command":"stop"})", malformedEvent, false},
        {"an unknown command without id", R"({"command":"pause"})", errorEventLine(kUnknownCommand),
         false},
        // Commands with a valid id: failure replies.
        {"no command", R"({"id":7})", failureLine("7", kMalformed), false},
        {"a command given as a number", R"({"id":7,"command":7})", failureLine("7", kMalformed),
         false},
        {"an unknown command", R"({"id":7,"command":"play"})", failureLine("7", kUnknownCommand),
         false},
        {"a command in the wrong letter case", R"({"id":7,"command":"Stop"})",
         failureLine("7", kUnknownCommand), false},
        {"a command in capitals", R"({"id":7,"command":"LIST"})", failureLine("7", kUnknownCommand),
         false},
        {"a command with a trailing space", R"({"id":7,"command":"transport "})",
         failureLine("7", kUnknownCommand), false},
        {"an outputId of 69 bytes",
         R"({"id":7,"command":"start","outputId":"winmm:)" + hex63 + R"(","fps":25,"offset":0})",
         failureLine("7", kMalformed), false},
        {"an outputId of 71 bytes",
         R"({"id":7,"command":"start","outputId":"winmm:)" + hex63 + R"(aa","fps":25,"offset":0})",
         failureLine("7", kMalformed), false},
        {"an outputId with another prefix",
         R"({"id":7,"command":"start","outputId":"winmx:)" + hex63 + R"(a","fps":25,"offset":0})",
         failureLine("7", kMalformed), false},
        {"an outputId with an upper-case digit",
         R"({"id":7,"command":"start","outputId":"winmm:A)" + hex63 + R"(","fps":25,"offset":0})",
         failureLine("7", kMalformed), false},
        {"an outputId given as a number",
         R"({"id":7,"command":"start","outputId":1,"fps":25,"offset":0})",
         failureLine("7", kMalformed), false},
        {"a start without fps", R"({"id":7,"command":"start","outputId":"$PLAY","offset":0})",
         failureLine("7", kMalformed), false},
        {"a start with fps as a string",
         R"({"id":7,"command":"start","outputId":"$PLAY","fps":"25","offset":0})",
         failureLine("7", kMalformed), false},
        {"a start without offset", R"({"id":7,"command":"start","outputId":"$PLAY","fps":25})",
         failureLine("7", kMalformed), false},
        {"a start at 29.97001 fps",
         R"({"id":7,"command":"start","outputId":"$PLAY","fps":29.97001,"offset":0})",
         failureLine("7", kInvalidRate), false},
        {"a start at an offset of 24 hours",
         R"({"id":7,"command":"start","outputId":"$PLAY","fps":25,"offset":86400})",
         failureLine("7", kInvalidRate), false},
        {"a start at a negative offset",
         R"({"id":7,"command":"start","outputId":"$PLAY","fps":25,"offset":-1})",
         failureLine("7", kInvalidRate), false},
        {"a start on a port that is not there",
         R"({"id":7,"command":"start","outputId":"$GONE","fps":25,"offset":0})",
         failureLine("7", kPortGone), true},
        {"a start on a port another program holds",
         R"({"id":7,"command":"start","outputId":"$BUSY","fps":25,"offset":0})",
         failureLine("7", kPortBusy), true},
        {"a report without trackId",
         R"({"id":7,"command":"transport","position":1,"playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report with a number as trackId",
         R"({"id":7,"command":"transport","trackId":1,"position":1,"playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report without position",
         R"({"id":7,"command":"transport","trackId":"A","playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report with playing as a string",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":"true","sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report without sentAtUnixMs",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true})",
         failureLine("7", kMalformed), false},
        {"a report with playbackRate as a string",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true,"playbackRate":"1","sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report with locate as a number",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true,"locate":1,"sentAtUnixMs":$NOW})",
         failureLine("7", kMalformed), false},
        {"a report sent 300 ms ago",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true,"sentAtUnixMs":$STALE})",
         failureLine("7", kStale), false},
        {"a report stamped 1.5 s in the future",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true,"sentAtUnixMs":$FUTURE})",
         failureLine("7", kStale), false},
        {"a stale report without id",
         R"({"command":"transport","trackId":"A","position":1,"playing":true,"sentAtUnixMs":$STALE})",
         errorEventLine(kStale), false},
        {"a negative position",
         R"({"id":7,"command":"transport","trackId":"A","position":-1,"playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kImplausible), false},
        {"a position beyond seven days",
         R"({"id":7,"command":"transport","trackId":"A","position":604801,"playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kImplausible), false},
        {"an empty track id",
         R"({"id":7,"command":"transport","trackId":"","position":1,"playing":true,"sentAtUnixMs":$NOW})",
         failureLine("7", kImplausible), false},
        {"a paused report at speed 0",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":false,"playbackRate":0,"sentAtUnixMs":$NOW})",
         failureLine("7", kImplausible), false},
        {"playing at 1.5x",
         R"({"id":7,"command":"transport","trackId":"A","position":1,"playing":true,"playbackRate":1.5,"sentAtUnixMs":$NOW})",
         failureLine("7", kSpeed), false},
        {"playing at 0.99x without id",
         R"({"command":"transport","trackId":"A","position":1,"playing":true,"playbackRate":0.99,"sentAtUnixMs":$NOW})",
         errorEventLine(kSpeed), false},
    };

    ServiceHost host(
        onPlayerPort("port name=\"Busy port\" path=\"sim#busy\"\n"
                     "fault open port=1\n"));
    ASSERT_TRUE(host.started());
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(host.request(startLine("1", kPlayerPortId, 25, 0)), okLine("1"));
        host.send(transportLine(std::string("A"), 1.0, true, unixMillisNow()));
        // The full frame and the first quarter frames go out, within milliseconds unless the
        // machine is loaded.
        const double playingBy = hostNow() + 5.0;
        while (!quarterSinceLastOpen(parseRecording(host.recording())) && hostNow() < playingBy) {
            Sleep(10);
        }
        const double sentAt = host.send(expand(c.line));
        const std::optional<OutputLine> reply = host.readLine(5.0);
        EXPECT_EQ(reply ? reply->text : "<no reply>", c.expected);
        // The service still answers, and its output is off.
        EXPECT_EQ(
            host.request(expand(
                R"({"id":2,"command":"transport","trackId":"A","position":1,"playing":true,"sentAtUnixMs":$NOW})")),
            failureLine("2", kNotActive));

        const std::vector<RecordEntry> entries = parseRecording(host.recording());
        double lastOpen = -1, lastClose = -1, lastQuarter = -1, firstQuarterAfterOpen = -1;
        bool enumeratedAfterLine = false;
        for (const RecordEntry& e : entries) {
            if (e.event == "midiOutOpen" && e.field("result") == "0") {
                lastOpen = e.at;
                firstQuarterAfterOpen = -1;
            } else if (e.event == "midiOutClose" && e.field("result") == "0") {
                lastClose = e.at;
            } else if (e.event == "midiOutShortMsg") {
                lastQuarter = e.at;
                if (firstQuarterAfterOpen < 0) {
                    firstQuarterAfterOpen = e.at;
                }
            } else if (e.event == "midiOutGetNumDevs" && e.at >= sentAt) {
                enumeratedAfterLine = true;
            }
        }
        EXPECT_GT(firstQuarterAfterOpen, lastOpen) << "output was running before the failure";
        EXPECT_GT(lastClose, lastOpen) << "the port is closed after the failure";
        EXPECT_GT(lastClose, lastQuarter) << "no quarter frame after the close";
        EXPECT_EQ(enumeratedAfterLine, c.opensPort)
            << "malformed starts and refused rates are stopped before any port is opened";
    }
    host.closeInput();
    EXPECT_EQ(host.waitExit(5.0), std::optional<DWORD>(0));
    EXPECT_EQ(host.standardError(), "");
}

}  // namespace
}  // namespace mtctest
