// The routing table's buckets, splits, replacements and closest-node searches, the node file, and
// the id arithmetic underneath.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/dht/DhtRoutingTable.h"

namespace kf {
namespace {

NodeId IdWithTop(uint8_t top, uint8_t low = 1) {
    NodeId id{};
    id[0] = top;
    id[19] = low;
    return id;
}

DhtNode Node(const NodeId& id, uint32_t ip = 0x0100000a, uint16_t port = 6881) {
    DhtNode node;
    node.id = id;
    node.ip = ip;
    node.port = port;
    return node;
}

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(NodeIds, ArithmeticHoldsForRandomIds) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        NodeId a;
        NodeId b;
        for (size_t i = 0; i < a.size(); ++i) {
            a[i] = static_cast<uint8_t>(random());
            b[i] = static_cast<uint8_t>(random());
        }
        EXPECT_EQ(SubtractIds(AddIds(a, b), b), a);
        EXPECT_EQ(AddIds(HalveId(a), HalveId(a)),
                  (a[19] & 1) ? SubtractIds(a, IdFromNumber(1)) : a);
        EXPECT_FALSE(CloserTo(a, a, a));
        EXPECT_TRUE(CloserTo(a, a, b) || a == b);
    }
}

TEST(RoutingTable, TheFirstSplitHalvesTheWholeRange) {
    DhtRoutingTable table(IdWithTop(0x01));
    for (int i = 0; i < 11; ++i) {
        table.InsertNode(Node(IdWithTop(static_cast<uint8_t>(0x10 * i + 2)), 0x0100000a + i), true,
                         false, 1);
    }
    const auto ranges = table.BucketRanges();
    ASSERT_EQ(ranges.size(), 2u);
    NodeId half{};
    half[0] = 0x80;
    EXPECT_EQ(ranges[0].start, NodeId{});
    EXPECT_EQ(ranges[0].end, half) << "(0, 2^159] and (2^159, 2^160 - 1]";
    EXPECT_EQ(AddIds(ranges.back().end, IdFromNumber(1)), NodeId{}) << "ends at 2^160 - 1";
    // Walking the buckets, each starts where the previous one ended.
    for (size_t i = 1; i < ranges.size(); ++i) {
        EXPECT_EQ(ranges[i].start, ranges[i - 1].end);
    }
    EXPECT_EQ(table.NodeCount(), 11u);
}

TEST(RoutingTable, KeepsNeitherItselfNorInvalidNodes) {
    DhtRoutingTable table(IdWithTop(0x42));
    EXPECT_FALSE(table.InsertNode(Node(IdWithTop(0x42)), true, false, 1));
    table.InsertNode(Node(IdWithTop(0x43), 0), true, false, 1);
    table.InsertNode(Node(IdWithTop(0x44), 1, 0), true, false, 1);
    table.InsertNode(Node(NodeId{}), true, false, 1);
    EXPECT_EQ(table.NodeCount(), 0u);
}

TEST(RoutingTable, FullBucketsSplitTowardsTheOwnIdAndReplaceStaleOrIdleNodes) {
    // Own id at the bottom: far buckets (high ids) fill first and are split while there are at
    // most three buckets.
    DhtRoutingTable table(IdWithTop(0x00, 5));
    uint32_t ip = 0x0100000a;
    const auto add = [&](uint8_t top, uint8_t low, int64_t now, bool seen = true) {
        return table.InsertNode(Node(IdWithTop(top, low), ip += 0x01000000), seen, false, now);
    };
    for (uint8_t i = 0; i < 40; ++i) {
        add(static_cast<uint8_t>(0x80 + i), 1, 1);
    }
    const size_t buckets = table.BucketRanges().size();
    EXPECT_GE(buckets, 4u);
    const size_t kept = table.NodeCount();
    // Full far bucket, nothing stale or idle: the newcomer is dropped.
    EXPECT_FALSE(add(0x81, 9, 2));
    EXPECT_EQ(table.NodeCount(), kept);
    // An idle node (seen over 600 s ago) is handed out for a ping instead.
    const auto ping = add(0x82, 9, 700);
    ASSERT_TRUE(ping);
    EXPECT_EQ(table.NodeCount(), kept);
    // Three failures make it stale: it is no longer found by good-only searches and the next
    // newcomer replaces it at once.
    EXPECT_EQ(table.RecordFailure(*ping), 1);
    EXPECT_EQ(table.RecordFailure(*ping), 2);
    EXPECT_EQ(table.RecordFailure(*ping), 3);
    EXPECT_EQ(table.GoodNodeCount(), kept - 1);
    std::vector<DhtNode> good;
    table.FindClosest(ping->id, good, false);
    for (const DhtNode& node : good) {
        EXPECT_FALSE(node.SameAs(*ping));
    }
    EXPECT_FALSE(add(0x83, 9, 701));
    EXPECT_EQ(table.GoodNodeCount(), kept);
    EXPECT_EQ(table.RecordFailure(*ping), 3) << "gone from the table";
    // Nodes near the own id still split its bucket.
    for (uint8_t i = 0; i < 30; ++i) {
        add(0x00, static_cast<uint8_t>(0x10 + i), 702);
    }
    EXPECT_GT(table.BucketRanges().size(), buckets);
}

TEST(RoutingTable, FindClosestAnswersUpToTenByDistance) {
    DhtRoutingTable table(IdWithTop(0x00, 5));
    for (uint8_t i = 0; i < 60; ++i) {
        table.InsertNode(Node(IdWithTop(static_cast<uint8_t>(i * 4 + 1)), 0x0100000a + i), true,
                         false, 1);
    }
    const NodeId target = IdWithTop(0x81);
    std::vector<DhtNode> closest;
    ASSERT_TRUE(table.FindClosest(target, closest, false));
    ASSERT_EQ(closest.size(), 10u);
    for (size_t i = 1; i < closest.size(); ++i) {
        EXPECT_FALSE(CloserTo(target, closest[i].id, closest[i - 1].id));
    }
    // A second search appends only nodes not yet listed.
    table.FindClosest(target, closest, true);
    EXPECT_EQ(closest.size(), 10u);
}

TEST(RoutingTable, NodeFileRoundTripsAndRefusesWhatIsNotOne) {
    DhtRoutingTable table(IdWithTop(0x42));
    for (uint8_t i = 1; i <= 5; ++i) {
        table.InsertNode(Node(IdWithTop(static_cast<uint8_t>(0x10 * i)), 0x0100000a + i), true,
                         false, 1);
    }
    const std::string body = table.SaveTable();
    DhtRoutingTable loaded(IdWithTop(0x99));
    ASSERT_TRUE(loaded.LoadTable(Bytes(body), 2));
    EXPECT_EQ(loaded.OwnId(), IdWithTop(0x42));
    EXPECT_EQ(loaded.SaveTable(), body);

    const std::string id(20, 'I');
    DhtRoutingTable other(IdWithTop(0x01));
    EXPECT_FALSE(other.LoadTable(Bytes("d2:id19:" + id.substr(1) + "e"), 1));
    EXPECT_FALSE(other.LoadTable(Bytes("garbage"), 1));
    EXPECT_FALSE(other.LoadTable({}, 1));
    std::string records;
    Node(IdWithTop(0x10)).AppendCompact(records);
    Node(IdWithTop(0x20)).AppendCompact(records);
    records.append("x");  // a partial third record is ignored
    ASSERT_TRUE(other.LoadTable(Bytes("d2:id20:" + id + "5:table53:" + records + "e"), 1));
    EXPECT_EQ(other.NodeCount(), 2u);
}

TEST(RoutingTable, ReceivedTokensExpireAndStayBounded) {
    DhtRoutingTable table(IdWithTop(0x01));
    for (uint32_t i = 0; i < DhtRoutingTable::kMaxReceivedTokens + 100; ++i) {
        table.StoreReceivedToken(Node(IdWithTop(0x20), i + 1), "tok", i);
    }
    EXPECT_FALSE(table.ReceivedToken(Node(IdWithTop(0x20), 1), 200)) << "the oldest went first";
    const DhtNode last = Node(IdWithTop(0x20), DhtRoutingTable::kMaxReceivedTokens + 100);
    EXPECT_EQ(table.ReceivedToken(last, 4195), "tok");
    EXPECT_FALSE(table.ReceivedToken(last, 4195 + 301));
}

}  // namespace
}  // namespace kf
