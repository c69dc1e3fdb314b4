// The player model the shows play and the reports judge with: a show's steps performed on it,
// and where its history says the player truly was between them.
#include "check/player.h"

#include <gtest/gtest.h>

namespace {

using mtccheck::ShowPlayer;
using mtccheck::Step;

Step step(int play, bool setPosition = false, double position = 0, const char* track = nullptr) {
    Step s;
    s.play = play;
    s.setPosition = setPosition;
    s.position = position;
    s.setTrack = track != nullptr;
    s.track = track != nullptr ? track : "";
    return s;
}

// A player whose clock runs 1000 ppm fast, reading it in 4800-sample blocks at 48 kHz (0.1 s):
// track "a" from 10 s at 1 s, a seek to 90 s at 2 s, a pause at 3 s, the stop at 4 s.
TEST(Player, aShowsStepsMakeAHistoryThatKnowsWhereThePlayerTrulyWasBetweenThem) {
    mtccheck::ClockModel clock;
    clock.blockFrames = 4800;
    clock.driftPpm = 1000;
    ShowPlayer player(clock);
    EXPECT_FALSE(player.track());
    player.perform(step(1, true, 10, "a"), 1000000);
    EXPECT_NEAR(player.reportedAt(1250000), 10.2, 1e-9) << "0.25 s played, read in 0.1 s blocks";
    player.perform(step(-1, true, 90), 2000000);
    player.perform(step(0), 3000000);
    Step stop = step(-1);
    stop.stop = true;
    player.perform(stop, 4000000);
    ASSERT_EQ(player.history().changes().size(), 4u);
    EXPECT_EQ(*player.track(), "a") << "a seek keeps the track";

    const struct {
        double t;
        double position;
        bool playing;
        double changedBefore;
    } rows[] = {
        {0.5, 10, false, 0},  // before the first step: where it starts, not playing
        {1.0, 10, true, 1.0},      {1.5, 10.5005, true, 1.0},  // half a second at 1.001
        {2.0, 90, true, 2.0},      {2.999, 90.999999, true, 2.0},
        {3.5, 91.001, false, 3.0},  // paused where a second at 1.001 took it
        {9.0, 91.001, false, 4.0},  // the stop keeps the place
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.t);
        EXPECT_NEAR(player.history().positionAt(r.t), r.position, 1e-9);
        EXPECT_EQ(player.history().playingAt(r.t), r.playing);
        EXPECT_DOUBLE_EQ(player.history().changedBefore(r.t), r.changedBefore);
    }
    EXPECT_NEAR(player.positionAt(9000000), 91.001, 1e-9);
}

}  // namespace
