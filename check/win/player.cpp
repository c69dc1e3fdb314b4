#include "check/win/player.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "check/win/clock.h"

namespace mtccheck {

std::string transportLine(const std::optional<std::string>& track, double position, bool playing,
                          double sentAtUnixMs, bool locate) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  ",\"position\":%.6f,\"playing\":%s,\"sentAtUnixMs\":%.3f", position,
                  playing ? "true" : "false", sentAtUnixMs);
    std::string line = "{\"command\":\"transport\",\"trackId\":";
    line += track ? "\"" + *track + "\"" : std::string("null");
    line += numbers;
    if (locate) {
        line += ",\"locate\":true";
    }
    line += "}";
    return line;
}

Player::Player(std::function<void(const std::string&)> send) : send_(std::move(send)) {}

Player::~Player() {
    stopReports();
}

Player::Segment Player::current(double t) {
    Segment found{0, "", 0, false};
    for (const Segment& segment : history_) {
        if (segment.from <= t) {
            found = segment;
        }
    }
    return found;
}

double Player::positionAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Segment s = current(t);
    return s.playing ? s.position + (t - s.from) : s.position;
}

double Player::changedBefore(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return current(t).from;
}

bool Player::playingAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return current(t).playing;
}

void Player::sendLocked(double t, bool locate) {
    const Segment s = current(t);
    const double position = s.playing ? s.position + (t - s.from) : s.position;
    send_(transportLine(s.track, position, s.playing, unixMillisNow(), locate));
    lastReportAt_ = t;
}

void Player::play(const std::string& track, double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    history_.push_back(Segment{t, track, position, true});
    sendLocked(t, locate);
}

void Player::pause(bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(
        Segment{t, s.track, s.playing ? s.position + (t - s.from) : s.position, false});
    sendLocked(t, locate);
}

void Player::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(Segment{t, s.track, s.position, true});
    sendLocked(t, false);
}

void Player::seek(double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    history_.push_back(Segment{t, s.track, position, s.playing});
    sendLocked(t, locate);
}

void Player::shift(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = hostNow();
    const Segment s = current(t);
    const double position = (s.playing ? s.position + (t - s.from) : s.position) + seconds;
    history_.push_back(Segment{t, s.track, position, s.playing});
    sendLocked(t, false);
}

void Player::report(bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(hostNow(), locate);
}

void Player::startReports(double period) {
    stopReports();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reporting_ = true;
    }
    thread_ = std::thread([this, period] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (reporting_) {
            const double now = hostNow();
            const double due = lastReportAt_ + period;
            if (now >= due) {
                sendLocked(now, false);
                continue;
            }
            wake_.wait_for(lock,
                           std::chrono::microseconds(static_cast<long long>((due - now) * 1e6)));
        }
    });
}

void Player::stopReports() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reporting_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

double Player::lastReportAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReportAt_;
}

}  // namespace mtccheck
