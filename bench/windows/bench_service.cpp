// Timing figures of the running service against the simulated port; prints them, asserts
// nothing. Run by hand:
//
//   bench_service.exe [seconds]      (default 30 s of playback at 30 fps)
//
// 1. Playback: 30 fps, reports every 20 ms. From the port's recording: quarter-frame send time
//    minus its due time. The due times are rebuilt from the recording: the first quarter frame
//    is due one interval after the step that found the full frame done (that step releases the
//    header, which the recording shows), each later one an interval after the one before. The
//    release follows the step's clock reading by a few microseconds, so the figures are low by
//    about that much.
//    Alongside, in this process, a bare waitable-timer loop at the same interval measures how
//    late the platform wakes anyone, for comparison.
// 2. Locates: a report with "locate" every 100 ms; time from writing the line to the full
//    frame being handed to the driver and to its last byte leaving the wire.
// CPU time of the service comes from GetProcessTimes on the child (under Wine the share of the
// wineserver is not included). Wake-ups per second are estimated from the recording (see the
// printed note).

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/e2e/host.h"

// MinGW-w64 headers lack the flag; its value is fixed by the system.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

using namespace mtctest;

namespace {

constexpr char kScenario[] = "port name=\"Bench port\" path=\"sim#bench\"\n";
constexpr double kFps = 30.0;
constexpr double kInterval = 1.0 / (kFps * 4.0);

void printDistribution(const char* what, const std::vector<double>& seconds) {
    std::printf("%s", mtccheck::distributionLine(what, seconds, 58, 3).c_str());
}

double cpuSeconds(HANDLE process, double* user, double* kernel) {
    mtccheck::processTimes(process, *user, *kernel);
    return *user + *kernel;
}

// The same kind of loop as the service's, with nothing else to do: absolute due times one
// interval apart, each armed as a relative high-resolution wait.
std::vector<double> bareTimerLateness(double until) {
    std::vector<double> lateness;
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    double due = hostNow() + kInterval;
    while (due < until) {
        const double delay = std::max(due - hostNow(), 0.0005);
        LARGE_INTEGER relative;
        relative.QuadPart = -static_cast<LONGLONG>(std::ceil(delay * 1e7));
        SetWaitableTimer(timer, &relative, 0, nullptr, nullptr, FALSE);
        WaitForSingleObject(timer, 1000);
        const double woke = hostNow();
        lateness.push_back(woke - due);
        due += kInterval;
        if (woke > due) {
            due = woke + kInterval;  // like the service, never catch up in a burst
        }
    }
    CloseHandle(timer);
    return lateness;
}

}  // namespace

int main(int argc, char** argv) {
    const double playSeconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const int locates = 100;

    ServiceOptions options;
    options.scenario = kScenario;
    ServiceHost host(options);
    if (!host.started()) {
        std::printf("mtc-service.exe could not be started\n");
        return 1;
    }
    const std::string listed = host.request(R"({"id":1,"command":"list"})");
    const size_t idAt = listed.find("winmm:");
    if (idAt == std::string::npos) {
        std::printf("no simulated port: %s\n", listed.c_str());
        return 1;
    }
    const std::string id = listed.substr(idAt, 70);
    const std::string started = host.request(R"({"id":2,"command":"start","outputId":")" + id +
                                             R"(","fps":30,"offset":0})");
    if (started != R"({"id":2,"ok":true})") {
        std::printf("start failed: %s\n", started.c_str());
        return 1;
    }

    // Phase 1: steady playback, with the bare timer loop running alongside.
    Player player(host);
    double user0 = 0, kernel0 = 0, user1 = 0, kernel1 = 0;
    const double playBegin = hostNow();
    const double cpu0 = cpuSeconds(host.process(), &user0, &kernel0);
    std::vector<double> bare;
    std::thread bareThread([&] { bare = bareTimerLateness(playBegin + playSeconds); });
    player.play("bench", 100.0);
    player.startReports(0.02);
    sleepUntil(playBegin + playSeconds);
    const double cpu1 = cpuSeconds(host.process(), &user1, &kernel1);
    const double playEnd = hostNow();
    bareThread.join();

    // Phase 2: locates every 100 ms while the reports go on.
    std::vector<double> locateSentAt;
    for (int i = 0; i < locates; ++i) {
        sleepUntil(hostNow() + 0.1);
        locateSentAt.push_back(hostNow());
        player.report(true);
    }
    Sleep(50);
    player.stopReports();
    host.request(R"({"id":3,"command":"stop"})");
    host.closeInput();
    host.waitExit(5.0);

    const std::vector<RecordEntry> entries = parseRecording(host.recording());

    // Quarter-frame lateness in phase 1, segment by segment (a late-tick locate starts a new
    // schedule).
    std::vector<double> quarterLateness;
    size_t relocations = 0, quarters = 0, checks = 0;
    double due = -1;
    bool awaitingRelease = false;
    for (const RecordEntry& e : entries) {
        if (e.at < playBegin || e.at > playEnd) {
            continue;
        }
        if (e.event == "midiOutLongMsg") {
            relocations += 1;
            awaitingRelease = true;
            due = -1;
        } else if (e.event == "midiOutUnprepareHeader" && awaitingRelease) {
            awaitingRelease = false;
            due = e.at + kInterval;
        } else if (e.event == "midiOutShortMsg" && due > 0) {
            quarterLateness.push_back(e.at - due);
            due += kInterval;
            quarters += 1;
        } else if (e.event == "midiOutGetID") {
            checks += 1;
        }
    }

    // Locate latency: the first full frame handed over after each locate line.
    std::vector<double> toDriver, toWireEnd;
    for (double sentAt : locateSentAt) {
        long long seq = -1;
        for (const RecordEntry& e : entries) {
            if (e.event == "midiOutLongMsg" && e.at >= sentAt && e.field("result") == "0") {
                toDriver.push_back(e.at - sentAt);
                seq = e.number("seq");
                break;
            }
        }
        for (const RecordEntry& e : entries) {
            if (seq >= 0 && e.event == "wire" && e.number("seq") == seq) {
                toWireEnd.push_back(static_cast<double>(e.number("end")) / 1e6 - sentAt);
                break;
            }
        }
    }

    const double seconds = playEnd - playBegin;
    std::printf(
        "mtc-service against the simulated port, %.0f fps, %.1f s of playback, reports "
        "every 20 ms\n",
        kFps, seconds);
    printDistribution("quarter frame: handed to WinMM - due time", quarterLateness);
    printDistribution("bare high-resolution waitable-timer loop: wake - due", bare);
    printDistribution("locate: line written -> full frame handed to WinMM", toDriver);
    printDistribution("locate: line written -> full frame's last byte on the wire", toWireEnd);
    std::printf("full frames during playback: %zu (1 = no late-tick relocation)\n", relocations);
    std::printf("service CPU time: %.2f ms per second of playback (user %.2f, kernel %.2f)\n",
                (cpu1 - cpu0) / seconds * 1e3, (user1 - user0) / seconds * 1e3,
                (kernel1 - kernel0) / seconds * 1e3);
    const double reportsPerSecond = 50.0;
    std::printf(
        "wake-ups per second: %.1f quarter frames + %.1f device checks (timer, upper "
        "bound) + ~%.0f report lines (input) = ~%.1f\n",
        static_cast<double>(quarters) / seconds, static_cast<double>(checks) / seconds,
        reportsPerSecond, static_cast<double>(quarters + checks) / seconds + reportsPerSecond);
    return 0;
}
