#include "check/player.h"

#include <cmath>

#include "check/recording.h"

namespace mtccheck {

const PlayerChange* PlayerHistory::at(double t) const {
    const PlayerChange* found = nullptr;
    for (const PlayerChange& c : changes_) {
        if (usToSeconds(c.atUs) > t) {
            break;
        }
        found = &c;
    }
    return found;
}

double PlayerHistory::positionAt(double t) const {
    const PlayerChange* c = at(t);
    if (c == nullptr) {
        return changes_.empty() ? 0 : changes_.front().position;
    }
    return c->position + (c->playing ? (t - usToSeconds(c->atUs)) * c->rate : 0);
}

bool PlayerHistory::playingAt(double t) const {
    const PlayerChange* c = at(t);
    return c != nullptr && c->playing;
}

double PlayerHistory::rateAt(double t) const {
    const PlayerChange* c = at(t);
    return c != nullptr ? c->rate : 1.0;
}

double PlayerHistory::changedBefore(double t) const {
    const PlayerChange* c = at(t);
    return c != nullptr ? usToSeconds(c->atUs) : 0;
}

void ShowPlayer::perform(const Step& step, int64_t us) {
    PlayerChange change;
    change.atUs = us;
    change.position = step.setPosition ? step.position : positionAt(us);
    change.playing = step.play >= 0 ? step.play == 1 : playing();
    if (step.stop) {
        change.playing = false;
    }
    change.rate = clock_.model().rate();
    change.track = step.setTrack ? std::optional<std::string>(step.track) : track();
    history_.add(std::move(change));
}

bool ShowPlayer::playing() const {
    return !history_.changes().empty() && history_.changes().back().playing;
}

std::optional<std::string> ShowPlayer::track() const {
    return history_.changes().empty() ? std::nullopt : history_.changes().back().track;
}

double ShowPlayer::positionAt(int64_t us) const {
    if (history_.changes().empty()) {
        return 0;
    }
    const PlayerChange& last = history_.changes().back();
    return last.position + (last.playing ? clock_.played(usToSeconds(us - last.atUs)) : 0);
}

double ShowPlayer::reportedAt(int64_t us) {
    if (history_.changes().empty()) {
        return 0;
    }
    const PlayerChange& last = history_.changes().back();
    return last.position + (last.playing ? clock_.read(usToSeconds(us - last.atUs)) : 0);
}

int64_t ShowPlayer::nextReportInUs() {
    return static_cast<int64_t>(std::llround(clock_.nextReportIn() * 1e6));
}

}  // namespace mtccheck
