// The simulated port's recording as the receiver reads it: literal lines in the recording's
// documented layout, fed in awkward chunks; every line as an event with its fields; and the
// whole of one port's MTC with the service's side of each message.
#include "check/recording.h"

#include <gtest/gtest.h>

#include "check/capture.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using mtccheck::RecordingReader;
using mtccheck::WireMessage;

TEST(Recording, wireAndDropLinesGiveTheBytesThatLeftAndWhen) {
    struct Case {
        const char* line;
        bool ok;
        int port;
        int64_t start, end;
        std::vector<uint8_t> bytes;
        bool cut;
    };
    const Case cases[] = {
        {"1000900 wire port=0 seq=1 start=1000200 end=1000840 bytes=F135",
         true,
         0,
         1000200,
         1000840,
         {0xF1, 0x35},
         false},
        {"1004121 wire port=2 seq=2 start=1000840 end=1004040 bytes=F07F7F0101020304F7",
         true,
         2,
         1000840,
         1004040,
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x02, 0x03, 0x04, 0xF7},
         false},
        // A reset cut it after two bytes: they left in 640 us from its start.
        {"1004200 drop port=0 seq=3 start=1004050 sent=2 bytes=F07F7F0101020304F7",
         true,
         0,
         1004050,
         1004690,
         {0xF0, 0x7F},
         true},
        {"1004200 drop port=0 seq=4 start=- sent=0 bytes=F135", true, 0, 0, 0, {}, true},
        {"1000900 wire port=0 seq=1 start=1000200 end=1000100 bytes=F135",
         false,
         -1,
         0,
         0,
         {},
         false},
        {"1000900 wire port=0 seq=1 start=1000200 end=1000840 bytes=F13",
         false,
         -1,
         0,
         0,
         {},
         false},
        {"1000900 wire port=0 seq=1 start=1000200 end=1000840 bytes=F1G5",
         false,
         -1,
         0,
         0,
         {},
         false},
        {"1000900 wire port=0 seq=1 start=1000200 bytes=F135", false, -1, 0, 0, {}, false},
        {"1000900 wire port=-1 seq=1 start=1000200 end=1000840 bytes=F135",
         false,
         -1,
         0,
         0,
         {},
         false},
        {"1004200 drop port=0 seq=3 start=1004050 sent=3 bytes=F135", false, -1, 0, 0, {}, false},
        {"1004121 done port=0 seq=2 header=0x5ffe00", false, -1, 0, 0, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        WireMessage m;
        ASSERT_EQ(mtccheck::parseWireLine(c.line, m), c.ok);
        if (!c.ok) {
            continue;
        }
        EXPECT_EQ(m.port, c.port);
        EXPECT_EQ(m.startUs, c.start);
        EXPECT_EQ(m.endUs, c.end);
        EXPECT_EQ(m.bytes, c.bytes);
        EXPECT_EQ(m.cut, c.cut);
    }
}

const char kRecording[] =
    "1000000 simport pid=4242\n"
    "1000001 load ports=2 from=scenario\n"
    "1000003 error control line 4: unknown key \"prot\"\n"
    "1000050 midiOutOpen dev=0 callback=0x64 instance=0x0 flags=0x50000 -> 4 handle=0x0\n"
    "1000100 midiOutOpen dev=1 callback=0x64 instance=0x0 flags=0x50000 -> 0 handle=0x10000 "
    "port=1\n"
    "1000200 midiOutShortMsg handle=0x10000 msg=0x000000F1 bytes=F100 -> 0 seq=1\n"
    "1000900 wire port=1 seq=1 start=1000200 end=1000840 bytes=F100\n"
    "1000950 wire port=1 seq=2 start=1000840 end=1001480 bytes=F110\n"
    "1000960 wire port=1 seq=3 start=1001480 bytes=F120\n";

TEST(Recording, followsTheOpenedPortAndReadsOnlyWholeLinesWhateverTheChunks) {
    const std::string text = kRecording;
    for (size_t chunk : {size_t(1), size_t(7), size_t(64), text.size()}) {
        SCOPED_TRACE("chunks of " + std::to_string(chunk));
        RecordingReader reader;
        std::vector<WireMessage> all;
        for (size_t i = 0; i < text.size(); i += chunk) {
            const size_t n = std::min(chunk, text.size() - i);
            reader.feed(text.data() + i, n);
            for (WireMessage& m : reader.take()) {
                all.push_back(std::move(m));
            }
        }
        EXPECT_TRUE(reader.sawHeader());
        EXPECT_EQ(reader.openedPort(), 1);  // the refused open of port 0 does not count
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all[0].seq, 1u);
        EXPECT_EQ(all[1].bytes, (std::vector<uint8_t>{0xF1, 0x10}));
        EXPECT_EQ(reader.unreadable(), 1u);  // the wire line without an end
        ASSERT_EQ(reader.errors().size(), 1u);
        EXPECT_EQ(reader.errors()[0], "error control line 4: unknown key \"prot\"");
    }
}

TEST(Recording, aLineStillBeingWrittenWaitsForItsEnd) {
    RecordingReader reader;
    const std::string first = "1000900 wire port=0 seq=1 start=1000200 end=1000840 bytes=F1";
    reader.feed(first.data(), first.size());
    EXPECT_TRUE(reader.take().empty());
    reader.feed("35\n", 3);
    const std::vector<WireMessage> got = reader.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, (std::vector<uint8_t>{0xF1, 0x35}));
}

TEST(Recording, everyLineIsAnEventWithItsFieldsAndResult) {
    const std::vector<mtccheck::RecordEntry> entries = mtccheck::parseRecording(
        "1000100 midiOutOpen id=0 callback=0x5 -> 0 handle=0x10000 port=0\n"
        "1000200 midiOutShortMsg handle=0x10000 msg=0x35F1 seq=7 -> 0\n"
        "1000300 fired\n"
        "1000400 wire port=0 seq=7 start=-\n"
        "1000500 midiOutClose handle=0x10");  // still being written
    struct Row {
        const char* event;
        double at;
        const char* key;
        long long number;  // of `key`; -1 when absent
        const char* result;
    };
    const Row rows[] = {
        {"midiOutOpen", 1.0001, "handle", 0x10000, "0"},
        {"midiOutShortMsg", 1.0002, "seq", 7, "0"},
        {"fired", 1.0003, "seq", -1, ""},
        {"wire", 1.0004, "start", -1, ""},  // "-" reads as absent
    };
    ASSERT_EQ(entries.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(rows[i].event);
        EXPECT_EQ(entries[i].event, rows[i].event);
        EXPECT_DOUBLE_EQ(entries[i].at, rows[i].at);
        EXPECT_EQ(entries[i].number(rows[i].key), rows[i].number);
        EXPECT_EQ(entries[i].field("result"), rows[i].result);
    }
    EXPECT_EQ(mtccheck::entriesOf(entries, "fired").size(), 1u);
    EXPECT_EQ(entries[0].field("port"), "0");  // fields after the result count too
}

// A port session as the simulated port records it: the open, then each message's call and its
// wire line. `quarters` lists the data bytes of quarter frames sent every 10 ms from 2.0 s.
std::string session(const std::vector<int>& quarters, const char* extraWire = nullptr) {
    std::string text = "1000000 midiOutOpen id=0 -> 0 handle=0x10000 port=0\n";
    long long seq = 1;
    long long at = 2000000;
    const std::string full =
        "F07F7F0101210000"
        "00F7";
    text += std::to_string(at) + " midiOutLongMsg seq=1 -> 0\n";
    text += std::to_string(at + 100) + " wire port=0 seq=1 start=" + std::to_string(at + 100) +
            " end=" + std::to_string(at + 3300) + " bytes=" + full + "\n";
    for (int data : quarters) {
        at += 10000;
        ++seq;
        char bytes[8];
        std::snprintf(bytes, sizeof bytes, "F1%02X", data);
        text += std::to_string(at) + " midiOutShortMsg seq=" + std::to_string(seq) + " -> 0\n";
        text += std::to_string(at + 50) + " wire port=0 seq=" + std::to_string(seq) +
                " start=" + std::to_string(at + 50) + " end=" + std::to_string(at + 690) +
                " bytes=" + bytes + "\n";
    }
    if (extraWire != nullptr) {
        text += std::to_string(at + 20000) +
                " wire port=0 seq=99 start=" + std::to_string(at + 20000) +
                " end=" + std::to_string(at + 20320) + " bytes=" + extraWire + "\n";
    }
    return text;
}

TEST(Recording, theCaptureReadsCyclesBreaksAndStraysAsAReceiverDoes) {
    // 01:00:00:04 at 25 fps, pieces 0..7.
    const std::vector<int> cycle = {0x04, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72};
    struct Case {
        const char* name;
        std::vector<int> quarters;
        const char* extra;
        size_t cycles;
        size_t breaks;
        size_t strays;
        const char* firstCycle;  // with its rate code
    };
    std::vector<int> twice = cycle;
    twice.insert(twice.end(), cycle.begin(), cycle.end());
    std::vector<int> gap = cycle;
    gap.erase(gap.begin() + 3);
    std::vector<int> reserved = cycle;
    reserved[1] = 0x12;  // a bit the frames' high nibble never carries: no time, still a cycle
    const Case cases[] = {
        {"one whole cycle", cycle, nullptr, 1, 0, 0, "01:00:00:04@1"},
        {"two cycles", twice, nullptr, 2, 0, 0, "01:00:00:04@1"},
        {"a piece missing", gap, nullptr, 0, 1, 0, ""},
        {"a reserved bit set", reserved, nullptr, 1, 0, 0, "01:00:00:36@1"},
        {"an end of exclusive alone", cycle, "F7", 1, 0, 1, "01:00:00:04@1"},
        {"a note", cycle, "903C40", 1, 0, 1, "01:00:00:04@1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const mtccheck::MtcCapture capture =
            mtccheck::decodeMtc(mtccheck::parseRecording(session(c.quarters, c.extra)));
        ASSERT_EQ(capture.fullFrames.size(), 1u);
        EXPECT_EQ(mtccheck::formatWithRate(capture.fullFrames[0].tc), "01:00:00:00@1");
        EXPECT_FALSE(capture.fullFrames[0].lateTick);
        EXPECT_EQ(capture.quarters.size(), c.quarters.size());
        EXPECT_EQ(capture.cycles.size(), c.cycles);
        EXPECT_EQ(capture.breaks.size(), c.breaks);
        EXPECT_EQ(capture.strays.size(), c.strays);
        if (!capture.cycles.empty()) {
            EXPECT_EQ(mtccheck::formatWithRate(capture.cycles[0].tc), c.firstCycle);
            EXPECT_DOUBLE_EQ(capture.cycles[0].firstCallAt, 2.01);  // piece 0's call
            EXPECT_DOUBLE_EQ(capture.cycles[0].firstWireAt, 2.01005);
        }
    }
}

TEST(Recording, aFullFrameHandedOverMoreThanAnIntervalAfterTheQuarterFrameBeforeIsALateTick) {
    // The quarter frame was handed over at 2.01 s; then a full frame, 10 ms being one quarter
    // interval at 25 fps.
    const struct {
        const char* name;
        const char* lines;
        bool lateTick;
    } cases[] = {
        {"20 ms after it",
         "2030000 midiOutLongMsg seq=3 -> 0\n"
         "2030100 wire port=0 seq=3 start=2030100 end=2033300 bytes=F07F7F01012100000AF7\n",
         true},
        {"9 ms after it",
         "2019000 midiOutLongMsg seq=3 -> 0\n"
         "2019100 wire port=0 seq=3 start=2019100 end=2022300 bytes=F07F7F01012100000AF7\n",
         false},
        // The call's time counts, not when the driver let it leave.
        {"handed over 9 ms after it, leaving 12 ms after",
         "2019000 midiOutLongMsg seq=3 -> 0\n"
         "2022000 wire port=0 seq=3 start=2022000 end=2025200 bytes=F07F7F01012100000AF7\n",
         false},
        {"20 ms after it, but the first message since the port was opened again",
         "2025000 midiOutOpen id=0 -> 0 handle=0x10001 port=0\n"
         "2030000 midiOutLongMsg seq=3 -> 0\n"
         "2030100 wire port=0 seq=3 start=2030100 end=2033300 bytes=F07F7F01012100000AF7\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const mtccheck::MtcCapture capture =
            mtccheck::decodeMtc(mtccheck::parseRecording(session({0x04}, nullptr) + c.lines));
        ASSERT_EQ(capture.fullFrames.size(), 2u);
        EXPECT_FALSE(capture.fullFrames[0].lateTick);
        EXPECT_EQ(capture.fullFrames[1].lateTick, c.lateTick);
        EXPECT_EQ(capture.lateTicks(), c.lateTick ? 1u : 0u);
        EXPECT_EQ(capture.requested().size(), c.lateTick ? 1u : 2u);
    }
    const mtccheck::MtcCapture late =
        mtccheck::decodeMtc(mtccheck::parseRecording(session({0x04}, nullptr) + cases[0].lines));
    EXPECT_DOUBLE_EQ(late.fullFrames[1].message.callAt, 2.03);
    EXPECT_DOUBLE_EQ(late.fullFrames[1].message.wireEnd, 2.0333);
}

}  // namespace
