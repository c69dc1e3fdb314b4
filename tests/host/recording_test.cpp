// The simulated port's recording as the receiver reads it: literal lines in the recording's
// documented layout, fed in awkward chunks.
#include "tools/host/wirelog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mtchost::RecordingReader;
using mtchost::WireMessage;

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
        ASSERT_EQ(mtchost::parseWireLine(c.line, m), c.ok);
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

}  // namespace
