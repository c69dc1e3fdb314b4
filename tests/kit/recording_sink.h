// The one recording Sink of the portable tests (the core tests, the command handler's and the
// loop timing's, and the command fuzzer's): it records every call the engine makes, in order,
// and what reached the "wire" with the simulated time, and models a full frame that takes
// `fullDuration` seconds to complete (one in flight, at most one held, the newest). A call against
// the sink's contract (a quarter frame on a closed output or while a full frame is pending, a full
// frame on a closed output) throws, so a test sees it fail.
//
// It allocates only in open and when its pre-reserved logs overflow, so the allocation test can
// use it on the quarter-frame path. It keeps no static state. Single-threaded, like the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/sink.h"

namespace mtctest {

enum class Op { Open, ClearPending, Full, Quarter, Ready, Connected, Close };

// One call the engine made on the sink.
struct Call {
    Op op;
    double time;
    bool result;  // what ready or connected returned

    bool operator==(const Call& o) const {
        return op == o.op && time == o.time && result == o.result;
    }
};

// One message that reached the output: F1 dd, or the ten full-frame bytes.
struct Packet {
    double time;
    std::array<uint8_t, 10> bytes;
    size_t size;

    bool operator==(const Packet& o) const {
        return time == o.time && bytes == o.bytes && size == o.size;
    }
    bool isFull() const { return size == 10; }
    bool isQuarter() const { return size == 2; }
    uint8_t data() const { return bytes[1]; }
    std::array<uint8_t, 10> full() const { return bytes; }
};

// Not final: the command fuzzer checks the wire on top of it.
class RecordingSink : public velmarmtc::Sink {
  public:
    // `reserve`: entries kept in advance in each log, so that recording allocates nothing
    // until that many calls have been made.
    explicit RecordingSink(size_t reserve = 1u << 16) {
        calls.reserve(reserve);
        packets.reserve(reserve);
    }

    // Simulated time, set by the test before each engine call.
    double now = 0;
    // How long a full frame stays in flight (0: completes at the instant it is sent).
    double fullDuration = 0;
    // What connected() reports while open; a test clears it to unplug the device.
    bool attached = true;
    // When set, open throws a runtime_error with this text.
    std::optional<std::string> openFailure;
    // When set, full throws a runtime_error with this text.
    std::optional<std::string> fullFailure;
    // When set, close throws a runtime_error with this text (after logging the call).
    std::optional<std::string> closeFailure;

    bool opened = false;
    std::string openedId;
    bool busy = false;
    double busyUntil = 0;
    std::optional<std::array<uint8_t, 10>> held;

    std::vector<Call> calls;
    std::vector<Packet> packets;

    void open(const std::string& id) override {
        log(Op::Open);
        if (openFailure) {
            throw std::runtime_error(*openFailure);
        }
        opened = true;
        openedId = id;
    }

    void clearPending() override {
        log(Op::ClearPending);
        held.reset();
        if (busy && now >= busyUntil) {
            busy = false;
        }
    }

    void full(const std::array<uint8_t, 10>& message) override {
        log(Op::Full);
        if (fullFailure) {
            throw std::runtime_error(*fullFailure);
        }
        if (busy) {
            held = message;
        } else {
            submit(message);
        }
    }

    void quarter(uint8_t data) override {
        log(Op::Quarter);
        if (!opened) {
            throw std::runtime_error("quarter frame on a closed output");
        }
        if (busy || held) {
            throw std::runtime_error("quarter frame while a full frame is pending");
        }
        Packet p{now, {}, 2};
        p.bytes[0] = 0xF1;
        p.bytes[1] = data;
        packets.push_back(p);
    }

    bool ready() override {
        bool result = true;
        if (busy && busyUntil > now) {
            result = false;
        } else {
            busy = false;
            if (held) {
                const std::array<uint8_t, 10> next = *held;
                held.reset();
                submit(next);
                result = false;
            }
        }
        log(Op::Ready, result);
        return result;
    }

    bool connected() override {
        const bool result = opened && attached;
        log(Op::Connected, result);
        return result;
    }

    void close() override {
        log(Op::Close);
        if (closeFailure) {
            throw std::runtime_error(*closeFailure);
        }
        opened = false;
        busy = false;
        held.reset();
    }

    // Operations of the recorded calls from index `from` on.
    std::vector<Op> opsSince(size_t from) const {
        std::vector<Op> out;
        for (size_t i = from; i < calls.size(); ++i) {
            out.push_back(calls[i].op);
        }
        return out;
    }

  private:
    void log(Op op, bool result = false) { calls.push_back(Call{op, now, result}); }

    void submit(const std::array<uint8_t, 10>& message) {
        if (!opened) {
            throw std::runtime_error("full frame on a closed output");
        }
        packets.push_back(Packet{now, message, 10});
        busy = true;
        busyUntil = now + fullDuration;
    }
};

}  // namespace mtctest
