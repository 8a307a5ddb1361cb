// The listen port's choice: start, wrap, exclusions, the previous run's port, and a full range.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "engine/upnp/PortChoice.h"

namespace kf {
namespace {

TEST(PortChoice, StartAndNextWrapAndSkipExcludedPorts) {
    const std::vector<int32_t> extra = {40001, 40002, 49999};
    const PortChoice choice(extra);
    struct Case {
        int32_t from;
        int32_t next;
    };
    for (const Case& c : std::vector<Case>{
             {40000, 40003},  // 40001 and 40002 excluded by the caller
             {40411, 40413},  // 40412 built in
             {40420, 40424},  // 40421..40423 built in
             {44443, 44445},
             {49998, 50000},  // 49999 excluded, 50000 is still in the range
             {50000, 40000},  // past the top: wrap
             {39999, 40000},  // below the range
             {65535, 40000},
             {-5, 40000},
         }) {
        EXPECT_EQ(choice.Next(c.from), c.next) << c.from;
    }
    // The start is one past random mod 10000 + 40000.
    EXPECT_EQ(choice.StartFor(0), 40003);
    EXPECT_EQ(choice.StartFor(411), 40413);
    EXPECT_EQ(choice.StartFor(9999), 50000);
}

TEST(PortChoice, ChoosesThePreviousPortOnlyWhenUsableThenWalksTheRangeOnce) {
    const PortChoice choice;
    std::vector<int32_t> asked;
    const auto busy_until = [&asked](int32_t first_free) {
        return [&asked, first_free](int32_t port) {
            asked.push_back(port);
            return port == first_free;
        };
    };
    EXPECT_EQ(choice.Choose(45678, 41000, busy_until(45678)), 45678);
    EXPECT_EQ(asked, std::vector<int32_t>{45678});
    for (const int32_t unusable : {0, 8080, 44444, 50001}) {
        asked.clear();
        EXPECT_EQ(choice.Choose(unusable, 49999, busy_until(40001)), 40001) << unusable;
        EXPECT_EQ(asked, (std::vector<int32_t>{49999, 50000, 40000, 40001})) << unusable;
    }

    // Nothing free: 0, after asking about each candidate exactly once.
    asked.clear();
    EXPECT_EQ(choice.Choose(0, 43210, busy_until(-1)), 0);
    const std::set<int32_t> distinct(asked.begin(), asked.end());
    EXPECT_EQ(asked.size(), distinct.size());
    EXPECT_EQ(asked.size(), 10001u - std::size(PortChoice::kBuiltInExclusions));
    for (const int32_t excluded : PortChoice::kBuiltInExclusions) {
        EXPECT_EQ(distinct.count(excluded), 0u) << excluded;
    }
}

TEST(PortChoice, ARangeThatIsAllExcludedGivesNoPortWithoutAsking) {
    std::vector<int32_t> all;
    for (int32_t port = PortChoice::kFirstPort; port <= PortChoice::kLastPort; ++port) {
        all.push_back(port);
    }
    const PortChoice choice(all);
    int asked = 0;
    EXPECT_EQ(choice.Choose(45000, choice.StartFor(1234),
                            [&asked](int32_t) {
                                ++asked;
                                return true;
                            }),
              0);
    EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace kf
