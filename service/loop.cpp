#include "service/loop.h"

#include <windows.h>
#include <avrt.h>
#include <mmsystem.h>

#include <deque>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/engine.h"
#include "service/line_io.h"
#include "service/timing.h"
#include "service/windows_adapters.h"
#include "winmm/winsink.h"

// Older SDK headers (and MinGW-w64's) lack the flag; its value is fixed by the system.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace mtcservice {

namespace {

const char kOverflowMessage[] = "MTC 输出更新阻塞，输出已关闭。请重新启用。";
const char kWaitFailedMessage[] = "MTC 输出等待失败。";
const char kTimerFailedMessage[] = "无法启动 MTC 原生定时器。";

// What the loop holds for the whole run and releases in the final clean-up.
struct Service {
    Reader* reader = nullptr;
    LoopSurroundings surroundings;
    HANDLE timer = nullptr;
    bool highResolution = false;  // the timer was created with the high-resolution flag
    bool periodHeld = false;      // timeBeginPeriod(1) succeeded and is not yet undone
    HANDLE scheduling = nullptr;  // "Pro Audio" registration, or null
    DWORD taskIndex = 0;
};

// The multimedia timer resolution matters only to an ordinary waitable timer, and only while
// output runs: holding 1 ms costs the whole system power, so it is released as soon as output
// stops. A refused request is simply asked again on the next turn.
void adjustTimerResolution(Service& service, const velmarmtc::Engine& engine) {
    if (service.highResolution) {
        return;
    }
    if (engine.isActive() && !service.periodHeld) {
        service.periodHeld = timeBeginPeriod(1) == TIMERR_NOERROR;
    } else if (!engine.isActive() && service.periodHeld) {
        timeEndPeriod(1);
        service.periodHeld = false;
    }
}

// The loop proper. Returns the exit code of an orderly end: 0 at end of input, 2 after an
// overflow (reported here). Throws on a fatal failure: a failed wait or timer, a reply or
// event that cannot be written, an output that cannot be stopped.
int runLoop(Service& service, velmarmtc::Engine& engine) {
    Reader& reader = *service.reader;
    Clock& clock = *service.surroundings.clock;
    DeviceList& deviceList = *service.surroundings.deviceList;
    LineWriter& writer = *service.surroundings.writer;
    HANDLE waitList[2] = {reader.event, service.timer};
    // Reused every turn: swapping it with the reader's queue hands the reader back an empty
    // queue whose storage already exists, so a timer wake allocates nothing.
    std::deque<std::string> batch;
    for (;;) {
        if (reader.overflow) {
            engine.stop();
            writer.writeLine(errorEventLine(kOverflowMessage));
            return 2;
        }
        if (reader.eof) {
            engine.stop();
            return 0;
        }
        // One short lock: the reader gets back the emptied storage of the last batch.
        reader.take(batch);
        for (const std::string& line : batch) {
            // Once input has ended or overflowed, nothing more is answered: the host has gone
            // or broken the protocol.
            if (reader.eof || reader.overflow) {
                break;
            }
            if (!line.empty()) {
                handleCommand(line, engine, clock, deviceList, writer);
            }
        }
        batch.clear();
        if (reader.eof || reader.overflow) {
            continue;
        }
        // Commands come before timing: while more input waits, handle it first.
        if (WaitForSingleObject(reader.event, 0) == WAIT_OBJECT_0) {
            continue;
        }
        try {
            engine.step(clock.monotonicSeconds());
        } catch (const std::exception& failure) {
            // The engine never stops itself; a failed step ends output here and the host is
            // told why. A failure of either call leaves the loop as fatal.
            engine.stop();
            writer.writeLine(errorEventLine(failure.what()));
        }
        adjustTimerResolution(service, engine);
        if (!engine.isActive()) {
            // Nothing to time: sleep until the host writes.
            CancelWaitableTimer(service.timer);
            if (WaitForSingleObject(reader.event, INFINITE) == WAIT_FAILED) {
                throw std::runtime_error(kWaitFailedMessage);
            }
            continue;
        }
        LARGE_INTEGER due;
        due.QuadPart = relativeDueTime(engine, clock.monotonicSeconds());
        if (!SetWaitableTimer(service.timer, &due, 0, nullptr, nullptr, FALSE)) {
            throw std::runtime_error(kTimerFailedMessage);
        }
        // Which handle woke the loop does not matter: every turn drains input first and then
        // steps the engine unless more input waits.
        if (WaitForMultipleObjects(2, waitList, FALSE, INFINITE) == WAIT_FAILED) {
            throw std::runtime_error(kWaitFailedMessage);
        }
    }
}

// Owns the sink and the engine for the run. Returns the exit code; a fatal failure gives 2.
int runWithOutput(Service& service) {
    // The sink must not move while WinMM holds its header, so it is built in place and
    // destroyed in place; the engine only points at it.
    std::optional<WinSink> sink;
    sink.emplace();
    velmarmtc::Engine engine(&*sink);
    try {
        return runLoop(service, engine);
    } catch (const std::exception& failure) {
        // Release the port first (a driver that will not let go ends the process here with
        // the sink's own line), then try to tell the host; it may be the host that failed.
        sink.reset();
        try {
            service.surroundings.writer->writeLine(errorEventLine(failure.what()));
        } catch (const std::exception&) {
        }
        return 2;
    }
}

// The final clean-up of what serveLines made, in this order.
void release(Service& service) {
    CancelWaitableTimer(service.timer);
    CloseHandle(service.timer);
    if (service.periodHeld) {
        timeEndPeriod(1);
    }
    if (service.scheduling != nullptr) {
        AvRevertMmThreadCharacteristics(service.scheduling);
    }
}

// The end of the process, after the loop's clean-up. The reader may be blocked in a read of a
// pipe the host keeps open; break it, give the thread a moment to end by itself, and let
// ExitProcess end it otherwise.
[[noreturn]] void endProcess(HANDLE readerThread, int exitCode) {
    CancelSynchronousIo(readerThread);
    WaitForSingleObject(readerThread, 100);
    CloseHandle(readerThread);
    ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace

std::optional<int> serveLines(Reader& reader, const LoopSurroundings& surroundings) {
    Service service;
    service.reader = &reader;
    service.surroundings = surroundings;

    // A high-resolution timer wakes close to its due time without raising the system-wide
    // timer resolution; systems that lack it get an ordinary timer and timeBeginPeriod.
    if (!surroundings.refuseHighResolutionTimer) {
        service.timer = CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    }
    service.highResolution = service.timer != nullptr;
    if (service.timer == nullptr) {
        service.timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    if (service.timer == nullptr) {
        return std::nullopt;
    }

    // Quarter frames are due every 8 to 10 ms; the multimedia class scheduler keeps the main
    // thread ahead of ordinary work. Without it the service still runs, only less punctually.
    service.scheduling = AvSetMmThreadCharacteristicsW(L"Pro Audio", &service.taskIndex);
    if (service.scheduling != nullptr) {
        AvSetMmThreadPriority(service.scheduling, AVRT_PRIORITY_HIGH);
    }

    const int exitCode = runWithOutput(service);
    release(service);
    return exitCode;
}

int runService() {
    // No dialog box may ever stop an unattended child process.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    // Never freed: the reader thread may still be in a read at exit.
    Reader* reader = new (std::nothrow) Reader;
    if (reader == nullptr) {
        return 2;
    }
    reader->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (reader->event == nullptr) {
        return 2;
    }
    const HANDLE readerThread = CreateThread(nullptr, 0, &Reader::run, reader, 0, nullptr);
    if (readerThread == nullptr) {
        return 2;
    }

    SystemClock clock;
    WinmmDeviceList deviceList;
    StandardOutputWriter writer;
    LoopSurroundings surroundings;
    surroundings.clock = &clock;
    surroundings.deviceList = &deviceList;
    surroundings.writer = &writer;
    const std::optional<int> exitCode = serveLines(*reader, surroundings);
    if (!exitCode) {
        return 2;
    }
    endProcess(readerThread, *exitCode);
}

}  // namespace mtcservice
