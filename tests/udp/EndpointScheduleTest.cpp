#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/udp/EndpointSchedule.h"

namespace {

using kf::EndpointSchedule;

// Runs the schedule as the endpoint does: wake when it says, take what is due. Counts wake-ups
// and passes over `duration_ms` of fake time.
struct Passes {
    int wakeups = 0;
    int retransmits = 0;
    int acks = 0;
    int housekeeping = 0;
    int registrations = 0;
    int keep_alives = 0;
};

Passes Drive(EndpointSchedule& schedule, uint64_t start_ms, uint64_t duration_ms, bool fast,
             bool registering, bool answer_registrations) {
    Passes run;
    uint64_t now = start_ms;
    while (now < start_ms + duration_ms && run.wakeups < 100000) {
        const EndpointSchedule::Due due = schedule.Take(now, fast, registering);
        run.retransmits += due.retransmit;
        run.acks += due.ack;
        run.housekeeping += due.housekeeping;
        run.registrations += due.registration;
        run.keep_alives += due.keep_alive;
        if (due.registration && answer_registrations) {
            schedule.Acknowledge();
        }
        const uint64_t wait = schedule.WaitMs(now, fast, registering);
        EXPECT_GT(wait, 0u) << "the schedule asked to wake again at once at " << now;
        now += wait == 0 ? 1 : wait;
        ++run.wakeups;
    }
    return run;
}

TEST(EndpointSchedule, IdleWakesOnlyForHousekeeping) {
    EndpointSchedule schedule(52, 1000);
    const Passes run = Drive(schedule, 1000, 60001, false, false, false);
    EXPECT_EQ(run.housekeeping, 20);
    EXPECT_LE(run.wakeups, 21);  // well below 30 a second
    EXPECT_EQ(run.retransmits + run.acks + run.registrations + run.keep_alives, 0);
}

TEST(EndpointSchedule, SessionPassesKeepTheirPeriods) {
    EndpointSchedule schedule(52, 0);
    const Passes run = Drive(schedule, 0, 1001, true, false, false);
    // Every 40 ms a retransmission pass (with its own acknowledgement), the 20 ms between an
    // acknowledgement pass.
    EXPECT_EQ(run.retransmits, 25);
    EXPECT_EQ(run.acks, 25);
}

TEST(EndpointSchedule, AnsweredRegistrationsRepeatEveryFiveMinutesWithKeepAlivesBetween) {
    EndpointSchedule schedule(52, 0);
    const Passes run = Drive(schedule, 0, 600001, false, true, true);
    // At 0, 300 s and 600 s; keep-alives every 52 s between (five in each 300 s).
    EXPECT_EQ(run.registrations, 3);
    EXPECT_EQ(run.keep_alives, 10);
}

TEST(EndpointSchedule, UnansweredRegistrationsBackOffToTheKeepAlivePeriod) {
    EndpointSchedule schedule(52, 0);
    std::vector<uint64_t> sent;
    for (uint64_t now = 0; now <= 400000 && sent.size() < 12;) {
        if (schedule.Take(now, false, true).registration) {
            sent.push_back(now);
        }
        now += std::max<uint64_t>(schedule.WaitMs(now, false, true), 1);
    }
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < sent.size(); ++i) {
        gaps.push_back(sent[i] - sent[i - 1]);
    }
    const std::vector<uint64_t> expected = {1000,  2000,  4000,  8000,  16000, 32000,
                                            52000, 52000, 52000, 52000, 52000};
    EXPECT_EQ(gaps, expected);

    // An answer ends the retries; the next unanswered registration starts again at 1 s.
    schedule.Acknowledge();
    const uint64_t last = sent.back();
    EXPECT_FALSE(schedule.Take(last + 60000, false, true).registration);
    EXPECT_TRUE(schedule.Take(last + 300000, false, true).registration);
    EXPECT_TRUE(schedule.Take(last + 301000, false, true).registration);
}

TEST(EndpointSchedule, ShortKeepAliveIntervalsBecomeTenSecondsAndRestartRegistersAtOnce) {
    EndpointSchedule schedule(3, 0);
    EXPECT_TRUE(schedule.Take(0, false, true).registration);
    schedule.Acknowledge();
    EXPECT_EQ(schedule.WaitMs(0, false, true), 3000u);  // housekeeping comes first
    EXPECT_FALSE(schedule.Take(9999, false, true).keep_alive);
    EXPECT_TRUE(schedule.Take(10000, false, true).keep_alive);
    schedule.Restart(20000);
    EXPECT_EQ(schedule.WaitMs(20000, false, true), 0u);
    EXPECT_TRUE(schedule.Take(20000, false, true).registration);
}

}  // namespace
