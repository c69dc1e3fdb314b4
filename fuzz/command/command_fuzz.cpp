// Command handling as far as it runs without Windows: each input is a little show script, one
// command line per line, that the service's own command handler runs against the production
// engine on a simulated clock, with the engine stepped at the deadlines the engine names, as
// the service loop steps it. The sink is the tests' recording sink with checks of what reaches
// the wire on top; the clock, device list and writer are the tests' fakes, and every line the
// handler writes is checked. Beyond the sanitizers, the target
// aborts when:
//   - decoding fails with any message but the protocol's two, or yields a request id that is
//     not the plain digits of an integer from 0 to 2^53 - 1, or an output id of another form;
//   - the handler writes anything but exactly one reply for a line with a request id, or
//     anything but nothing (success) or one error event (failure) for a line without one, or a
//     line that does not read back as the object it stands for;
//   - the engine throws a message that is none of its own or the sink's;
//   - a failed command leaves the output running;
//   - the sink is used against its contract (a quarter frame while a full frame is in flight
//     or held, anything sent while closed, an open without a close before it);
//   - the wire carries a malformed message: a full frame or quarter-frame cycle with a field
//     out of range, the wrong rate code, a drop-frame label that 29.97 skips, pieces out of
//     order, or quarter frames closer together than the quarter interval.
//
// Script lines other than commands: "@<ms>" lets the simulated clock run that many
// milliseconds (at most 5000), "!g" unplugs or re-plugs the output, "!o" makes opening fail or
// work again, "!d<ms>" sets how long a full frame stays in flight (at most 200), "!l" makes
// the device list fail or work again.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/engine.h"
#include "json/mtcjson.h"
#include "service/command.h"
#include "tests/kit/recording_sink.h"
#include "tests/kit/service_fakes.h"

namespace {

const char kMalformed[] = "MIDI 命令格式错误。";
const char kUnknown[] = "未知 MIDI 命令。";
const char kOpenRefused[] = "fuzz: open refused";
const char kListRefused[] = "fuzz: list refused";

// Everything the engine may throw, its own texts and the model sink's.
const char* const kEngineMessages[] = {
    "无效的时间码帧率或起始时间。",
    "MTC 输出未启用。",
    "播放器时钟消息已过期，MTC 输出已关闭。请重新启用。",
    "播放器时间码位置无效，MTC 输出已关闭。",
    "时间码输出暂支持 1× 正向播放；速度改变后已关闭输出。",
    "播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。",
    "MTC 输出设备已断开，时间码输出已关闭。",
    kOpenRefused,
    kListRefused,
};

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool isEngineMessage(const char* what) {
    for (const char* message : kEngineMessages) {
        if (std::strcmp(what, message) == 0) {
            return true;
        }
    }
    return false;
}

// MTC rate code of a frame rate the engine accepts.
int rateCode(double fps) {
    if (fps == 24) {
        return 0;
    }
    if (fps == 25) {
        return 1;
    }
    return fps == 30 ? 3 : 2;
}

int framesPerSecond(int rate) {
    static const int kFrames[] = {24, 25, 30, 30};
    return kFrames[rate];
}

// A timecode as the wire carries it, checked field by field.
void requireValidLabel(int hours, int minutes, int seconds, int frames, int rate,
                       int expectedRate) {
    require(rate == expectedRate);
    require(hours < 24 && minutes < 60 && seconds < 60 && frames < framesPerSecond(rate));
    // 29.97 drop-frame never names frames 0 and 1 at the start of a minute that is not a
    // multiple of ten.
    require(!(rate == 2 && seconds == 0 && frames < 2 && minutes % 10 != 0));
}

// The MIDI output as the engine must use it: the tests' recording sink, which models the full
// frame in flight and the held one (and throws on a quarter frame while one is pending, or on
// anything sent while closed), with every message that reaches the wire checked on top.
class CheckingSink final : public mtctest::RecordingSink {
  public:
    int expectedRate = 1;  // set from the engine's rate before each start's effects
    double quarterInterval = 0.01;

    // No logs kept in advance: each input makes a new sink.
    CheckingSink() : RecordingSink(0) {
        fullDuration = 0.0035;  // a 10-byte message at 31250 baud, plus the driver's turn
    }

    void open(const std::string& id) override {
        require(!opened);  // the engine closes before it opens
        RecordingSink::open(id);
        require(id.size() == 70);
        resetWire();
    }

    void clearPending() override {
        require(opened);
        RecordingSink::clearPending();
    }

    void full(const std::array<uint8_t, 10>& m) override {
        require(opened);
        checkingNewFrames([&] { RecordingSink::full(m); });
    }

    void quarter(uint8_t data) override {
        require(readyReported_);  // only right after ready() said true
        RecordingSink::quarter(data);
        require(data < 0x80);
        const int piece = data >> 4;
        require(piece == expectedPiece_);
        // Never a burst: quarter frames keep their schedule, so one follows the one before by
        // an interval, less at most the half millisecond by which the loop's shortest sleep
        // can make the earlier one late.
        require(lastQuarterAt_ < 0 || now - lastQuarterAt_ >= quarterInterval - 0.0005 - 1e-9);
        lastQuarterAt_ = now;
        nibbles_[piece] = data & 0x0F;
        if (piece == 7) {
            const int frames = nibbles_[0] | ((nibbles_[1] & 1) << 4);
            const int seconds = nibbles_[2] | ((nibbles_[3] & 3) << 4);
            const int minutes = nibbles_[4] | ((nibbles_[5] & 3) << 4);
            const int hours = nibbles_[6] | ((nibbles_[7] & 1) << 4);
            // The unused bits of the high nibbles are zero.
            require((nibbles_[1] & 0x0E) == 0 && (nibbles_[3] & 0x0C) == 0 &&
                    (nibbles_[5] & 0x0C) == 0 && (nibbles_[7] & 0x08) == 0);
            requireValidLabel(hours, minutes, seconds, frames, (nibbles_[7] >> 1) & 3,
                              expectedRate);
        }
        expectedPiece_ = (piece + 1) % 8;
        readyReported_ = false;
    }

    bool ready() override {
        bool result = false;
        checkingNewFrames([&] { result = RecordingSink::ready(); });
        readyReported_ = result;
        return result;
    }

    void close() override {
        RecordingSink::close();
        resetWire();
    }

  private:
    // Runs `send`, then checks the full frame it put on the wire, if any.
    template <typename Send>
    void checkingNewFrames(Send&& send) {
        const size_t before = packets.size();
        send();
        for (size_t i = before; i < packets.size(); ++i) {
            require(packets[i].isFull());
            wireFull(packets[i].full());
        }
    }

    void wireFull(const std::array<uint8_t, 10>& m) {
        require(m[0] == 0xF0 && m[1] == 0x7F && m[2] == 0x7F && m[3] == 0x01 && m[4] == 0x01 &&
                m[9] == 0xF7);
        require(m[5] < 0x80 && m[6] < 0x80 && m[7] < 0x80 && m[8] < 0x80);
        requireValidLabel(m[5] & 0x1F, m[6], m[7], m[8], (m[5] >> 5) & 3, expectedRate);
        // After a full frame the receiver waits for piece 0.
        expectedPiece_ = 0;
        lastQuarterAt_ = -1;
        readyReported_ = false;
    }

    void resetWire() {
        expectedPiece_ = 0;
        lastQuarterAt_ = -1;
        readyReported_ = false;
    }

    int expectedPiece_ = 0;
    double lastQuarterAt_ = -1;
    bool readyReported_ = false;
    uint8_t nibbles_[8] = {};
};

// The request id must read back as the integer the host sent: plain digits, no sign, no
// leading zero, at most 2^53 - 1.
void requireRequestIdForm(const std::string& id) {
    if (id.empty()) {
        return;
    }
    require(id.size() <= 16);
    for (const char c : id) {
        require(c >= '0' && c <= '9');
    }
    require(id == "0" || id[0] != '0');
    require(std::strtoull(id.c_str(), nullptr, 10) <= 9007199254740991ULL);
}

// A failure line must parse back, with the strict reader, into exactly what it says: a
// failure reply for the request id, or an error event when there is none.
void requireFailureReadsBack(const std::string& line, const std::string& requestId) {
    const mtcjson::Members members = mtcjson::Parser(line).parse();
    const std::string message = requestId.empty() ? mtcjson::str(members, "event") == "error"
                                                        ? mtcjson::str(members, "error")
                                                        : std::string()
                                                  : mtcjson::str(members, "error");
    const bool known =
        message == kMalformed || message == kUnknown || isEngineMessage(message.c_str());
    require(known);
    if (requestId.empty()) {
        require(members.size() == 2u);
        require(line == mtcservice::errorEventLine(message));
    } else {
        require(members.size() == 3u);
        require(mtcjson::num(members, "id") ==
                static_cast<double>(std::strtoull(requestId.c_str(), nullptr, 10)));
        require(!mtcjson::boolean(members, "ok"));
        require(line == mtcservice::failureReply(requestId, message));
    }
}

// The "list" reply's extra for the simulated device list, quoted as the host reads it.
const char kListExtra[] =
    ",\"outputs\":[{\"id\":\"winmm:"
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\","
    "\"name\":\"Port \\\"A\\\"\\u000a\"}]";

struct Show {
    CheckingSink sink;
    velmarmtc::Engine engine{&sink};
    mtctest::FakeClock clock;
    mtctest::FakeDeviceList deviceList;
    mtctest::FakeLineWriter writer;

    Show() { deviceList.list = {{std::string("winmm:") + std::string(64, 'a'), "Port \"A\"\n"}}; }

    // The sink stamps what reaches the wire, the clock answers the handler: one simulated time.
    void setTime(double t) {
        sink.now = t;
        clock.now = t;
    }

    // A failure of an engine step: the output is stopped, as the service loop does before it
    // reports.
    void failed() {
        engine.stop();
        require(!sink.opened);
    }

    void stepOnce() {
        try {
            engine.step(sink.now);
        } catch (const std::runtime_error& e) {
            require(isEngineMessage(e.what()));
            failed();
        }
        require(engine.isActive() == sink.opened);
    }

    // Lets the clock run, waking the engine exactly when the service loop would.
    void run(double seconds) {
        const double end = sink.now + seconds;
        stepOnce();
        while (engine.isActive() && sink.now < end) {
            setTime(std::min(end, sink.now + engine.waitBeforeNextStep(sink.now)));
            stepOnce();
        }
        setTime(std::max(sink.now, end));
    }

    // What the handler is about to be given, read with the same decoder: the request id, the
    // command when it decodes, and for "start" the rate the wire must then carry.
    struct Expected {
        std::string requestId;
        bool decoded = false;
        mtcservice::CommandKind kind = mtcservice::CommandKind::List;
        // What the engine must refuse: an unknown rate, a position out of range.
        bool acceptable = true;
    };

    Expected expect(const std::string& line) {
        Expected expected;
        expected.requestId = "stale";
        try {
            const mtcservice::Command command = mtcservice::decodeCommand(line, expected.requestId);
            expected.decoded = true;
            expected.kind = command.kind;
            if (command.kind == mtcservice::CommandKind::Start) {
                const std::string& id = command.start.outputId;
                require(id.size() == 70 && id.compare(0, 6, "winmm:") == 0);
                for (size_t i = 6; i < id.size(); ++i) {
                    require((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f'));
                }
                const double fps = command.start.fps;
                const bool known = fps == 24 || fps == 25 || fps == 29.97 || fps == 30;
                expected.acceptable = known;
                sink.expectedRate = known ? rateCode(fps) : sink.expectedRate;
                sink.quarterInterval = fps == 29.97 ? 1001.0 / 120000.0
                                       : known      ? 1.0 / (fps * 4.0)
                                                    : sink.quarterInterval;
            } else if (command.kind == mtcservice::CommandKind::Transport) {
                const velmarmtc::Snapshot& r = command.report;
                require(r.hasTrack || r.trackId.empty());
                expected.acceptable =
                    std::isfinite(r.position) && r.position >= 0 && r.position <= 604800;
            }
        } catch (const std::runtime_error& e) {
            require(std::strcmp(e.what(), kMalformed) == 0 || std::strcmp(e.what(), kUnknown) == 0);
        }
        require(expected.requestId != "stale");  // cleared before anything can fail
        requireRequestIdForm(expected.requestId);
        return expected;
    }

    void command(const std::string& line) {
        const Expected expected = expect(line);
        const std::string& requestId = expected.requestId;
        writer.lines.clear();
        clock.reads.clear();
        mtcservice::handleCommand(line, engine, clock, deviceList, writer);
        // The monotonic clock is read before the wall clock.
        const size_t wall = clock.reads.find('w');
        require(wall == std::string::npos || clock.reads.find('m') < wall);
        require(engine.isActive() == sink.opened);
        // At most one line, and exactly one when the line carried an id.
        require(writer.lines.size() <= 1);
        require(requestId.empty() || writer.lines.size() == 1);
        const bool succeeded =
            writer.lines.empty() ||
            writer.lines[0] ==
                mtcservice::successReply(
                    requestId, expected.kind == mtcservice::CommandKind::List ? kListExtra : "");
        if (succeeded) {
            require(expected.decoded && expected.acceptable);
            require(expected.kind != mtcservice::CommandKind::Start || engine.isActive());
            require(expected.kind != mtcservice::CommandKind::Stop || !engine.isActive());
        } else {
            requireFailureReadsBack(writer.lines[0], requestId);
            require(!engine.isActive());
        }
        // The loop steps the engine after every batch of commands.
        stepOnce();
    }

    void script(const std::string& line) {
        if (line.size() >= 2 && line[0] == '@') {
            const double ms = std::strtod(line.c_str() + 1, nullptr);
            if (ms > 0 && ms <= 5000) {
                run(ms / 1000.0);
            }
        } else if (line == "!g") {
            sink.attached = !sink.attached;
        } else if (line == "!o") {
            sink.openFailure =
                sink.openFailure ? std::nullopt : std::optional<std::string>(kOpenRefused);
        } else if (line == "!l") {
            deviceList.failure =
                deviceList.failure ? std::nullopt : std::optional<std::string>(kListRefused);
        } else if (line.size() > 2 && line[0] == '!' && line[1] == 'd') {
            const double ms = std::strtod(line.c_str() + 2, nullptr);
            if (ms >= 0 && ms <= 200) {
                sink.fullDuration = ms / 1000.0;
            }
        } else if (!line.empty()) {
            command(line);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bounded work per input: at most 64 lines, as many as the service queues at once.
    Show show;
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int lines = 0; start <= input.size() && lines < 64; ++lines) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        show.script(input.substr(start, end - start));
        start = end + 1;
    }
    show.engine.stop();
    return 0;
}
