#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/base/EngineClock.h"
#include "engine/base/QTimeThread.h"

namespace {

template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 600; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(EngineClock, AdvancesWithTheTickAndIgnoresSystemClockChanges) {
    std::atomic<uint64_t> tick{50000};
    std::atomic<int64_t> wall{1700000000};
    kf::QTimeThread clock([&] { return tick.load(); }, [&] { return wall.load(); });
    ASSERT_TRUE(clock.StartThread("kf-test-clock"));
    ASSERT_TRUE(Eventually([&] { return clock.WallSeconds() == 1700000000; }));
    const uint32_t counter = clock.CounterSeconds();

    wall = 1700000000 - 3600;  // the system clock goes back an hour
    tick += 5500;
    ASSERT_TRUE(Eventually([&] { return clock.WallSeconds() == 1700000005; }));
    EXPECT_EQ(clock.CounterSeconds(), counter + 5);

    // A wrapped tick counts one second and measures on from there.
    tick = 100;
    ASSERT_TRUE(Eventually([&] { return clock.WallSeconds() == 1700000006; }));
    tick = 2100;
    ASSERT_TRUE(Eventually([&] { return clock.WallSeconds() == 1700000008; }));
    EXPECT_EQ(clock.CounterSeconds(), counter + 8);
    clock.StopThread();
}

TEST(EngineClock, GlobalClockStartsOnDemandAndNeverReadsZero) {
    EXPECT_GE(kf::SecondsSinceStart(), 1u);
    EXPECT_GT(kf::NowSeconds(), 1600000000);
    kf::StartClock();  // starting twice is harmless
    kf::StopClock();
    EXPECT_GT(kf::NowSeconds(), 1600000000);
    kf::StartClock();
}

}  // namespace
