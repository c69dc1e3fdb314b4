#include "check/follow.h"

#include <algorithm>
#include <cstdio>

namespace mtccheck {

FollowJudge::FollowJudge(const std::vector<TimedReading>& readings, const PlayerHistory& player,
                         double offset, int rate)
    : readings_(readings), player_(player), offset_(offset), rate_(rate) {}

bool FollowJudge::advanceTo(double t) {
    while (next_ < readings_.size() && readings_[next_].reading.at <= t) {
        clock_.apply(readings_[next_].reading);
        ++next_;
    }
    return clock_.hasTime();
}

double FollowJudge::errorAt(double t) const {
    return wrapDifference(clock_.readAt(t) - (player_.positionAt(t) + offset_), rate_);
}

namespace {

std::string describe(const CycleFollow& c, double from) {
    char text[160];
    std::snprintf(text, sizeof text, "%s at %.3f s, off by %.1f ms, piece 7 late by %.1f ms",
                  formatWithRate(c.label).c_str(), c.at - from, c.errorS * 1e3, c.lateS * 1e3);
    return text;
}

}  // namespace

FollowVerdict judgeCycles(const std::vector<TimedReading>& readings, const PlayerHistory& player,
                          double offset, int rate, const FollowBounds& bounds, double from,
                          double to) {
    FollowVerdict verdict;
    FollowJudge judge(readings, player, offset, rate);
    double pieceZeroAt = -1, pieceSevenAt = -1;
    for (const TimedReading& tr : readings) {
        const Reading& r = tr.reading;
        if (r.kind == Reading::kQuarter) {
            pieceZeroAt = r.piece == 0 ? tr.startS : pieceZeroAt;
            pieceSevenAt = r.piece == 7 ? tr.startS : pieceSevenAt;
            continue;
        }
        if (r.kind != Reading::kCycle || pieceZeroAt < from || pieceZeroAt > to) {
            continue;
        }
        const double interval = frameSeconds(r.time.rate) / 4;
        if (player.changedBefore(r.at) > pieceZeroAt - interval - bounds.reach) {
            continue;  // a change the service may not have had yet
        }
        judge.advanceTo(r.at);
        CycleFollow c;
        c.at = r.at;
        c.errorS = judge.errorAt(r.at);
        c.lateS = std::max(0.0, pieceSevenAt - (pieceZeroAt + 7 * interval));
        c.label = advance(r.time, -2);
        // As if piece 7 had left on time: its lateness explains lagging, never being ahead.
        const double onTime = c.errorS + c.lateS;
        c.outside = onTime > bounds.ahead || onTime < -bounds.behind;
        c.stalled = !c.outside && c.errorS < -bounds.behind;
        if (c.outside && ++verdict.outside == 1) {
            verdict.firstOutside = describe(c, from);
        }
        verdict.cycles.push_back(c);
    }
    return verdict;
}

}  // namespace mtccheck
