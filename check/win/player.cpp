#include "check/win/player.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "check/recording.h"
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

double Player::positionAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_.positionAt(t);
}

double Player::changedBefore(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_.changedBefore(t);
}

bool Player::playingAt(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_.playingAt(t);
}

PlayerHistory Player::history() {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_;
}

double Player::changeLocked(double position, bool playing, const std::string* track) {
    const double now = hostNow();
    const PlayerChange* last = history_.at(now);
    PlayerChange change;
    change.atUs = static_cast<int64_t>(std::llround(now * 1e6));
    change.position = position;
    change.playing = playing;
    change.track = track != nullptr ? std::optional<std::string>(*track)
                                    : (last != nullptr ? last->track : std::nullopt);
    history_.add(std::move(change));
    return usToSeconds(history_.changes().back().atUs);
}

void Player::sendLocked(double t, bool locate) {
    const PlayerChange* s = history_.at(t);
    const bool playing = s != nullptr && s->playing;
    const std::string track = s != nullptr && s->track ? *s->track : std::string();
    send_(transportLine(track, history_.positionAt(t), playing, unixMillisNow(), locate));
    lastReportAt_ = t;
}

void Player::play(const std::string& track, double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(changeLocked(position, true, &track), locate);
}

void Player::pause(bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(changeLocked(history_.positionAt(hostNow()), false), locate);
}

void Player::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(changeLocked(history_.positionAt(hostNow()), true), false);
}

void Player::seek(double position, bool locate) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(changeLocked(position, history_.playingAt(hostNow())), locate);
}

void Player::shift(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = hostNow();
    sendLocked(changeLocked(history_.positionAt(now) + seconds, history_.playingAt(now)), false);
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
