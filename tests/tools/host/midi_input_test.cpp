// mtc-host's MIDI input reader, run under Wine against the simulated port's inputs: literal
// byte sequences arrive on an input (or leave a looped output), and the reader must hand back
// exactly the messages and problems a careful receiver needs. Every wait has a time limit.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check/win/clock.h"
#include "simport_control.h"
#include "tools/host/midi_input.h"

namespace {

using mtchost::InputMessage;
using mtchost::InputOptions;
using mtchost::InputProblem;
using mtchost::MidiInput;

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += text.empty() ? "" : " ";
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string withoutBlanks(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

// What the reader produced, with the problems reduced to their texts.
struct Collected {
    std::vector<InputMessage> messages;
    std::vector<InputProblem> problems;

    std::vector<std::string> messageTexts() const {
        std::vector<std::string> texts;
        for (const InputMessage& m : messages) {
            texts.push_back(hex(m.bytes));
        }
        return texts;
    }
};

// Polls, waking on the reader's event, until `done` holds or `limitMs` passed.
template <typename F>
bool pollUntil(MidiInput& input, Collected& got, F done, int limitMs = 1000) {
    const long long deadline = mtccheck::nowMicros() + limitMs * 1000LL;
    while (true) {
        input.poll(got.messages, got.problems);
        if (done()) {
            return true;
        }
        if (mtccheck::nowMicros() > deadline) {
            return false;
        }
        WaitForSingleObject(static_cast<HANDLE>(input.wakeEvent()), 5);
    }
}

class MidiInputReader : public ::testing::Test {
  protected:
    void SetUp() override {
        control = simport::Control::get();
        ASSERT_TRUE(control.ok()) << "winmm.dll is not the simulated port";
    }
    void load(const std::string& scenario) {
        ASSERT_EQ(control.load(scenario.c_str()), 0) << control.lastError();
    }
    void arrive(const std::string& bytes) {
        const std::string line = "arrive port=0 bytes=" + withoutBlanks(bytes);
        ASSERT_EQ(control.apply(line.c_str()), 0) << control.lastError();
    }

    simport::Control control;
};

TEST_F(MidiInputReader, bytesOnTheInputBecomeTheMessagesAndProblemsAReceiverNeeds) {
    struct Case {
        const char* name;
        const char* scenario;
        unsigned buffers;
        unsigned bufferBytes;
        std::vector<std::string> arrivals;  // each arrives after the previous was taken
        std::vector<std::string> messages;
        std::vector<std::string> problems;  // a part of each problem's text, in order
        // The host takes nothing until all of an arrival is in, so no buffer goes back to the
        // driver in the middle of it.
        bool hostBusy = false;
    };
    const Case cases[] = {
        {"quarter frames and a clock byte",
         "input",
         4,
         256,
         {"F135 F120 F8"},
         {"F1 35", "F1 20", "F8"},
         {}},
        {"a full frame in one buffer",
         "input",
         4,
         256,
         {"F07F7F0101210203 04F7"},
         {"F0 7F 7F 01 01 21 02 03 04 F7"},
         {}},
        {"full frames split over three buffers, joined, the buffers queued again",
         "input",
         4,
         4,
         {"F07F7F0101210203 04F7", "F07F7F0101210203 05F7"},
         {"F0 7F 7F 01 01 21 02 03 04 F7", "F0 7F 7F 01 01 21 02 03 05 F7"},
         {}},
        {"a data byte without status",
         "input",
         4,
         256,
         {"35 F135"},
         {"F1 35"},
         {"invalid MIDI data (35)"}},
        {"a full frame cut short by a quarter frame",
         "input",
         4,
         256,
         {"F07F7F F135"},
         {"F1 35"},
         {"incomplete system exclusive message (F0 7F 7F)"}},
        {"a full frame for which the driver had no buffer",
         "input\nfault innobuffer port=0 times=1",
         4,
         256,
         {"F07F7F0101210203 04F7", "F07F7F0101210203 05F7"},
         {"F0 7F 7F 01 01 21 02 03 05 F7"},
         {"system exclusive message was lost: the driver had no buffer"}},
        {"a full frame that outran the queued buffers",
         "input",
         2,
         4,
         {"F07F7F0101210203 04F7", "F135"},
         {"F1 35"},
         {"all 2 system exclusive buffers were back with the host at once",
          "system exclusive message was lost: the driver had no buffer"},
         true},
        // What real drivers do.
        {"full frames handed back in 4-byte pieces are joined whole",
         "input\nfault insplit port=0 piece=4",
         16,
         256,
         {"F07F7F0101210203 04F7 F07F7F0101210203 05F7"},
         {"F0 7F 7F 01 01 21 02 03 04 F7", "F0 7F 7F 01 01 21 02 03 05 F7"},
         {}},
        {"pieces that use up the buffers, the rest dropped without MIM_LONGERROR",
         "input\nfault insplit port=0 piece=4\nfault innolongerror port=0",
         4,
         256,
         {"F07F7F0101210203 04F7 F07F7F0101210203 05F7"},
         {"F0 7F 7F 01 01 21 02 03 04 F7"},
         {"all 4 system exclusive buffers were back with the host at once: the driver may have "
          "dropped bytes without a word (the message in progress is not joined)"},
         true},
        {"a full frame cut short between two pieces by a quarter frame",
         "input\nfault insplit port=0 piece=4",
         16,
         256,
         {"F07F7F01 F135"},
         {"F1 35"},
         {"a system exclusive message was cut short by F1 35 after 4 bytes"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.scenario);
        InputOptions options;
        options.buffers = c.buffers;
        options.bufferBytes = c.bufferBytes;
        MidiInput input(0, options);
        Collected got;
        for (const std::string& bytes : c.arrivals) {
            const std::size_t before = got.messages.size() + got.problems.size();
            arrive(bytes);
            if (c.hostBusy) {
                Sleep(50);  // the whole arrival takes a few ms
            }
            pollUntil(input, got,
                      [&] { return got.messages.size() + got.problems.size() > before; });
        }
        // Whatever else is coming has come by now: the whole sequence takes a few ms.
        pollUntil(
            input, got, [] { return false; }, 30);
        EXPECT_EQ(got.messageTexts(), c.messages);
        ASSERT_EQ(got.problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_NE(got.problems[i].text.find(c.problems[i]), std::string::npos)
                << got.problems[i].text;
        }
        EXPECT_EQ(input.overruns(), 0u);
        std::string error;
        EXPECT_TRUE(input.close(error)) << error;
    }
}

TEST_F(MidiInputReader, aLoopedInputReadsEachMessageAfterItsLastByteLeftWithTheDriversTime) {
    load("port\ninput loop=0");
    HMIDIOUT out = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    MidiInput input(0);
    const char fullFrame[] = {'\xF0', '\x7F', '\x7F', '\x01', '\x01',
                              '\x21', '\x02', '\x03', '\x04', '\xF7'};
    MIDIHDR header = {};
    header.lpData = const_cast<char*>(fullFrame);
    header.dwBufferLength = sizeof fullFrame;
    ASSERT_EQ(midiOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutShortMsg(out, 0x000001F1), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutShortMsg(out, 0x000011F1), MMSYSERR_NOERROR);
    Collected got;
    EXPECT_TRUE(pollUntil(input, got, [&] { return got.messages.size() >= 3; }));
    EXPECT_EQ(got.messageTexts(),
              (std::vector<std::string>{"F1 01", "F0 7F 7F 01 01 21 02 03 04 F7", "F1 11"}));
    EXPECT_TRUE(got.problems.empty());

    // Each arrival against the recording: after the end of the message on the output's wire,
    // and the driver's time counts milliseconds from midiInStart to that end.
    const std::string recording = control.text();
    auto timeOfLine = [&](const std::string& event, std::size_t nth) -> long long {
        std::size_t pos = 0;
        for (std::size_t found = 0;
             (pos = recording.find(" " + event + " ", pos)) != std::string::npos; ++pos) {
            if (found++ == nth) {
                std::size_t lineStart = recording.rfind('\n', pos);
                return std::stoll(
                    recording.substr(lineStart == std::string::npos ? 0 : lineStart + 1));
            }
        }
        return -1;
    };
    const long long started = timeOfLine("midiInStart", 0);
    ASSERT_GT(started, 0);
    for (std::size_t i = 0; i < got.messages.size() && i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::size_t at = recording.find(" wire port=0 seq=" + std::to_string(i + 1) + " ");
        ASSERT_NE(at, std::string::npos);
        const std::size_t endAt = recording.find(" end=", at);
        const long long end = std::stoll(recording.substr(endAt + 5));
        EXPECT_GE(got.messages[i].arrivalUs, end);
        EXPECT_LT(got.messages[i].arrivalUs, end + 200000) << "a loaded machine stalls, not this";
        EXPECT_EQ(static_cast<long long>(got.messages[i].driverMs), (end - started) / 1000);
    }
    std::string error;
    EXPECT_TRUE(input.close(error)) << error;
    ASSERT_EQ(midiOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
}

// WinMM may keep a handle's index valid after an unplug, and may send MIM_CLOSE unasked: any of
// the signs is enough, and the input still closes.
TEST_F(MidiInputReader, anInputThatDisappearsBecomesAProblemAndStillCloses) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* problem;
    };
    const Case cases[] = {
        {"its handle loses its index", "input name=\"USB In\"\nfault inremove port=0 after=50",
         "input \"USB In\": the input disappeared: no driver: the device is gone (WinMM 6)"},
        {"the driver closes it unasked, its index still valid",
         "input name=\"USB In\"\nfault inremove port=0 after=50 closes=yes index=stays",
         "input \"USB In\": the input disappeared: the driver closed it unasked"},
        {"its index still valid, another input there now",
         "input name=\"USB In\"\ninput name=\"Next\"\nfault inremove port=0 after=50 index=stays",
         "input \"USB In\": the input disappeared: another device has its index 0 now"},
        {"its index still valid, no input there now",
         "input name=\"USB In\"\nfault inremove port=0 after=50 index=stays",
         "input \"USB In\": the input disappeared: no device answers at its index 0: no such "
         "device (WinMM 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.scenario);
        MidiInput input(0);
        Collected got;
        EXPECT_TRUE(pollUntil(
            input, got, [&] { return !got.problems.empty(); }, 2000));
        pollUntil(
            input, got, [] { return false; }, 300);  // one presence check more: no second word
        ASSERT_EQ(got.problems.size(), 1u);
        EXPECT_EQ(got.problems[0].text, c.problem);
        std::string error;
        EXPECT_TRUE(input.close(error)) << error;
    }
}

// The close runs on a worker: a driver that does not return is reported within the limit, and
// the caller goes on.
TEST_F(MidiInputReader, aCloseTheDriverDoesNotReturnFromIsReportedWithinItsLimit) {
    load("input name=\"USB In\"\nfault incloseblock port=0 ms=3000");
    InputOptions options;
    options.closeLimitMs = 300;
    MidiInput input(0, options);
    const long long before = mtccheck::nowMicros();
    std::string error;
    EXPECT_FALSE(input.close(error));
    const long long took = mtccheck::nowMicros() - before;
    EXPECT_EQ(error,
              "MIDI input \"USB In\": the driver did not finish closing within 300 ms (in "
              "midiInClose)");
    EXPECT_GE(took, 300000);
    EXPECT_LT(took, 2000000) << "the close waited for the driver";
    EXPECT_TRUE(input.close(error)) << "nothing is left to close";
}

TEST_F(MidiInputReader, messagesTheHostCouldNotTakeInTimeAreCountedAsLost) {
    load("input");
    InputOptions options;
    options.queueCapacity = 4;
    MidiInput input(0, options);
    // Ten quarter frames (6.4 ms on the wire) reach the callback while the host is busy
    // elsewhere for far longer.
    arrive("F100 F110 F120 F130 F140 F150 F160 F170 F100 F110");
    Sleep(100);
    Collected got;
    EXPECT_TRUE(pollUntil(input, got, [&] { return !got.problems.empty(); }));
    EXPECT_EQ(got.messageTexts(), (std::vector<std::string>{"F1 00", "F1 10", "F1 20", "F1 30"}));
    ASSERT_EQ(got.problems.size(), 1u);
    EXPECT_NE(got.problems[0].text.find("6 messages were lost"), std::string::npos)
        << got.problems[0].text;
    EXPECT_EQ(input.overruns(), 6u);
}

TEST_F(MidiInputReader, anInputThatCannotBeOpenedNamesItselfAndWinmmsReason) {
    struct Case {
        const char* scenario;
        unsigned index;
        unsigned result;
        const char* text;
    };
    const Case cases[] = {
        {"input name=\"Busy In\"\nfault inopen port=0", 0, MMSYSERR_ALLOCATED,
         "cannot open MIDI input \"Busy In\": the device is already in use by another program "
         "(WinMM 4)"},
        {"input", 1, MMSYSERR_BADDEVICEID, "cannot read MIDI input 1: no such device (WinMM 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        load(c.scenario);
        try {
            MidiInput input(c.index);
            ADD_FAILURE() << "opened";
        } catch (const mtchost::InputError& e) {
            EXPECT_EQ(e.result(), c.result);
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
    load("input\nfault inopen port=0 times=1");
    EXPECT_THROW(MidiInput(0), mtchost::InputError);
    EXPECT_NO_THROW(MidiInput(0)) << "nothing stayed open after the refusal";
}

TEST_F(MidiInputReader, inputsAreListedWithStableIdsAndMatchedByIdOrName) {
    const std::string scenario =
        "input name=\"Loop In\" path=\"\\\\?\\usb#a\"\n"
        "input name=\"Loop In\" path=\"\\\\?\\usb#b\"\n"
        "input name=\"Plain\" path=none\n";
    load(scenario);
    const std::vector<mtchost::InputPort> inputs = mtchost::listInputs();
    ASSERT_EQ(inputs.size(), 3u);
    // SHA-256 of "velmarcast-winmm-input-v1\n\\?\usb#a\nLoop In\n1:102:256", computed apart.
    EXPECT_EQ(inputs[0].id,
              "winmm:21f1c319ff1bfa5a5446f52a6f3638e83d45af33e51e5c2c5e1b4c9cfdd98314");
    EXPECT_EQ(inputs[1].id.size(), 70u);
    EXPECT_NE(inputs[1].id, inputs[0].id) << "the interface path tells twins apart";
    EXPECT_EQ(inputs[2].id, "") << "no interface path, nothing stable to name it by";
    EXPECT_EQ(inputs[2].index, 2u);
    load("port\n" + scenario);
    EXPECT_EQ(mtchost::listInputs()[0].id, inputs[0].id) << "outputs do not move an input's id";

    struct Match {
        std::string wanted;
        std::vector<unsigned> indices;
    };
    const Match matches[] = {
        {inputs[1].id, {1}},            // by id
        {"Plain", {2}},                 // by name
        {"Loop In", {0, 1}},            // a shared name is ambiguous
        {"Nowhere", {}},     {"", {}},  // names no port, not even one without an id
    };
    for (const Match& m : matches) {
        SCOPED_TRACE(m.wanted);
        std::vector<unsigned> indices;
        for (const mtchost::InputPort& p : mtchost::matchInputs(inputs, m.wanted)) {
            indices.push_back(p.index);
        }
        EXPECT_EQ(indices, m.indices);
    }
}

}  // namespace
