#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HeldPackets.h"
#include "NfqDelayOptions.h"

namespace {

using kf::HeldPackets;
using kf::NfqDelayOptions;

TEST(HeldPackets, ReleasesInArrivalOrderOnlyWhenDueAndAcrossTheRingsEnd) {
    HeldPackets held(3);
    // Several laps of a 3-slot ring: ids must come out in order, never early, never twice.
    uint32_t next_in = 0, next_out = 0;
    for (int64_t now = 0; now < 200; now += 7) {
        while (held.Hold(next_in, now + 20)) {
            ++next_in;
        }
        EXPECT_EQ(held.size(), 3u);
        std::optional<int64_t> wait = held.WaitMs(now);
        ASSERT_TRUE(wait);
        EXPECT_LE(*wait, 20);
        while (std::optional<uint32_t> id = held.TakeDue(now)) {
            EXPECT_EQ(*id, next_out++);
        }
        EXPECT_GT(*held.WaitMs(now), 0) << "a due packet stayed behind at " << now;
    }
    EXPECT_GT(next_out, 6u);
    while (std::optional<uint32_t> id = held.TakeAny()) {
        EXPECT_EQ(*id, next_out++);
    }
    EXPECT_EQ(next_out, next_in);
    EXPECT_FALSE(held.WaitMs(0));
    EXPECT_FALSE(held.TakeDue(1000000));
}

TEST(HeldPackets, FullRingRefusesWithoutOverwriting) {
    HeldPackets held(2);
    EXPECT_TRUE(held.Hold(10, 5));
    EXPECT_TRUE(held.Hold(11, 5));
    EXPECT_FALSE(held.Hold(12, 5));
    EXPECT_EQ(held.TakeDue(5), 10u);
    EXPECT_TRUE(held.Hold(13, 9));
    EXPECT_EQ(held.TakeDue(100), 11u);
    EXPECT_EQ(held.TakeDue(100), 13u);
    EXPECT_EQ(held.WaitMs(100), std::nullopt);
}

std::variant<NfqDelayOptions, std::string> Parse(std::vector<std::string_view> args) {
    return NfqDelayOptions::Parse(args);
}

TEST(NfqDelayOptions, AcceptsBothFormsAndDefaults) {
    struct Case {
        std::vector<std::string_view> args;
        int queue, delay, loss, capacity;
    };
    const Case cases[] = {
        {{"--queue", "7"}, 7, 0, 0, 65536},
        {{"--queue=65535", "--delay-ms=20", "--loss", "5"}, 65535, 20, 5, 65536},
        {{"--delay-ms", "60000", "--queue", "0", "--loss=100", "--capacity", "1"},
         0,
         60000,
         100,
         1},
    };
    for (const Case& c : cases) {
        auto parsed = Parse(c.args);
        ASSERT_TRUE(std::holds_alternative<NfqDelayOptions>(parsed))
            << std::get<std::string>(parsed);
        const auto& o = std::get<NfqDelayOptions>(parsed);
        EXPECT_EQ(o.queue, c.queue);
        EXPECT_EQ(o.delay_ms, c.delay);
        EXPECT_EQ(o.loss_percent, c.loss);
        EXPECT_EQ(o.capacity, c.capacity);
    }
}

TEST(NfqDelayOptions, RefusesWhatWouldMisbehave) {
    const std::vector<std::vector<std::string_view>> cases = {
        {},                    // no queue
        {"--delay-ms", "20"},  // still no queue
        {"--queue"},           // value missing
        {"--queue", "65536"},  // beyond a queue number
        {"--queue", "-1"},
        {"--queue", "7x"},  // trailing garbage
        {"--queue", ""},
        {"--queue", "1", "--loss", "101"},  // a share above everything
        {"--queue", "1", "--delay-ms", "60001"},
        {"--queue", "1", "--capacity", "0"},  // a ring that holds nothing
        {"--queue", "1", "--delay-ms", "99999999999999999999"},
        {"--queue", "1", "--jitter", "5"},
    };
    for (const auto& args : cases) {
        auto parsed = Parse(args);
        EXPECT_TRUE(std::holds_alternative<std::string>(parsed))
            << "accepted: " << (args.empty() ? "(nothing)" : std::string(args.back()));
    }
}

}  // namespace
