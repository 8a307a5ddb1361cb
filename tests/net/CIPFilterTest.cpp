#include "engine/net/CIPFilter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/net/CIPFilterHolder.h"

namespace kf {
namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// The address as a socket hands it over: bytes in network order.
uint32_t NetworkOrder(uint32_t host) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                              static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;  // (first, last)

RangeList RangesOf(const CIPFilter& filter) {
    RangeList out;
    for (const auto& [last, first] : filter.Ranges()) {
        out.emplace_back(first, last);
    }
    return out;
}

TEST(IpFilterLine, AcceptsOnlyTheDocumentedShape) {
    const std::pair<const char*, bool> cases[] = {
        {"1.2.3.4-1.2.3.10 1 trailing words, commas, anything", true},
        {" \t\x01\x1f 1.2.3.4-1.2.3.10 1", true},
        {"1.2.3.4 - 1.2.3.10 1", false},
        {"1.2.3.4- 1.2.3.10 1", false},
        {"1.2.3.4-1.2.3.10 ", false},
        {"1.2.3.4-1.2.3.10\t1", false},
        {"1.2.3-1.2.4 1", false},
        {"1.2.3.4-1.2.3.10.5 1", false},
        {"   # 1.2.3.4-1.2.3.10 1", false},
        {"1.2.3.10-1.2.3.4 1", false},  // last below first
        {"1.2.3.4-1.2.3.10 127", false},
        {"1.2.3.4-1.2.3.10 99999999999999999999999", false},
        {"1.2.3.4-1.2.3.10 126", true},
    };
    for (const auto& [line, accepted] : cases) {
        CIPFilter filter;
        EXPECT_EQ(filter.AddLine(line), accepted) << '"' << line << '"';
        EXPECT_EQ(filter.IsBlockedHostOrder(Ip(1, 2, 3, 7)), accepted) << '"' << line << '"';
    }

    CIPFilter filter;
    filter.SetThreshold(50);
    EXPECT_FALSE(filter.AddLine("3.0.0.0-3.0.0.9 50"));
    EXPECT_TRUE(filter.AddLine("3.0.0.0-3.0.0.9 49"));
    filter.Reset();
    EXPECT_EQ(filter.Threshold(), 127);
    EXPECT_TRUE(filter.Empty());
}

TEST(IpFilterLine, AddressNumbersWrapModulo256) {
    CIPFilter filter;
    ASSERT_TRUE(filter.AddLine("257.2.3.260-1.258.3.300 1"));
    EXPECT_EQ(RangesOf(filter), (RangeList{{Ip(1, 2, 3, 4), Ip(1, 2, 3, 44)}}));
    // A long run of digits is its value modulo 256 (2^64 + 5 here), not an overflowed one.
    filter.Reset();
    ASSERT_TRUE(filter.AddLine("000000000000000000000010.0.0.1-10.0.0.18446744073709551621 1"));
    EXPECT_EQ(RangesOf(filter), (RangeList{{Ip(10, 0, 0, 1), Ip(10, 0, 0, 5)}}));
}

TEST(IpFilterMerge, KeepsRangesDisjointInEveryOverlapCase) {
    const std::pair<RangeList, RangeList> cases[] = {
        // (ranges added in order, ranges stored)
        {{{10, 20}, {30, 40}, {0, 5}}, {{0, 5}, {10, 20}, {30, 40}}},
        {{{10, 40}, {15, 20}}, {{10, 40}}},
        {{{15, 20}, {10, 40}}, {{10, 40}}},
        {{{20, 40}, {10, 25}}, {{10, 40}}},
        {{{10, 25}, {20, 40}}, {{10, 40}}},
        {{{10, 20}, {20, 30}, {31, 35}}, {{10, 30}, {31, 35}}},
        {{{10, 12}, {20, 22}, {30, 32}, {40, 42}, {11, 31}}, {{10, 32}, {40, 42}}},
        {{{20, 25}, {30, 35}, {40, 60}, {10, 50}}, {{10, 60}}},
        {{{7, 9}, {0, 0xFFFFFFFF}, {100, 200}}, {{0, 0xFFFFFFFF}}},
    };
    for (const auto& [added, stored] : cases) {
        CIPFilter filter;
        for (const auto& [first, last] : added) {
            filter.AddRange(first, last);
        }
        EXPECT_EQ(RangesOf(filter), stored) << "first added " << added[0].first;
    }
}

// Random ranges in a small window against a bitmap: catches a merge that leaves overlaps (the
// lookup by last address then misses addresses) or loses part of a range.
TEST(IpFilterMerge, MatchesABitmapForRandomRanges) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<uint32_t> pick(0, 255);
    for (int round = 0; round < 300; ++round) {
        CIPFilter filter;
        std::vector<bool> blocked(300, false);
        for (int i = 0; i <= round % 12; ++i) {
            const uint32_t a = pick(rng);
            const uint32_t b = pick(rng);
            const uint32_t first = std::min(a, b);
            const uint32_t last = std::max(a, b);
            filter.AddRange(first, last);
            std::fill(blocked.begin() + first, blocked.begin() + last + 1, true);
        }
        for (uint32_t a = 0; a < 300; ++a) {
            ASSERT_EQ(filter.IsBlockedHostOrder(a), blocked[a]) << a << " round " << round;
        }
    }
}

TEST(IpFilterLookup, TakesNetworkOrderAndHonoursBothEnds) {
    CIPFilter filter;
    EXPECT_FALSE(filter.IsBlocked(NetworkOrder(Ip(1, 2, 3, 4))));
    filter.LoadFromText(
        "0.0.0.0-0.0.0.0 1\n192.168.1.0-192.168.1.255 1\n"
        "255.255.255.255-255.255.255.255 1\n");
    const std::pair<uint32_t, bool> cases[] = {
        {0, true},
        {Ip(0, 0, 0, 1), false},
        {Ip(192, 168, 0, 255), false},
        {Ip(192, 168, 1, 0), true},
        {Ip(192, 168, 1, 255), true},
        {Ip(192, 168, 2, 0), false},
        {Ip(255, 255, 255, 254), false},
        {0xFFFFFFFF, true},
    };
    for (const auto& [address, blocked] : cases) {
        EXPECT_EQ(filter.IsBlocked(NetworkOrder(address)), blocked) << std::hex << address;
    }
}

TEST(IpFilterText, LinesAreCutAndLimitedTheSameWayInEveryChunking) {
    const std::string at_limit = "9.0.0.0-9.0.0.9 1 " + std::string(492, 'x');  // 510 characters
    const std::string overlong = std::string(600, ' ') + "8.0.0.0-8.0.0.9 1";
    const std::string text = "# blocked\n\n1.0.0.0-1.0.0.9 1\r\n2.0.0.0 - 2.0.0.9 1\n" + at_limit +
                             "\r\n" + at_limit + "x\n" + overlong + "\n1.0.0.5-1.0.0.20 1\n" +
                             "3.0.0.0-3.0.0.9 127\n4.0.0.0-4.0.0.9 5";  // no line end at the end
    const RangeList expected = {{Ip(1, 0, 0, 0), Ip(1, 0, 0, 20)},
                                {Ip(4, 0, 0, 0), Ip(4, 0, 0, 9)},
                                {Ip(9, 0, 0, 0), Ip(9, 0, 0, 9)}};
    for (size_t piece = 1; piece <= text.size(); piece += piece < 70 ? 1 : 500) {
        CIPFilter filter;
        CIPFilterLineReader reader(filter);
        for (size_t at = 0; at < text.size(); at += piece) {
            reader.Feed(std::string_view(text).substr(at, piece));
        }
        EXPECT_EQ(reader.Finish(), 4) << "piece " << piece;  // the merged line counts
        EXPECT_EQ(RangesOf(filter), expected) << "piece " << piece;
    }
}

class IpFilterFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kf_ipfilter_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }

    std::filesystem::path dir_;
};

TEST_F(IpFilterFileTest, LoadsFileAndReportsMissingOne) {
    CIPFilter filter;
    filter.AddRange(5, 6);
    EXPECT_EQ(filter.LoadFromFile((dir_ / "missing.dat").string()), -1);
    EXPECT_EQ(filter.LoadFromFile(dir_.string()), -1);
    EXPECT_EQ(RangesOf(filter), (RangeList{{5, 6}}));

    std::string text;  // larger than one read, so lines cross read boundaries
    for (int i = 0; i < 5000; ++i) {
        const std::string net = std::to_string(10 + i / 256) + "." + std::to_string(i % 256);
        text += net + ".0.0-" + net + ".0.9 1 some description text\n";
    }
    filter.Reset();
    EXPECT_EQ(filter.LoadFromFile(Write("big.dat", text)), 5000);
    EXPECT_EQ(filter.RangeCount(), 5000u);
    EXPECT_TRUE(filter.IsBlockedHostOrder(Ip(29, 135, 0, 9)));  // the last line
    EXPECT_FALSE(filter.IsBlockedHostOrder(Ip(29, 135, 0, 10)));
}

TEST_F(IpFilterFileTest, HolderLoadsOnceUnlessForcedAndHandsOutCopies) {
    CIPFilterHolder holder;
    holder.Load(false);  // no path: stays empty
    EXPECT_TRUE(holder.Copy().Empty());

    const std::string path = Write("filter.dat", "1.0.0.0-1.0.0.9 1\n");
    holder.SetPath(path);
    holder.Load(false);
    Write("filter.dat", "2.0.0.0-2.0.0.9 1\n");
    holder.Load(false);  // already loaded: kept
    EXPECT_EQ(RangesOf(holder.Copy()), (RangeList{{Ip(1, 0, 0, 0), Ip(1, 0, 0, 9)}}));

    holder.Load(true);
    CIPFilter copy;
    copy.AddRange(77, 88);
    holder.CopyTo(copy);  // replaces, does not merge
    EXPECT_EQ(RangesOf(copy), (RangeList{{Ip(2, 0, 0, 0), Ip(2, 0, 0, 9)}}));
    copy.AddRange(1, 2);
    EXPECT_EQ(holder.Copy().RangeCount(), 1u);

    std::filesystem::remove(path);
    holder.Load(true);
    EXPECT_TRUE(holder.Copy().Empty());
}

// What the engine call and the tasks rely on: a file replaces the filter whole or not at all, and
// every replacement (but no refusal and no load that keeps the filter) moves the generation on.
TEST_F(IpFilterFileTest, HolderTakesAFileWholeOrNotAtAllAndCountsChanges) {
    CIPFilterHolder holder;
    const uint64_t start = holder.Generation();
    const std::string first =
        Write("first.dat", "1.0.0.0-1.0.0.9 1\n# note\n3.0.0.0-3.0.0.0 200\n");
    EXPECT_EQ(holder.LoadFile(first), 1);
    EXPECT_EQ(holder.Generation(), start + 1);
    EXPECT_TRUE(holder.IsBlocked(NetworkOrder(Ip(1, 0, 0, 5))));
    EXPECT_FALSE(holder.IsBlocked(NetworkOrder(Ip(3, 0, 0, 0))));

    for (const std::filesystem::path& unreadable : {dir_ / "missing.dat", dir_}) {
        EXPECT_EQ(holder.LoadFile(unreadable.string()), -1) << unreadable;
    }
    EXPECT_EQ(holder.Generation(), start + 1);
    EXPECT_EQ(holder.Path(), first);
    EXPECT_TRUE(holder.IsBlocked(NetworkOrder(Ip(1, 0, 0, 5))));

    EXPECT_EQ(holder.LoadFile(Write("second.dat", "2.0.0.0-2.0.0.9 1\n")), 1);
    CIPFilter copy;
    EXPECT_EQ(holder.CopyTo(copy), start + 2);
    EXPECT_EQ(RangesOf(copy), (RangeList{{Ip(2, 0, 0, 0), Ip(2, 0, 0, 9)}}));
    holder.Load(false);
    EXPECT_EQ(holder.Generation(), start + 2);

    holder.Clear();
    EXPECT_EQ(holder.Generation(), start + 3);
    EXPECT_TRUE(holder.Path().empty());
    holder.Load(false);  // no file: nothing to load, nothing changes
    EXPECT_EQ(holder.Generation(), start + 3);
    EXPECT_FALSE(holder.IsBlocked(NetworkOrder(Ip(2, 0, 0, 5))));
}

}  // namespace
}  // namespace kf
