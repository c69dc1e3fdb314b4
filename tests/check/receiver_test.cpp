// The receiver against literal wire bytes laid out by hand from the MTC message formats:
// full frame F0 7F 7F 01 01 hr mn sc fr F7 (hr = rate << 5 | hours), quarter frame F1 0nnn dddd.
#include "check/receiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using mtccheck::MtcDecoder;
using mtccheck::Reading;
using mtccheck::ReceiverClock;

std::vector<Reading> feedAll(MtcDecoder& d, const std::vector<uint8_t>& bytes, double at = 1.0) {
    std::vector<Reading> out;
    d.feed(bytes.data(), bytes.size(), at, out);
    return out;
}

// Quarter-frame data bytes sent as eight F1 messages.
std::vector<uint8_t> quarters(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    for (uint8_t d : data) {
        out.push_back(0xF1);
        out.push_back(d);
    }
    return out;
}

// The readings that carry a time (full frames and whole cycles), as text.
std::vector<std::string> times(const std::vector<Reading>& readings) {
    std::vector<std::string> out;
    for (const Reading& r : readings) {
        if (r.kind == Reading::kFullFrame) {
            out.push_back("full " + mtccheck::format(r.time) + " r" + std::to_string(r.time.rate));
        } else if (r.kind == Reading::kCycle) {
            out.push_back("cycle " + mtccheck::format(r.time) + " r" + std::to_string(r.time.rate));
        } else if (r.kind == Reading::kBadCycle || r.kind == Reading::kBadLabel) {
            out.push_back(r.kind == Reading::kBadCycle ? "bad cycle" : "bad label");
        }
    }
    return out;
}

struct WireCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<std::string> expected;
};

TEST(Receiver, readsFullFramesAndWholeCyclesFromLiteralBytes) {
    const WireCase cases[] = {
        {"full frame at 25",
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0xF7},
         {"full 01:00:00:00 r1"}},
        {"full frame at 29.97 after a dropped label",
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x01, 0x00, 0x02, 0xF7},
         {"full 00:01:00;02 r2"}},
        {"full frame at a tenth minute keeps ;00",
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x0A, 0x00, 0x00, 0xF7},
         {"full 00:10:00;00 r2"}},
        {"full frame with a dropped label is refused",
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x01, 0x00, 0x00, 0xF7},
         {"bad label"}},
        {"full frame addressed to one device id still locates",
         {0xF0, 0x7F, 0x10, 0x01, 0x01, 0x61, 0x01, 0x00, 0x00, 0xF7},
         {"full 01:01:00:00 r3"}},
        {"user bits and other System Exclusive are not times",
         {0xF0, 0x7F, 0x7F, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
          0x07, 0x08, 0x09, 0xF7, 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         {}},
        {"01:00:00:00 at 25 in quarters reads two frames on",
         quarters({0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72}),
         {"cycle 01:00:00:02 r1"}},
        {"01:01:30:00 at 25",
         quarters({0x00, 0x10, 0x2E, 0x31, 0x41, 0x50, 0x61, 0x72}),
         {"cycle 01:01:30:02 r1"}},
        {"23:59:59:29 at 30 reads past midnight",
         quarters({0x0D, 0x11, 0x2B, 0x33, 0x4B, 0x53, 0x67, 0x77}),
         {"cycle 00:00:00:01 r3"}},
        {"00:00:59;28 at 29.97 reads across the dropped labels",
         quarters({0x0C, 0x11, 0x2B, 0x33, 0x40, 0x50, 0x60, 0x74}),
         {"cycle 00:01:00;02 r2"}},
        {"00:00:00:00 at 24",
         quarters({0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}),
         {"cycle 00:00:00:02 r0"}},
        {"a cycle with a dropped label is refused",
         quarters({0x00, 0x10, 0x20, 0x30, 0x41, 0x50, 0x60, 0x74}),
         {"bad label"}},
        {"a cycle with reserved bits set is refused",
         quarters({0x00, 0x12, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72}),
         {"bad label"}},
        {"real-time bytes inside messages change nothing",
         {0xF0, 0x7F, 0xF8, 0x7F, 0x01, 0x01, 0x21, 0xFE, 0x00, 0x00, 0x00, 0xF7, 0xF1, 0xF8, 0x00},
         {"full 01:00:00:00 r1"}},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        MtcDecoder d;
        EXPECT_EQ(times(feedAll(d, c.bytes)), c.expected);
    }
}

TEST(Receiver, aCycleWithAMissingOrMisplacedPieceGivesNoTime) {
    const WireCase cases[] = {
        {"piece 3 missing", quarters({0x00, 0x10, 0x20, 0x40, 0x50, 0x61, 0x72}), {"bad cycle"}},
        {"pieces 2 and 3 swapped",
         quarters({0x00, 0x10, 0x30, 0x20, 0x40, 0x50, 0x61, 0x72}),
         {"bad cycle"}},
        {"piece 4 repeated",
         quarters({0x00, 0x10, 0x20, 0x30, 0x40, 0x40, 0x50, 0x61, 0x72}),
         {"bad cycle"}},
        {"piece 0 missing", quarters({0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72}), {"bad cycle"}},
        {"a new cycle starts before the last one ended, then completes",
         quarters({0x00, 0x10, 0x20, 0x02, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72}),
         {"bad cycle", "cycle 01:00:00:04 r1"}},
        {"a data byte without its F1 is not a quarter frame",
         {0xF1, 0x00, 0x10, 0xF1, 0x20, 0xF1, 0x30, 0xF1, 0x40, 0xF1, 0x50, 0xF1, 0x61, 0xF1, 0x72},
         {"bad cycle"}},
        {"a broken cycle, then a whole one",
         quarters({0x00, 0x10, 0x30, 0x40, 0x50, 0x61, 0x72, 0x02, 0x10, 0x20, 0x30, 0x40, 0x50,
                   0x61, 0x72}),
         {"bad cycle", "cycle 01:00:00:04 r1"}},
        {"a locate in the middle of a cycle is no fault",
         {0xF1, 0x00, 0xF1, 0x10, 0xF1, 0x20, 0xF0, 0x7F, 0x7F, 0x01, 0x01,
          0x21, 0x01, 0x1E, 0x00, 0xF7, 0xF1, 0x00, 0xF1, 0x10, 0xF1, 0x2E,
          0xF1, 0x31, 0xF1, 0x41, 0xF1, 0x50, 0xF1, 0x61, 0xF1, 0x72},
         {"full 01:01:30:00 r1", "cycle 01:01:30:02 r1"}},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        MtcDecoder d;
        EXPECT_EQ(times(feedAll(d, c.bytes)), c.expected);
    }
}

TEST(Receiver, countsEveryQuarterFrameAndFullFrame) {
    MtcDecoder d;
    std::vector<uint8_t> bytes = quarters({0x00, 0x10, 0x20, 0x40, 0x50});
    const std::vector<uint8_t> full = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0, 0, 0, 0xF7};
    bytes.insert(bytes.end(), full.begin(), full.end());
    feedAll(d, bytes);
    EXPECT_EQ(d.quarterFrames(), 5u);
    EXPECT_EQ(d.fullFrames(), 1u);
    EXPECT_EQ(d.badCycles(), 1u);
    EXPECT_EQ(d.cycles(), 0u);
}

TEST(Receiver, aFullFrameSplitAcrossTwoFeedsArrivesWithTheSecond) {
    MtcDecoder d;
    std::vector<Reading> out;
    const uint8_t first[] = {0xF0, 0x7F, 0x7F, 0x01, 0x01};
    const uint8_t second[] = {0x21, 0x00, 0x00, 0x05, 0xF7};
    d.feed(first, sizeof first, 2.0, out);
    EXPECT_TRUE(out.empty());
    d.feed(second, sizeof second, 2.5, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Reading::kFullFrame);
    EXPECT_EQ(out[0].at, 2.5);
    EXPECT_EQ(mtccheck::format(out[0].time), "01:00:00:05");
}

TEST(Receiver, aSystemExclusiveCutShortByAnotherStatusIsDropped) {
    MtcDecoder d;
    // A reset cut the full frame after six bytes; the next message is a quarter frame.
    const std::vector<uint8_t> bytes = {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21,
                                        0xF1, 0x00, 0x00, 0x00, 0xF7};
    EXPECT_TRUE(times(feedAll(d, bytes)).empty());
    EXPECT_EQ(d.fullFrames(), 0u);
    EXPECT_EQ(d.quarterFrames(), 1u);
}

// Feeds one message at a time at the given moments (seconds).
void feedAt(MtcDecoder& d, ReceiverClock& clock, const std::vector<uint8_t>& bytes, double at) {
    std::vector<Reading> out;
    d.feed(bytes.data(), bytes.size(), at, out);
    for (const Reading& r : out) {
        clock.apply(r);
    }
}

TEST(ReceiverClock, standsStillAfterAFullFrameAndRunsOnWholeCycles) {
    MtcDecoder d;
    ReceiverClock clock;
    EXPECT_FALSE(clock.hasTime());
    feedAt(d, clock, {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x00, 0x00, 0x00, 0xF7}, 10.0);
    EXPECT_TRUE(clock.hasTime());
    EXPECT_DOUBLE_EQ(clock.readAt(10.0), 3600.0);
    EXPECT_DOUBLE_EQ(clock.readAt(10.5), 3600.0);  // a located receiver does not run
    EXPECT_FALSE(clock.lockedAt(10.0));

    // Quarter frames every 10 ms (25 fps); the first cycle ends 80 ms after it began.
    const uint8_t cycle0[] = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72};
    const uint8_t cycle1[] = {0x02, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72};
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, cycle0[k]}, 10.01 + 0.01 * k);
    }
    EXPECT_TRUE(clock.running());
    EXPECT_NEAR(clock.readAt(10.08), 3600.08, 1e-9);  // 01:00:00:02
    EXPECT_NEAR(clock.readAt(10.09), 3600.09, 1e-9);  // runs on in real time
    EXPECT_FALSE(clock.lockedAt(10.08));              // one cycle is not yet a lock
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, cycle1[k]}, 10.09 + 0.01 * k);
    }
    EXPECT_NEAR(clock.readAt(10.16), 3600.16, 1e-9);  // 01:00:00:04
    EXPECT_TRUE(clock.lockedAt(10.16));

    // The stream stops: the receiver runs on for two quarter intervals and then holds.
    EXPECT_NEAR(clock.readAt(10.18), 3600.18, 1e-9);
    EXPECT_NEAR(clock.readAt(11.0), 3600.18, 1e-9);
    EXPECT_FALSE(clock.lockedAt(11.0));
}

TEST(ReceiverClock, staysLockedAcrossMidnight) {
    MtcDecoder d;
    ReceiverClock clock;
    const uint8_t before[] = {0x0C, 0x11, 0x2B, 0x33, 0x4B, 0x53, 0x67, 0x77};  // 23:59:59:28
    const uint8_t after[] = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x76};   // 00:00:00:00
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, before[k]}, 1.0 + 0.01 * k);
    }
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, after[k]}, 1.08 + 0.01 * k);
    }
    EXPECT_TRUE(clock.lockedAt(1.15));
    EXPECT_NEAR(clock.readAt(1.15), 2.0 / 30, 1e-9);  // 00:00:00:02
}

TEST(ReceiverClock, aCycleThatDoesNotFollowTheLastOneIsNoLock) {
    MtcDecoder d;
    ReceiverClock clock;
    const uint8_t cycleA[] = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72};  // :00
    const uint8_t cycleB[] = {0x06, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61, 0x72};  // :06, not :02
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, cycleA[k]}, 1.0 + 0.01 * k);
    }
    for (int k = 0; k < 8; ++k) {
        feedAt(d, clock, {0xF1, cycleB[k]}, 1.08 + 0.01 * k);
    }
    EXPECT_FALSE(clock.lockedAt(1.15));
    EXPECT_NEAR(clock.readAt(1.15), 3600.32, 1e-9);  // but it does show the new time
}

}  // namespace
