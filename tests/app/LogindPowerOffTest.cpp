// Powering off through the login manager's bus interface, against a stand-in on a private bus
// (never the machine's own bus).
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <string>

#include "app/platform/LogindPowerOff.h"
#include "support/BusStub.h"
#include "support/PrivateBus.h"

namespace kf::app {
namespace {

using namespace std::chrono_literals;

uint64_t NowMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

TEST(LogindPowerOff, SchedulesAndCancelsAndReportsARefusalOrNoBus) {
    if (!test::PrivateBus::Available()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    test::PrivateBus bus;
    ASSERT_TRUE(bus.Start());
    {
        test::BusStub login;
        ASSERT_TRUE(login.Start(bus.Address(), {.login_manager = true}));
        LogindPowerOff power_off(bus.Address());
        const uint64_t before = NowMicroseconds();
        EXPECT_TRUE(power_off.Schedule(60, "一分钟后将自动关机"));
        const uint64_t after = NowMicroseconds();
        EXPECT_TRUE(power_off.Cancel());
        EXPECT_FALSE(power_off.Cancel());  // nothing left to cancel
        const auto calls = login.Calls();
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0], "SetWallMessage 一分钟后将自动关机 1");
        const std::string prefix = "ScheduleShutdown poweroff ";
        ASSERT_TRUE(calls[1].starts_with(prefix)) << calls[1];
        const uint64_t when = std::stoull(calls[1].substr(prefix.size()));
        EXPECT_GE(when, before + 60000000);
        EXPECT_LE(when, after + 60000000);
        EXPECT_EQ(calls[2], "CancelScheduledShutdown");
    }
    {
        test::BusStub refusing;
        ASSERT_TRUE(refusing.Start(bus.Address(), {.login_manager = true, .refuse = true}));
        LogindPowerOff power_off(bus.Address());
        EXPECT_FALSE(power_off.Schedule(60, "一分钟后将自动关机"));
        EXPECT_FALSE(power_off.Cancel());
        EXPECT_EQ(refusing.Calls().size(), 3u);
    }
    // Nobody serves the name on the bus, and then no bus at all: false, and quickly.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LogindPowerOff(bus.Address()).Schedule(60, "x"));
    EXPECT_FALSE(LogindPowerOff("unix:path=/nonexistent/bus").Schedule(60, "x"));
    EXPECT_FALSE(LogindPowerOff("unix:path=/nonexistent/bus").Cancel());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace kf::app
