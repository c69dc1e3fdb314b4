// A soak: the service plays at 29.97 drop-frame for a minute (MTC_SOAK_SECONDS) against a player
// that reports every 20 ms with +-5 ms of jitter in its send times, seeks every few seconds,
// pauses and switches tracks. Afterwards the recording is read as a receiver would:
//   - the receiver's time at the end of each quarter-frame cycle (the cycle's time plus two
//     frames) stays within one frame plus one quarter interval plus the reports' jitter of the
//     player's position, except right after a change the service cannot know of yet;
//   - every full frame carries the player's position (how soon quarter frames resume after it
//     is a figure of the report);
//   - no quarter frame goes out while the player is paused, no cycle breaks, no error event;
//   - the service's private bytes, working set and handle count do not grow.
// It prints the figures; scripts/soak.sh runs it for as long as asked (MTC_SOAK_SECONDS) and
// scripts/load.sh runs it beside a CPU hog.

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check/follow.h"
#include "tests/service/e2e/expect.h"
#include "tests/service/e2e/host.h"

namespace reltest {
namespace {

using namespace mtctest;

constexpr double kFps = 29.97;
constexpr double kFrame = 1001.0 / 30000.0;
constexpr double kQuarter = 1001.0 / 120000.0;
constexpr double kOffset = 3600.0;
constexpr double kPeriod = 0.020;
constexpr double kJitter = 0.005;
// How long a report may take to reach the service and be acted on when the machine stalls for a
// moment; the wire is not judged against a change that recent.
constexpr double kDeliveryReach = 0.1;

struct Memory {
    double at = 0;
    size_t privateBytes = 0;
    size_t workingSet = 0;
    DWORD handles = 0;
};

// One entry of the system's handle table (SystemHandleInformation, class 16).
struct HandleEntry {
    USHORT process;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    PVOID object;
    ULONG access;
};

// The handles `process` holds. GetProcessHandleCount answers on Windows; Wine answers 0, so
// there the system's handle table is counted instead.
DWORD handleCount(HANDLE process) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0) {
        return count;
    }
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (64u << 20)) {
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    ULONG entries = 0;
    std::memcpy(&entries, buffer.data(), sizeof entries);
    const USHORT pid = static_cast<USHORT>(GetProcessId(process));
    for (ULONG i = 0; i < entries; ++i) {
        HandleEntry entry;
        std::memcpy(&entry, buffer.data() + sizeof(PVOID) + i * sizeof(HandleEntry), sizeof entry);
        count += entry.process == pid ? 1 : 0;
    }
    return count;
}

Memory sample(ServiceHost& host) {
    const HANDLE process = host.process();
    Memory m;
    m.at = hostNow();
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        // The same figure on Windows; Wine fills only the older of the two.
        m.privateBytes =
            counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
        m.workingSet = counters.WorkingSetSize;
    }
    m.handles = handleCount(process);
    return m;
}

std::string figures(const char* what, const std::vector<double>& seconds) {
    return mtccheck::distributionLine(what, seconds, 40, 2);
}

TEST(Soak, PlaybackWithSeeksPausesAndTrackSwitchesStaysInLockWithoutGrowing) {
    const char* env = std::getenv("MTC_SOAK_SECONDS");
    const double seconds = env != nullptr && *env != '\0' ? std::atof(env) : 60.0;
    const char* seedText = std::getenv("MTC_SOAK_SEED");
    const unsigned long long seed =
        seedText != nullptr && *seedText != '\0' ? std::strtoull(seedText, nullptr, 0) : 2997;
    SCOPED_TRACE("soak seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(rng);
    };

    ServiceHost host(onPlayerPort());
    ASSERT_TRUE(host.started());
    ASSERT_EQ(host.request(startLine("1", kPlayerPortId, kFps, kOffset), 20.0), okLine("1"));

    Player player(host);
    const double began = hostNow();
    const double cpuBegan = host.cpuSeconds();
    player.play("track-0", 10.0, true);
    double nextReport = began + kPeriod;
    double nextEvent = began + uniform(2.5, 4.5);
    double resumeAt = -1;
    int tracks = 0, seeks = 0, pauses = 0;
    std::vector<Memory> memory;
    double nextSample = began + 3.0;  // after the first seconds have warmed everything up
    const double end = began + seconds;
    while (hostNow() < end) {
        sleepUntil(std::min({nextReport, nextEvent, nextSample, resumeAt > 0 ? resumeAt : end}));
        const double now = hostNow();
        if (resumeAt > 0 && now >= resumeAt) {
            player.resume();
            resumeAt = -1;
            nextReport = now + kPeriod + uniform(-kJitter, kJitter);
        } else if (now >= nextEvent && resumeAt < 0) {
            const double pick = uniform(0, 1);
            if (pick < 0.6) {
                player.seek(uniform(0, 3000), true);
                ++seeks;
            } else if (pick < 0.8) {
                player.pause(true);
                resumeAt = now + uniform(0.5, 1.5);
                ++pauses;
            } else {
                player.play("track-" + std::to_string(++tracks), uniform(0, 600), true);
            }
            nextEvent = now + uniform(2.5, 4.5);
            nextReport = now + kPeriod + uniform(-kJitter, kJitter);
        } else if (now >= nextReport) {
            player.report(false);
            nextReport += kPeriod + uniform(-kJitter, kJitter);
            nextReport = std::max(nextReport, now + kPeriod - kJitter);
        }
        if (now >= nextSample) {
            memory.push_back(sample(host));
            nextSample += 2.0;
        }
    }
    const double cpu = host.cpuSeconds() - cpuBegan;
    const Memory last = sample(host);
    EXPECT_EQ(host.request(R"({"id":2,"command":"stop"})", 10.0), okLine("2"));
    const double stoppedAt = hostNow();
    host.closeInput();
    EXPECT_EQ(host.waitExit(10.0), std::optional<DWORD>(0));
    // Our reports carry no id and succeed silently: the two replies are all there may be.
    std::vector<std::string> lines;
    for (const OutputLine& line : host.allLines()) {
        lines.push_back(line.text);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{okLine("1"), okLine("2")}));
    EXPECT_EQ(host.standardError(), "");

    // ---- the wire, as a receiver reads it ----------------------------------------------------
    const MtcCapture capture = decodeMtc(parseRecording(host.recording()));
    EXPECT_TRUE(capture.breaks.empty()) << capture.breaks.size() << " broken cycles, first "
                                        << (capture.breaks.empty() ? "" : capture.breaks[0]);
    EXPECT_TRUE(capture.strays.empty());

    // Quarter frames keep their schedule: each is due one interval after the one before it,
    // counted from the first after a full frame (the first of a run sets the schedule).
    std::vector<double> lateness;
    for (size_t i = 0, run = 0; i < capture.quarters.size(); ++i) {
        const bool follows = i > 0 && capture.quarters[i].seq == capture.quarters[i - 1].seq + 1;
        run = follows ? run + 1 : 0;
        if (run > 0) {
            const double due =
                capture.quarters[i - run].callAt + static_cast<double>(run) * kQuarter;
            lateness.push_back(capture.quarters[i].callAt - due);
        }
    }

    // A cycle's time plus two frames, shown when its eighth piece arrives, against where the
    // player is then (the judge of check/follow.h). The report a change comes with must first
    // reach the service. The reading is taken when piece 7 arrives, so a machine stall that
    // holds piece 7 back puts the reading behind by as much without any fault of the service:
    // a reading may lag by the bound plus however late its piece 7 left. Readings that needed
    // that allowance are counted as stalls in the figures. A service that ignored a pause or a
    // seek keeps its pieces on schedule and reads seconds off, so it still fails.
    const double bound = kFrame + kQuarter + kJitter;
    std::map<double, size_t> quarterIndex;
    for (size_t i = 0; i < capture.quarters.size(); ++i) {
        quarterIndex[capture.quarters[i].callAt] = i;
    }
    const mtccheck::FollowVerdict follows = mtccheck::judgeCycles(
        capture.readings, player.history(), kOffset, mtccheck::rateCodeOf(kFps),
        {bound, bound, kDeliveryReach}, began, stoppedAt - 2 * kFrame);
    std::vector<double> errors;
    std::vector<double> stalls;  // the lateness of piece 7 where a reading needed it
    for (const mtccheck::CycleFollow& c : follows.cycles) {
        errors.push_back(std::fabs(c.errorS));
        if (c.stalled) {
            stalls.push_back(c.lateS);
        }
    }
    EXPECT_EQ(follows.outside, 0u)
        << "receiver outside " << bound * 1e3
        << " ms (behind: plus the lateness of piece 7); first: " << follows.firstOutside;
    EXPECT_GE(errors.size(), static_cast<size_t>(seconds * 10)) << "too few cycles checked";

    // Full frames: each carries the player's position when the service took the report; the
    // first quarter frame follows one interval after the frame has left and been seen done.
    // A frame the service sent on its own (a late tick, a gap in the reports) just before the
    // report of a change reached it carries the old place; such frames are not judged. A frame
    // carries the place of the report that led to it, as the player stamped it, so a report
    // that a stalled machine delivered late shows as lag; the service refuses reports older
    // than 250 ms, which bounds it. Frames lagging more than a quiet machine explains are
    // counted in the figures.
    std::vector<double> resume;
    size_t badFull = 0, delayedFull = 0;
    std::string firstBadFull;
    for (const FullFrame& full : capture.fullFrames) {
        const double at = full.message.callAt;
        const double difference = secondsOf(full.tc) - (kOffset + player.positionAt(at));
        const bool settled = player.changedBefore(at) < at - 0.05;
        delayedFull += settled && difference < -(kFrame + kJitter + 0.02) ? 1 : 0;
        if (settled && (difference > 0.001 || difference < -(kFrame + 0.25))) {
            if (++badFull == 1) {
                firstBadFull = formatWithRate(full.tc) + " at " + std::to_string(at - began) +
                               " s" + (full.lateTick ? " (late tick)" : "") + ", off by " +
                               std::to_string(difference * 1e3) + " ms";
            }
        }
        const auto next = quarterIndex.upper_bound(at);
        if (next != quarterIndex.end() && player.playingAt(at)) {
            const SentMessage& q = capture.quarters[next->second];
            if (q.callAt - full.message.wireEnd < 0.5) {
                resume.push_back(q.callAt - full.message.wireEnd - kQuarter);
            }
        }
    }
    EXPECT_EQ(badFull, 0u) << "full frames that do not carry the player's position; first: "
                           << firstBadFull;
    // How soon quarter frames resume after a full frame is the loop's 1 ms poll, asserted on the
    // simulated clock; here it is a figure of the report.

    // A pause reaches the service within a few milliseconds of its report (more when the
    // machine stalls); a service that ignored it would go on for as long as it lasts.
    size_t whilePaused = 0;
    for (const SentMessage& q : capture.quarters) {
        if (!player.playingAt(q.callAt - kDeliveryReach) && !player.playingAt(q.callAt)) {
            ++whilePaused;
        }
    }
    EXPECT_EQ(whilePaused, 0u) << "quarter frames while the player was paused";

    // ---- memory and handles -------------------------------------------------------------------
    ASSERT_FALSE(memory.empty());
    EXPECT_GT(memory.front().privateBytes, 0u) << "no memory figures";
    EXPECT_GT(memory.front().handles, 0u) << "no handle count";
    memory.push_back(last);
    if (std::getenv("MTC_SOAK_SAMPLES") != nullptr) {
        for (const Memory& m : memory) {
            std::printf("sample %6.1f s private %zu working set %zu handles %lu\n", m.at - began,
                        m.privateBytes, m.workingSet, static_cast<unsigned long>(m.handles));
        }
    }
    const Memory& first = memory.front();
    const long long ownPrivate =
        static_cast<long long>(last.privateBytes) - static_cast<long long>(first.privateBytes);
    const long long ownWorkingSet =
        static_cast<long long>(last.workingSet) - static_cast<long long>(first.workingSet);
    std::string report;
    char text[400];
    std::snprintf(text, sizeof text,
                  "soak %.0f s at 29.97 (seed %llu): %d seeks, %d pauses, %d track switches; "
                  "%zu full frames (%zu late ticks, %zu carrying a report delayed in delivery), "
                  "%zu quarter frames, service CPU %.1f ms/s\n",
                  seconds, seed, seeks, pauses, tracks, capture.fullFrames.size(),
                  capture.lateTicks(), delayedFull, capture.quarters.size(), cpu / seconds * 1e3);
    report += text;
    report += figures("receiver |error| at cycle ends", errors);
    report += figures("stalls: piece 7 late past the bound", stalls);
    report += figures("quarter-frame lateness vs schedule", lateness);
    report += figures("first quarter after a full frame, late by", resume);
    std::snprintf(
        text, sizeof text,
        "memory from %.0f s to %.0f s: private bytes %zu -> %zu KiB (%+lld KiB), "
        "working set %zu -> %zu KiB (%+lld KiB), handles %lu -> %lu\n",
        first.at - began, last.at - began, first.privateBytes / 1024, last.privateBytes / 1024,
        ownPrivate / 1024, first.workingSet / 1024, last.workingSet / 1024, ownWorkingSet / 1024,
        static_cast<unsigned long>(first.handles), static_cast<unsigned long>(last.handles));
    report += text;
    std::printf("%s", report.c_str());
    std::fflush(stdout);

    // Steady state allocates nothing per message; what may move is allocator slack and Wine's
    // own bookkeeping. A leak of even a few bytes per report or quarter frame shows over a
    // minute (3000 reports, 7000 quarter frames).
    EXPECT_LE(ownPrivate, 96 * 1024) << report;
    EXPECT_LE(ownWorkingSet, 1024 * 1024) << report;
    EXPECT_LE(last.handles, first.handles + 2) << report;
}

}  // namespace
}  // namespace reltest
