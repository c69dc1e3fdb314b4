#include "check/script.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace mtccheck {
namespace {

constexpr double kLongestWait = 600;  // one wait; a show is a test, not a concert
constexpr double kLongestShow = 3600;
constexpr double kLatestPosition = 604800;  // the service refuses positions past 7 days
constexpr size_t kLongestTrack = 2048;      // and track ids longer than this

// Splits a line into words; a word in double quotes may hold spaces (no escapes). A `#`
// outside quotes ends the line. Returns false with `problem` set on an unclosed quote.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& problem) {
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            break;
        }
        if (c == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                problem = "missing closing quote";
                return false;
            }
            words.push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        size_t end = i;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
               line[end] != '#') {
            ++end;
        }
        words.push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty() || text.size() > 32) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '.')) {
            return false;  // no signs, exponents, "inf" or "nan"
        }
    }
    if (text.find('.') != text.rfind('.') || text == ".") {
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

// Keeps the text of a number as the user wrote it for labels ("seek 1:30").
std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) {
            out += ' ';
        }
        out += w.find(' ') != std::string::npos ? "\"" + w + "\"" : w;
    }
    return out;
}

class Parser {
  public:
    explicit Parser(std::string name) : name_(std::move(name)) {}

    Show run(const std::string& text) {
        show_.name = name_;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            ++lineNo_;
            std::vector<std::string> words;
            std::string problem;
            if (!splitWords(line, words, problem)) {
                fail(problem);
            }
            if (words.empty()) {
                continue;
            }
            if (stopped_) {
                fail("nothing may follow \"stop\"");
            }
            command(words);
        }
        if (!stopped_) {
            lineNo_ = 0;
            Step& s = current();
            s.stop = true;
            addLabel(s, "stop");
        }
        classify();
        return show_;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw ScriptError(name_ + " line " + std::to_string(lineNo_) + ": " + what);
    }

    void expectArgs(const std::vector<std::string>& words, size_t least, size_t most,
                    const char* usage) const {
        if (words.size() - 1 < least || words.size() - 1 > most) {
            fail(std::string("expected \"") + usage + "\"");
        }
    }

    double timeArg(const std::string& text, const char* what) const {
        double seconds = 0;
        if (!parseTime(text, seconds)) {
            fail(std::string("cannot read ") + what + " \"" + text +
                 "\" (write seconds like 90 or 2.5, or [h:]m:s like 1:30)");
        }
        return seconds;
    }

    // The step that commands at the current instant add to.
    Step& current() {
        if (!open_) {
            Step s;
            s.at = now_;
            s.line = lineNo_;
            show_.steps.push_back(s);
            open_ = true;
        }
        return show_.steps.back();
    }

    static void addLabel(Step& s, const std::string& text) {
        s.label += s.label.empty() ? text : ", " + text;
    }

    void command(const std::vector<std::string>& words) {
        const std::string& verb = words[0];
        if (verb == "fps") {
            expectArgs(words, 1, 1, "fps 24|25|29.97|30");
            if (started_) {
                fail("fps must come before the first wait");
            }
            const std::string& v = words[1];
            if (v != "24" && v != "25" && v != "29.97" && v != "30") {
                fail("fps must be 24, 25, 29.97 or 30, not \"" + v + "\"");
            }
            show_.fps = std::strtod(v.c_str(), nullptr);
            return;
        }
        if (verb == "offset") {
            expectArgs(words, 1, 1, "offset SECONDS|H:M:S");
            if (started_) {
                fail("offset must come before the first wait");
            }
            const double offset = timeArg(words[1], "offset");
            if (offset >= 86400) {
                fail("offset must be below 24 hours");
            }
            show_.offset = offset;
            return;
        }
        if (verb == "player") {
            if (started_) {
                fail("player must come before the first wait");
            }
            player(words);
            return;
        }
        if (verb == "wait") {
            expectArgs(words, 1, 1, "wait SECONDS");
            const double seconds = timeArg(words[1], "wait time");
            if (seconds <= 0 || seconds > kLongestWait) {
                fail("wait must be more than 0 and at most 600 seconds");
            }
            if (show_.steps.empty()) {
                // Waiting before anything happened: the player sits paused at 0 meanwhile,
                // and the first clock report goes out at once.
                current();
                addLabel(show_.steps.back(), "idle");
            }
            now_ += seconds;
            if (now_ > kLongestShow) {
                fail("the show would last more than an hour");
            }
            open_ = false;
            started_ = true;
            return;
        }
        Step& s = current();
        const std::string label = joinWords(words);
        if (verb == "track") {
            if (words.size() != 2 && !(words.size() == 4 && words[2] == "at")) {
                fail("expected \"track NAME\" or \"track NAME at POSITION\"");
            }
            if (words[1].empty() || words[1].size() > kLongestTrack) {
                fail("a track name has 1 to 2048 bytes");
            }
            s.setTrack = true;
            s.track = words[1];
            s.setPosition = true;
            s.position = words.size() == 4 ? timeArg(words[3], "position") : 0;
            hasTrack_ = true;
        } else if (verb == "play" || verb == "pause") {
            expectArgs(words, 0, 0, verb.c_str());
            const bool play = verb == "play";
            if (play && !hasTrack_) {
                fail("play needs a track first (add a line \"track NAME\" before it)");
            }
            if (play == playing_) {
                fail(play ? "the player is already playing" : "the player is already paused");
            }
            s.play = play ? 1 : 0;
            playing_ = play;
        } else if (verb == "seek") {
            expectArgs(words, 1, 1, "seek POSITION");
            s.setPosition = true;
            s.position = timeArg(words[1], "position");
        } else if (verb == "locate") {
            expectArgs(words, 0, 0, "locate");
            s.locate = true;
        } else if (verb == "stop") {
            expectArgs(words, 0, 0, "stop");
            s.stop = true;
            stopped_ = true;
        } else {
            fail("unknown command \"" + verb +
                 "\" (expected fps, offset, player, track, play, pause, seek, locate, wait or "
                 "stop)");
        }
        if (s.setPosition && s.position > kLatestPosition) {
            fail("a position must be at most 604800 seconds (7 days)");
        }
        addLabel(s, label);
    }

    // "player blocks N RATE", "player jitter MS", "player drift PPM", "player reports MS [MS]",
    // "player exact".
    void player(const std::vector<std::string>& words) {
        const char* usage = "player blocks|jitter|drift|reports|exact ...";
        if (words.size() < 2) {
            fail(std::string("expected \"") + usage + "\"");
        }
        ClockModel& clock = show_.clock;
        const std::string& what = words[1];
        if (what == "exact") {
            expectArgs(words, 1, 1, "player exact");
            clock = ClockModel();
        } else if (what == "blocks") {
            expectArgs(words, 3, 3, "player blocks SAMPLES RATE");
            const double frames = numberArg(words[2], 16, 16384, "a block of 16 to 16384 samples");
            if (std::floor(frames) != frames) {
                fail("a block is a whole number of samples");
            }
            clock.blockFrames = static_cast<int>(frames);
            clock.sampleRate = numberArg(words[3], 8000, 384000, "a sample rate of 8000 to 384000");
        } else if (what == "jitter") {
            expectArgs(words, 2, 2, "player jitter MS");
            clock.readJitterMs = numberArg(words[2], 0, 100, "a jitter of 0 to 100 ms");
        } else if (what == "drift") {
            expectArgs(words, 2, 2, "player drift PPM");
            const std::string& v = words[2];
            const bool negative = !v.empty() && v[0] == '-';
            const std::string magnitude =
                !v.empty() && (v[0] == '-' || v[0] == '+') ? v.substr(1) : v;
            // The service refuses a playing report whose rate is off 1 by 0.001 or more.
            const double ppm = numberArg(magnitude, 0, 999, "a drift of -999 to 999 ppm");
            clock.driftPpm = negative ? -ppm : ppm;
        } else if (what == "reports") {
            expectArgs(words, 2, 3, "player reports MS [JITTER_MS]");
            clock.reportPeriodMs = numberArg(words[2], 1, 300, "a report period of 1 to 300 ms");
            clock.sendJitterMs = words.size() == 4
                                     ? numberArg(words[3], 0, clock.reportPeriodMs / 2,
                                                 "a send jitter of at most half the period")
                                     : 0;
        } else {
            fail("unknown player setting \"" + what +
                 "\" (expected blocks, jitter, drift, reports or exact)");
        }
    }

    double numberArg(const std::string& text, double least, double most, const char* what) const {
        double value = 0;
        if (!parseNumber(text, value) || value < least || value > most) {
            fail(std::string("expected ") + what + ", not \"" + text + "\"");
        }
        return value;
    }

    // What each step makes the host expect from the service, by what the player did; the
    // first step is always the first clock report.
    void classify() {
        bool playing = false;
        for (size_t i = 0; i < show_.steps.size(); ++i) {
            Step& s = show_.steps[i];
            const bool wasPlaying = playing;
            if (s.play >= 0) {
                playing = s.play == 1;
            }
            if (i == 0) {
                s.cause = Cause::kFirstReport;
            } else if (s.stop) {
                s.cause = Cause::kStop;
            } else if (s.setTrack) {
                s.cause = Cause::kTrackSwitch;
            } else if (s.setPosition) {
                s.cause = Cause::kSeek;
            } else if (playing != wasPlaying) {
                s.cause = playing ? Cause::kResume : Cause::kPause;
            } else if (s.locate) {
                s.cause = Cause::kRequest;
            } else {
                s.cause = Cause::kNone;
            }
        }
    }

    std::string name_;
    Show show_;
    int lineNo_ = 0;
    double now_ = 0;
    bool open_ = false;     // the last step still takes commands (no wait since)
    bool started_ = false;  // a wait has passed
    bool stopped_ = false;
    bool hasTrack_ = false;
    bool playing_ = false;
};

}  // namespace

const char* causeName(Cause cause) {
    switch (cause) {
        case Cause::kFirstReport:
            return "first report";
        case Cause::kSeek:
            return "seek";
        case Cause::kPause:
            return "pause";
        case Cause::kResume:
            return "resume";
        case Cause::kTrackSwitch:
            return "track switch";
        case Cause::kRequest:
            return "request";
        case Cause::kStop:
            return "stop";
        case Cause::kNone:
            break;
    }
    return "none";
}

bool parseTime(const std::string& text, double& seconds) {
    // Up to three colon-separated parts: hours and minutes whole, seconds with a fraction.
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() > 3) {
        return false;
    }
    double total = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        double v = 0;
        if (!parseNumber(parts[i], v)) {
            return false;
        }
        const bool last = i + 1 == parts.size();
        if (!last && parts[i].find('.') != std::string::npos) {
            return false;
        }
        if (i > 0 && v >= 60) {
            return false;  // "1:75" is a typo, not 135 seconds
        }
        total = total * 60 + v;
    }
    seconds = total;
    return true;
}

Show parseShow(const std::string& text, const std::string& name) {
    return Parser(name).run(text);
}

const char* defaultShowText() {
    return "# The built-in show: about 17 seconds of a player at 25 fps from 01:00:00:00.\n"
           "# Every position it jumps to starts a frame, except the last seek: a time code\n"
           "# names whole frames, so there the receiver reads about half a frame behind.\n"
           "# The player reads its position from an audio clock, as real players do.\n"
           "fps 25\n"
           "offset 1:00:00\n"
           "player blocks 512 48000\n"
           "player reports 20 4\n"
           "track song-1\n"
           "play\n"
           "wait 4\n"
           "seek 1:30          # forward\n"
           "wait 3\n"
           "pause\n"
           "wait 1.5\n"
           "play               # resume\n"
           "wait 3\n"
           "track song-2 at 30\n"
           "wait 3\n"
           "seek 12.5          # backward, to the middle of a frame\n"
           "wait 3\n"
           "stop\n";
}

}  // namespace mtccheck
