// Proves that the quarter-frame path allocates nothing: this test program links the kit's
// counting allocator and takes only what Engine::step allocates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "core/engine.h"
#include "tests/core/rig.h"
#include "tests/kit/counting_new.h"

namespace {

using mtctest::allocationsDuring;

TEST(Allocation, theCountingAllocatorSeesAnAllocation) {
    const unsigned long long n = allocationsDuring([] {
        void* volatile p = ::operator new(64);
        ::operator delete(p);
    });
    EXPECT_EQ(n, 1u);
}

// A player that reports every 20 ms up to 20 ms off its clock (absorbed without a locate), a
// seek every 2 s, a timer wake 25 ms late every 0.75 s (a locate from within step), and full
// frames that take 2 ms: several thousand quarter frames at every rate in both timings, only
// step counted.
TEST(Allocation, aPlayingEnginesStepAllocatesNothingOverThousandsOfQuarterFrames) {
    for (const bool phaseLock : {false, true})
        for (double fps : {24.0, 25.0, 29.97, 30.0}) {
            SCOPED_TRACE(phaseLock ? "phase lock" : "default");
            coretest::Rig rig;
            rig.sink.fullDuration = 0.002;
            rig.start(fps, 3600, 0, phaseLock);
            const size_t callCapacity = rig.sink.calls.capacity();
            const size_t packetCapacity = rig.sink.packets.capacity();

            double position = 10;
            double t = 0;
            double nextReport = 0;
            double nextLateWake = 0.75;
            unsigned long long stepAllocations = 0;
            const double until = 40.0;
            for (int k = 0; t < until; ++k) {
                ASSERT_LT(k, 1000000) << "the simulation stopped advancing";
                t = std::min(rig.nextWake(), nextReport);
                if (t >= nextLateWake) {
                    nextLateWake += 0.75;
                    t = std::min(t + 0.025, nextReport);
                }
                rig.at(t);
                if (t >= nextReport) {
                    const int n = static_cast<int>(nextReport / 0.02 + 0.5);
                    const bool seek = n % 100 == 99;
                    if (seek) {
                        position += 30;
                    }
                    const double jitter = (n % 5 - 2) * 0.01;  // -20 ms to +20 ms
                    rig.send(coretest::report(position + t + jitter, true, "track", seek));
                    nextReport = (n + 1) * 0.02;
                }
                stepAllocations += allocationsDuring([&] { rig.engine.step(t); });
            }
            const size_t quarters = rig.quarterDataSince(0).size();
            EXPECT_GT(quarters, 3000u) << fps;
            EXPECT_GT(rig.fullsSince(0).size(), 20u) << fps;
            EXPECT_EQ(stepAllocations, 0u) << fps;
            // The recording sink did not grow either, so a count of 0 is the engine's own.
            EXPECT_EQ(rig.sink.calls.capacity(), callCapacity) << fps;
            EXPECT_EQ(rig.sink.packets.capacity(), packetCapacity) << fps;
        }
}

}  // namespace
