#include "tools/host/runner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "check/analysis.h"
#include "check/json.h"
#include "check/player.h"
#include "check/player_clock.h"
#include "check/receiver.h"
#include "check/recording.h"
#include "check/script.h"
#include "check/win/clock.h"
#include "check/win/files.h"
#include "check/win/process.h"
#include "tools/host/midi_input.h"

namespace mtchost {

using namespace mtccheck;

namespace {

constexpr int64_t kTailPollUs = 20000;  // how often the recording is read after the stop
// The service answers in milliseconds once running, but its first "list" loads the system's
// MIDI drivers, which can take seconds on a machine (or a new Wine prefix) that has just
// started them; "start" opens the port, which a driver may take a while to grant too.
constexpr unsigned kFirstReplyTimeoutMs = 20000;
constexpr unsigned kReplyTimeoutMs = 5000;
constexpr unsigned kExitTimeoutMs = 3000;
constexpr int64_t kStatusOnConsoleUs = 100000;
constexpr int64_t kStatusOnPipeUs = 1000000;
constexpr int64_t kRecordingTailUs = 300000;  // the last wire lines follow the stop closely
constexpr int64_t kMicrosPerByte = 320;       // MIDI's 31250 baud, 10 bits a byte
// While an input is open, waits for the service are cut into slices this long, so the input
// is served in between: a line is taken at most this much later than it came.
constexpr int64_t kWaitSliceUs = 2000;

// The MIDI inputs, loading winmm.dll on first use. Under test the winmm.dll beside mtc-host
// is the simulated port, which truncates and then writes the recording named by
// MTC_SIMPORT_LOG as it loads. That file belongs to the service's copy of the port, so the
// variable is hidden while this process loads its own copy and put back for the service to
// inherit. Main thread; allocates.
std::vector<InputPort> loadInputs() {
    const wchar_t* kLog = L"MTC_SIMPORT_LOG";
    wchar_t saved[32768];
    const DWORD n = GetEnvironmentVariableW(kLog, saved, 32768);
    const bool hidden = n > 0 && n < 32768;
    if (hidden) {
        SetEnvironmentVariableW(kLog, nullptr);
    }
    std::vector<InputPort> inputs = listInputs();
    if (hidden) {
        SetEnvironmentVariableW(kLog, saved);
    }
    return inputs;
}

void listInputLines(Console& console, const std::vector<InputPort>& inputs) {
    if (inputs.empty()) {
        console.line("  (no MIDI input is listed)");
    }
    for (const InputPort& in : inputs) {
        console.line(
            "  " + std::to_string(in.index) + "  \"" + in.name + "\"  " +
            (in.id.empty() ? std::string("(no stable id: the driver gives no path)") : in.id));
    }
}

std::string fixed(double v, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// Timecode-like text for the player's position: hours, minutes, seconds and milliseconds.
std::string clockText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        seconds = 0;
    }
    seconds = std::fmod(seconds, 86400.0);  // a clock, like the timecode, starts again at 24:00
    const int64_t ms = static_cast<int64_t>(std::floor(seconds * 1000 + 0.5));
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}

class Session {
  public:
    Session(const Options& options, Console& console) : options_(options), console_(console) {}

    int run();

  private:
    bool loadShow();
    bool nextLine(std::string& line, unsigned timeoutMs);
    std::optional<OutputLine> awaitLine(unsigned timeoutMs);
    void waitServingInput(int64_t untilUs);
    long awaitServiceExit(unsigned timeoutMs);
    std::string closeInput();
    bool awaitReply(int id, Json& reply, unsigned timeoutMs);
    void takeLine(const std::string& line);
    void drainLines();
    void pollWire();
    void pollInput();
    void sendTransport(int64_t now, bool locate);
    void performStep(const Step& step, int64_t now);
    void showStatus(int64_t now);
    int finish(bool ranToEnd);
    int openInput();
    bool startService();
    const Json* listOutputs(Json& reply);
    int printOutputs(const Json& outputs);
    const Json* chooseOutput(const Json& outputs);
    bool startMtc(const Json& output);
    void watchWire();
    bool playShow();
    long stopService(bool& stopped);
    ShowRecord recordingSide();
    void printReport(const std::string& text);
    bool writeReports(const Report& report, const Report* comparison, std::wstring& dir);
    void takeWire(WireMessage& m);

    const Options& options_;
    Console& console_;
    ChildProcess child_;
    Show show_;
    ShowRecord record_;
    ShowPlayer player_{ClockModel()};
    bool serviceFailed_ = false;

    std::unique_ptr<FileFollower> follower_;
    RecordingReader recording_;
    std::vector<WireMessage> allWire_;    // every port of the recording
    std::vector<WireMessage> inputWire_;  // what the input read, in arrival order
    MtcDecoder liveDecoder_;
    ReceiverClock liveClock_;
    std::vector<Reading> liveReadings_;
    int64_t t0_ = 0;

    std::unique_ptr<MidiInput> input_;  // the wire read back through a MIDI input, if any
    std::vector<InputMessage> inputMessages_;
    std::vector<InputProblem> inputProblems_;
    std::vector<std::string> inputProblemTexts_;  // the input's own, kept apart for the comparison
    uint64_t inputSeq_ = 0;
    Pacer
        waiter_;  // every wait of the main thread: the show's steps, the service's lines, its exit
};

// Opens the MIDI input named on the command line, before the service starts, so that a
// wrong name or a busy input costs nothing else.
int Session::openInput() {
    const std::vector<InputPort> inputs = loadInputs();
    if (!inputLayerError().empty()) {
        console_.line("mtc-host: cannot read MIDI inputs: " + inputLayerError());
        return kExitFailed;
    }
    const std::vector<InputPort> found = matchInputs(inputs, options_.input);
    if (found.size() != 1) {
        console_.line(found.empty() ? "mtc-host: no MIDI input has the id or name \"" +
                                          options_.input + "\"; the inputs are:"
                                    : "mtc-host: several MIDI inputs are named \"" +
                                          options_.input + "\"; give its id instead:");
        listInputLines(console_, inputs);
        return kExitUsage;
    }
    try {
        input_.reset(new MidiInput(found[0].index));
    } catch (const InputError& e) {
        console_.line(std::string("mtc-host: ") + e.what());
        return kExitFailed;
    }
    record_.haveWire = true;
    record_.source = WireSource::kInput;
    record_.sourceName = input_->name();
    return kExitOk;
}

bool Session::loadShow() {
    std::string text = defaultShowText();
    std::string name = "default show";
    if (!options_.script.empty()) {
        std::string error;
        if (!readFile(options_.script, text, error)) {
            console_.line("mtc-host: " + error);
            return false;
        }
        name = narrow(options_.script);
    }
    try {
        show_ = parseShow(text, name);
    } catch (const ScriptError& e) {
        console_.line(std::string("mtc-host: ") + e.what());
        return false;
    }
    if (options_.haveFps) {
        show_.fps = options_.fps;
    }
    if (options_.haveOffset) {
        show_.offset = options_.offset;
    }
    player_ = ShowPlayer(show_.clock);
    return true;
}

// Prints one line from the service and remembers what went wrong during the show.
void Session::takeLine(const std::string& line) {
    console_.line("< " + line);
    Json j;
    std::string error;
    if (!parseJson(line, j, error)) {
        record_.hostProblems.push_back("the service wrote a line that is not JSON (" + error + ")");
        return;
    }
    const Json* event = j.find("event");
    const Json* ok = j.find("ok");
    const Json* message = j.find("error");
    const bool failed = (event != nullptr && event->isString() && event->text == "error") ||
                        (ok != nullptr && ok->kind == Json::kBool && !ok->flag);
    if (failed && t0_ != 0) {
        record_.serviceErrors.push_back(message != nullptr && message->isString() ? message->text
                                                                                  : line);
        serviceFailed_ = true;
    }
}

// The service's next line, waiting at most `timeoutMs`; false when none came in time or its
// output ended.
bool Session::nextLine(std::string& line, unsigned timeoutMs) {
    std::optional<OutputLine> next = awaitLine(timeoutMs);
    if (!next) {
        return false;
    }
    line = std::move(next->text);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// The service's next line within `timeoutMs`: one wait, or, while an input is open, short
// slices that serve the input in between, so its buffers go back to the driver while the host
// waits for a reply.
std::optional<OutputLine> Session::awaitLine(unsigned timeoutMs) {
    if (!input_ || timeoutMs == 0) {
        return child_.readLine(static_cast<double>(timeoutMs) / 1000.0);
    }
    const int64_t deadline = nowMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        std::optional<OutputLine> next = child_.readLine(0);
        const int64_t now = nowMicros();
        if (next || now >= deadline || child_.outputEnded()) {
            return next;
        }
        waitServingInput(std::min(deadline, now + kWaitSliceUs));
    }
}

// Waits until `untilUs`, taking what the input brings whenever it signals, so the driver gets
// its buffers back at once however long the wait. Main thread.
void Session::waitServingInput(int64_t untilUs) {
    const HANDLE wake = input_ ? static_cast<HANDLE>(input_->wakeEvent()) : nullptr;
    while (waiter_.waitUntilOr(untilUs, wake)) {
        pollInput();
    }
}

// Ends the service's input and waits at most `timeoutMs` for it to exit, serving the input
// meanwhile. Its exit code, or -1 when it had to be ended.
long Session::awaitServiceExit(unsigned timeoutMs) {
    if (!input_) {
        return child_.finish(timeoutMs);
    }
    child_.closeInput();
    const int64_t deadline = nowMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    while (nowMicros() < deadline && WaitForSingleObject(child_.process(), 0) == WAIT_TIMEOUT) {
        waitServingInput(std::min(deadline, nowMicros() + kWaitSliceUs));
    }
    return child_.finish(0);
}

// Closes the input within its time limit. The problem when it could not be closed, else "".
std::string Session::closeInput() {
    std::string error;
    if (!input_ || input_->close(error)) {
        return std::string();
    }
    return error;
}

void Session::drainLines() {
    std::string line;
    while (nextLine(line, 0)) {
        takeLine(line);
    }
}

bool Session::awaitReply(int id, Json& reply, unsigned timeoutMs) {
    const int64_t deadline = nowMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        const int64_t left = deadline - nowMicros();
        std::string line;
        if (left <= 0 || !nextLine(line, static_cast<unsigned>(left / 1000 + 1))) {
            console_.line(child_.outputEnded() ? "mtc-host: the service ended without answering"
                                               : "mtc-host: no answer from the service within " +
                                                     std::to_string(timeoutMs / 1000) + " s");
            return false;
        }
        takeLine(line);
        std::string error;
        Json j;
        if (parseJson(line, j, error)) {
            const Json* rid = j.find("id");
            if (rid != nullptr && rid->isNumber() && rid->number == id) {
                reply = std::move(j);
                return true;
            }
        }
    }
}

// One message of the receiver's port: into the live receiver and the show's record.
void Session::takeWire(WireMessage& m) {
    liveReadings_.clear();
    liveDecoder_.feed(m.bytes.data(), m.bytes.size(), static_cast<double>(m.endUs) / 1e6,
                      liveReadings_);
    for (const Reading& r : liveReadings_) {
        liveClock_.apply(r);
    }
}

// What the input brought since the last call: into the live receiver and the record.
void Session::pollInput() {
    if (input_) {
        inputMessages_.clear();
        inputProblems_.clear();
        input_->poll(inputMessages_, inputProblems_);
        for (InputMessage& in : inputMessages_) {
            // Stamped when its last byte was in; it began to arrive one wire time earlier.
            WireMessage m;
            m.port = 0;
            m.seq = ++inputSeq_;
            m.endUs = in.arrivalUs;
            m.startUs = in.arrivalUs - kMicrosPerByte * static_cast<int64_t>(in.bytes.size());
            m.bytes = std::move(in.bytes);
            takeWire(m);
            inputWire_.push_back(std::move(m));
        }
        for (const InputProblem& p : inputProblems_) {
            inputProblemTexts_.push_back(
                (t0_ != 0 ? fixed(static_cast<double>(p.atUs - t0_) / 1e6, 3) + " s: "
                          : std::string()) +
                p.text);
        }
    }
}

void Session::pollWire() {
    pollInput();
    if (!follower_) {
        return;
    }
    std::string chunk;
    if (!follower_->poll(chunk)) {
        // The recording started over: whatever was read belonged to an earlier run.
        recording_ = RecordingReader();
        allWire_.clear();
        if (!input_) {
            liveDecoder_ = MtcDecoder();
            liveClock_ = ReceiverClock();
        }
    }
    if (chunk.empty()) {
        return;
    }
    recording_.feed(chunk.data(), chunk.size());
    for (WireMessage& m : recording_.take()) {
        if (!input_ && m.port == recording_.openedPort()) {
            takeWire(m);  // with an input, the recording is only read for the comparison
        }
        allWire_.push_back(std::move(m));
    }
}

void Session::sendTransport(int64_t now, bool locate) {
    const std::string line = "{\"command\":\"transport\",\"trackId\":" +
                             (player_.track() ? quoteJson(*player_.track()) : std::string("null")) +
                             ",\"position\":" + numberJson(player_.reportedAt(now)) +
                             ",\"playing\":" + (player_.playing() ? "true" : "false") +
                             ",\"sentAtUnixMs\":" + numberJson(unixMillisNow()) +
                             (locate ? ",\"locate\":true" : "") + "}";
    record_.reportWrites.push_back(now);
    if (!child_.write(line + "\n")) {
        serviceFailed_ = true;
        record_.hostProblems.push_back("the service's input closed during the show");
    }
}

void Session::performStep(const Step& step, int64_t now) {
    player_.perform(step, now);

    StepRecord rec;
    rec.label = step.label;
    rec.cause = step.cause;
    rec.writeUs = now;
    rec.cpuSeconds = child_.cpuSeconds();
    record_.steps.push_back(rec);
    console_.line("* " + fixed(static_cast<double>(now - t0_) / 1e6, 2) + " s  " + step.label);
    if (!step.stop || step.setTrack || step.setPosition || step.play >= 0 || step.locate) {
        sendTransport(now, step.locate);
    }
}

void Session::showStatus(int64_t now) {
    // One short line (a console wraps at its width, which would defeat redrawing in place):
    // show time, the player's position, what the receiver reads and how far off it was at
    // its latest reading, whether it is locked, and the full and quarter frames seen.
    const double t = static_cast<double>(now - t0_) / 1e6;
    std::string s = fixed(t, 2) + "s " + (player_.playing() ? "play " : "hold ") +
                    clockText(show_.offset + player_.positionAt(now)) + " ";
    if (!follower_ && !input_) {
        s += "recv not watched";
    } else if (!liveClock_.hasTime()) {
        s += "recv --:--:--:-- no time yet";
    } else {
        const double at = liveClock_.lastReadingAt();
        const double read = liveClock_.readAt(at);
        const int rate = liveClock_.rate();
        const Timecode label =
            labelOf(static_cast<int64_t>(std::floor(read * frameClock(rate) + 1e-6)), rate);
        const double player = show_.offset + player_.history().positionAt(at);
        const bool fresh = static_cast<double>(now) / 1e6 - at < 0.25;
        const char* lock = liveClock_.lockedAt(at) && fresh
                               ? "locked  "
                               : (liveClock_.running() ? "unlocked" : "stopped ");
        char diff[32];
        std::snprintf(diff, sizeof diff, "%+7.1fms", wrapDifference(read - player, rate) * 1000);
        s += "recv " + format(label) + " " + diff + " " + lock;
    }
    s += " full " + std::to_string(liveDecoder_.fullFrames()) + " qf " +
         std::to_string(liveDecoder_.quarterFrames());
    console_.status(s);
}

// Starts the service beside mtc-host (or the one named). Main thread; blocks until the process
// has started.
bool Session::startService() {
    const std::wstring service =
        options_.service.empty() ? programFolder() + L"mtc-service.exe" : options_.service;
    ChildOptions child;
    child.program = service;
    child.unterminatedLastLine = true;
    child.shareConsole = true;
    std::string error;
    if (!child_.start(child, error)) {
        console_.line("mtc-host: " + error);
        return false;
    }
    console_.line("mtc-host: started " + narrow(service));
    return true;
}

// Asks the service for its outputs: the reply's "outputs" array, or null when it gave none.
const Json* Session::listOutputs(Json& reply) {
    const std::string list = "{\"id\":1,\"command\":\"list\"}";
    console_.line("> " + list);
    if (!child_.write(list + "\n") || !awaitReply(1, reply, kFirstReplyTimeoutMs)) {
        return nullptr;
    }
    const Json* outputs = reply.find("outputs");
    if (outputs == nullptr || outputs->kind != Json::kArray) {
        console_.line("mtc-host: the service could not list the MIDI outputs");
        return nullptr;
    }
    return outputs;
}

// --list: the outputs, id then name; then the service is let go.
int Session::printOutputs(const Json& outputs) {
    console_.line("MIDI outputs (id, name):");
    for (const Json& o : outputs.items) {
        const Json* id = o.find("id");
        const Json* name = o.find("name");
        if (id != nullptr && id->isString() && name != nullptr && name->isString()) {
            console_.line("  " + id->text + "  \"" + name->text + "\"");
        }
    }
    if (outputs.items.empty()) {
        console_.line("  (no MIDI output is listed)");
    }
    const long code = child_.finish(kExitTimeoutMs);
    return code == 0 ? kExitOk : kExitFailed;
}

// The output named on the command line (by id or name, which must be unique), or the first
// listed; null, said why, when there is none.
const Json* Session::chooseOutput(const Json& outputs) {
    const Json* chosen = nullptr;
    int matches = 0;
    for (const Json& o : outputs.items) {
        const Json* id = o.find("id");
        const Json* name = o.find("name");
        if (id == nullptr || !id->isString() || name == nullptr || !name->isString()) {
            continue;
        }
        if (options_.output.empty()
                ? chosen == nullptr
                : (id->text == options_.output || name->text == options_.output)) {
            if (chosen == nullptr) {
                chosen = &o;
            }
            ++matches;
        }
    }
    if (chosen == nullptr) {
        console_.line(options_.output.empty() ? "mtc-host: the service lists no MIDI output"
                                              : "mtc-host: no MIDI output has the id or name \"" +
                                                    options_.output + "\"");
        return nullptr;
    }
    if (matches > 1 && !options_.output.empty()) {
        console_.line("mtc-host: several outputs are named \"" + options_.output +
                      "\"; give its id instead");
        return nullptr;
    }
    return chosen;
}

// Starts MTC on the chosen output with the show's rate and offset.
bool Session::startMtc(const Json& output) {
    const std::string outputId = output.find("id")->text;
    record_.outputName = output.find("name")->text;
    record_.showName = show_.name;
    record_.fps = show_.fps;
    record_.offset = show_.offset;
    record_.playerClock = show_.clock.describe();
    record_.phaseLock = options_.phaseLock;
    console_.line("mtc-host: output \"" + record_.outputName + "\" " + outputId);

    const std::string start =
        "{\"id\":2,\"command\":\"start\",\"outputId\":" + quoteJson(outputId) +
        ",\"fps\":" + numberJson(show_.fps) + ",\"offset\":" + numberJson(show_.offset) +
        (options_.phaseLock ? ",\"phaseLock\":true}" : "}");
    console_.line("> " + start);
    Json reply;
    if (!child_.write(start + "\n") || !awaitReply(2, reply, kFirstReplyTimeoutMs)) {
        return false;
    }
    const Json* ok = reply.find("ok");
    if (ok == nullptr || ok->kind != Json::kBool || !ok->flag) {
        console_.line("mtc-host: the service did not start MTC");
        return false;
    }
    return true;
}

// What the receiver reads: the input, the recording (--recording), both, or neither.
void Session::watchWire() {
    if (input_) {
        console_.line("mtc-host: receiver reading MIDI input \"" + input_->name() + "\"");
        if (!options_.recording.empty()) {
            // Under test the same show is on the simulated port's recording as well: read
            // both, and compare at the end what the input read back with what left the wire.
            follower_.reset(new FileFollower(recordingPath(options_.recording)));
            console_.line("mtc-host: comparing with the recording " + options_.recording);
        }
    } else if (!options_.recording.empty()) {
        follower_.reset(new FileFollower(recordingPath(options_.recording)));
        record_.haveWire = true;
        record_.source = WireSource::kRecording;
        record_.sourceName = options_.recording;
        console_.line("mtc-host: receiver watching " + options_.recording);
    } else {
        console_.line("mtc-host: no wire recording given; the receiver's view is off");
    }
}

// The show: steps at their times, clock reports between them as the player's clock says, the
// wire and the service's lines taken as they come. True when it ran to its stop. Main thread;
// blocks for the length of the show.
bool Session::playShow() {
    t0_ = nowMicros();
    size_t next = 0;
    int64_t nextReport = t0_;
    int64_t nextStatus = t0_;
    const int64_t statusEvery = console_.terminal() ? kStatusOnConsoleUs : kStatusOnPipeUs;
    auto stepDue = [&] {
        return t0_ + static_cast<int64_t>(std::llround(show_.steps[next].at * 1e6));
    };
    for (;;) {
        int64_t now = nowMicros();
        if (now >= stepDue()) {
            const Step& step = show_.steps[next++];
            performStep(step, now);
            nextReport = now + player_.nextReportInUs();
            if (step.stop) {
                return true;
            }
        } else if (now >= nextReport) {
            sendTransport(now, false);
            nextReport += player_.nextReportInUs();
            if (nextReport <= now) {
                nextReport = now + player_.nextReportInUs();  // never a burst to catch up
            }
        }
        drainLines();
        pollWire();
        if (serviceFailed_ || child_.outputEnded()) {
            console_.endStatus();
            console_.line("mtc-host: the service stopped the show; ending it here");
            return false;
        }
        now = nowMicros();
        if (now >= nextStatus) {
            showStatus(now);
            nextStatus += statusEvery;
            if (nextStatus <= now) {
                nextStatus = now + statusEvery;
            }
        }
        waitServingInput(std::min(std::min(nextReport, stepDue()), nextStatus));
    }
}

int Session::run() {
    if (!options_.listOutputs && !loadShow()) {
        return kExitUsage;
    }
    if (!options_.listOutputs && !options_.input.empty()) {
        const int code = openInput();
        if (code != kExitOk) {
            return code;
        }
    }
    if (!startService()) {
        return kExitFailed;
    }
    Json reply;
    const Json* outputs = listOutputs(reply);
    if (outputs == nullptr) {
        return kExitFailed;
    }
    if (options_.listOutputs) {
        return printOutputs(*outputs);
    }
    const Json* chosen = chooseOutput(*outputs);
    if (chosen == nullptr || !startMtc(*chosen)) {
        return kExitFailed;
    }
    watchWire();
    console_.line("mtc-host: show \"" + show_.name + "\", " + fixed(show_.duration(), 1) + " s, " +
                  record_.playerClock);
    return finish(playShow());
}

// Sends "stop", lets the recording catch up with the last messages and the port's close, and
// waits for the service to exit: its exit code; `stopped` when it answered the stop.
long Session::stopService(bool& stopped) {
    const std::string stop = "{\"id\":3,\"command\":\"stop\"}";
    console_.line("> " + stop);
    Json reply;
    stopped = child_.write(stop + "\n") && awaitReply(3, reply, kReplyTimeoutMs);
    const int64_t tailEnd = nowMicros() + kRecordingTailUs;
    while (nowMicros() < tailEnd) {
        drainLines();
        pollWire();
        waitServingInput(std::min(tailEnd, nowMicros() + kTailPollUs));
    }
    const long code = awaitServiceExit(kExitTimeoutMs);
    drainLines();
    pollWire();  // the last the input and the recording brought, before anything is judged
    console_.line("mtc-host: the service exited with code " + std::to_string(code));
    return code;
}

// The recording's side: the messages of the port the service opened, and what went wrong.
ShowRecord Session::recordingSide() {
    const int port = recording_.openedPort();
    ShowRecord recorded = record_;
    recorded.haveWire = true;
    recorded.source = WireSource::kRecording;
    recorded.sourceName = options_.recording;
    for (WireMessage& m : allWire_) {
        if (m.port == port) {
            recorded.wire.push_back(std::move(m));
        }
    }
    if (follower_ && port < 0) {
        recorded.hostProblems.push_back("the recording shows no port opened by the service");
    }
    for (const std::string& e : recording_.errors()) {
        recorded.hostProblems.push_back("the simulated port recorded: " + e);
    }
    return recorded;
}

void Session::printReport(const std::string& text) {
    size_t from = 0;
    while (from < text.size()) {
        const size_t nl = text.find('\n', from);
        console_.line(text.substr(from, nl - from));
        from = nl == std::string::npos ? text.size() : nl + 1;
    }
}

// Writes report.json, the chart and, beside an input, the recording's report into the report
// folder (made absolute in `dir`), and says where they are.
bool Session::writeReports(const Report& report, const Report* comparison, std::wstring& dir) {
    dir = options_.reportDir;
    wchar_t full[32768];
    const DWORD n = GetFullPathNameW(dir.c_str(), 32768, full, nullptr);
    if (n > 0 && n < 32768) {
        dir.assign(full, n);
    }
    if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') {
        dir += L'\\';
    }
    std::string error;
    if (!makeFolders(dir) || !writeFile(dir + L"report.json", reportJson(report), error) ||
        !writeFile(dir + L"receiver-error.svg", reportSvg(report), error) ||
        (comparison &&
         !writeFile(dir + L"recording-report.json", reportJson(*comparison), error))) {
        console_.line("mtc-host: " + (error.empty() ? "cannot create " + narrow(dir) : error));
        return false;
    }
    console_.line("Report: " + narrow(dir + L"report.json"));
    console_.line("Chart:  " + narrow(dir + L"receiver-error.svg"));
    if (comparison) {
        console_.line("The recording's report: " + narrow(dir + L"recording-report.json"));
    }
    return true;
}

int Session::finish(bool ranToEnd) {
    console_.endStatus();
    record_.player = player_.history().changes();
    if (!ranToEnd) {
        // Close the record where the show broke off, so the report covers what did happen.
        StepRecord end;
        end.label = "broken off";
        end.cause = Cause::kStop;
        end.writeUs = nowMicros();
        end.cpuSeconds = child_.cpuSeconds();
        record_.steps.push_back(end);
    }
    bool stopped = false;
    const long code = stopService(stopped);
    ShowRecord recorded = recordingSide();
    std::unique_ptr<Report> comparison;
    if (input_) {
        // Everything the input read is the receiver's: nothing else shares its wire here.
        record_.wire = std::move(inputWire_);
        record_.hostProblems.insert(record_.hostProblems.end(), inputProblemTexts_.begin(),
                                    inputProblemTexts_.end());
        if (follower_) {
            comparison.reset(new Report(analyse(recorded)));
        }
    } else if (follower_) {
        record_ = std::move(recorded);
    }
    Report report = analyse(record_);
    if (!stopped) {
        report.problems.push_back("the service did not answer \"stop\"");
    }
    if (code != 0) {
        report.problems.push_back("the service exited with code " + std::to_string(code));
    }
    printReport(reportText(report) + (comparison ? comparisonText(*comparison, report) : ""));
    std::wstring dir;
    if (!writeReports(report, comparison.get(), dir)) {
        return kExitFailed;
    }
    // Closed only now that the report is written: a driver that hangs in its close costs none
    // of it, and mtc-host still ends with its code.
    const std::string closeProblem = closeInput();
    if (!closeProblem.empty()) {
        report.problems.push_back(closeProblem);
        console_.line("Problem: " + closeProblem);
        std::string error;
        if (!writeFile(dir + L"report.json", reportJson(report), error)) {
            console_.line("mtc-host: " + error);
        }
    }
    if (!ranToEnd) {
        return kExitFailed;
    }
    return report.problems.empty() ? kExitOk : kExitProblems;
}

}  // namespace

int runShow(const Options& options, Console& console) {
    Session session(options, console);
    return session.run();
}

int printInputs(Console& console) {
    const std::vector<InputPort> inputs = loadInputs();
    if (!inputLayerError().empty()) {
        console.line("mtc-host: cannot read MIDI inputs: " + inputLayerError());
        return kExitFailed;
    }
    console.line("MIDI inputs (index, name, id):");
    listInputLines(console, inputs);
    return kExitOk;
}

}  // namespace mtchost
