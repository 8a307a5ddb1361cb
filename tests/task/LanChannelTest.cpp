// LAN discovery through real multicast sockets, pinned to loopback: two engines of one machine
// (here two channels of one process) find each other, and a flood is answered with bounds.
#include <gtest/gtest.h>

#include <poll.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QMulticastSocket.h"
#include "engine/task/LanChannel.h"

namespace {

using kf::LanChannel;
using kf::LanDatagram;
using kf::LanSelf;
using kf::ParseDottedAddress;

const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
const uint32_t kGroup = kf::ToNetworkOrder(LanDatagram::kGroupHostOrder);

// Tests of other programs may use the group at the same time: every torrent here is random.
LanDatagram::Hash20 RandomHash() {
    static std::mt19937 random(std::random_device{}());
    LanDatagram::Hash20 hash;
    for (uint8_t& byte : hash) {
        byte = static_cast<uint8_t>(random());
    }
    return hash;
}

// Waits (bounded) until `socket` has a datagram to read. Loopback delivers during the send, so
// what a step sent is there already when it returns.
bool WaitReadable(const kf::QMulticastSocket& socket) {
    pollfd wait{socket.Handle(), POLLIN, 0};
    return poll(&wait, 1, 200) == 1;
}

class LanChannelPair : public ::testing::Test {
  protected:
    void SetUp() override {
        a_.Keep(true, kLoopback);
        b_.Keep(true, kLoopback);
        ASSERT_TRUE(a_.IsOpen() && b_.IsOpen()) << "multicast on 127.0.0.1 refused";
        ASSERT_TRUE(listener_.Open(kGroup, LanDatagram::kPort, kLoopback));
    }

    // Every datagram that the listener sees from `self` within the wait, as replies and queries.
    std::pair<int, int> CountFrom(const LanSelf& self) {
        int replies = 0;
        int queries = 0;
        std::array<uint8_t, 64> buffer{};
        for (int i = 0; i < 1000 && WaitReadable(listener_); ++i) {
            uint32_t from_ip = 0;
            int32_t from_port = 0;
            const int32_t length = listener_.Receive(buffer, from_ip, from_port);
            const auto datagram = LanDatagram::Decode(std::span(buffer.data(), length));
            if (datagram && datagram->info_hash == self.info_hash &&
                datagram->ip == self.listen_ip && datagram->port == self.listen_port) {
                ++(datagram->reply ? replies : queries);
            }
        }
        return {replies, queries};
    }

    const LanDatagram::Hash20 hash_ = RandomHash();
    const LanSelf self_a_{&a_, hash_, ParseDottedAddress("127.0.0.2"), 7001};
    const LanSelf self_b_{&b_, hash_, ParseDottedAddress("127.0.0.3"), 7002};
    const LanDatagram::Hash20 id_a_ = RandomHash();
    const LanDatagram::Hash20 id_b_ = RandomHash();
    LanChannel a_;
    LanChannel b_;
    kf::QMulticastSocket listener_;
    bool sent_a_ = false;
    bool sent_b_ = false;
};

TEST_F(LanChannelPair, TwoEnginesOfOneMachineFindEachOther) {
    EXPECT_TRUE(a_.Step(self_a_, id_a_, sent_a_, 100, 1).empty());
    EXPECT_TRUE(sent_a_);
    EXPECT_TRUE(b_.Step(self_b_, id_b_, sent_b_, 100, 1).empty());
    EXPECT_EQ(CountFrom(self_a_), std::make_pair(0, 2)) << "the query goes out twice";

    // B reads A's query (and its own two, which it ignores) and answers once.
    const std::vector<LanDatagram> found_by_b = b_.Step(self_b_, id_b_, sent_b_, 101, 1);
    ASSERT_EQ(found_by_b.size(), 1u);
    EXPECT_EQ(found_by_b[0].ip, self_a_.listen_ip);
    EXPECT_EQ(found_by_b[0].port, self_a_.listen_port);
    EXPECT_EQ(found_by_b[0].peer_id, id_a_);
    EXPECT_EQ(CountFrom(self_b_), std::make_pair(1, 0));

    // A reads B's query and reply: one peer, which asked, so A answers as well.
    const std::vector<LanDatagram> found_by_a = a_.Step(self_a_, id_a_, sent_a_, 101, 1);
    ASSERT_EQ(found_by_a.size(), 1u);
    EXPECT_EQ(found_by_a[0].peer_id, id_b_);
    EXPECT_FALSE(found_by_a[0].reply);
    EXPECT_EQ(CountFrom(self_a_), std::make_pair(1, 0));
}

TEST_F(LanChannelPair, AFloodIsHandedOutEightAtATimeWithOneReply) {
    a_.Step(self_a_, id_a_, sent_a_, 100, 1);
    CountFrom(self_a_);
    kf::QMulticastSocket flooder;
    ASSERT_TRUE(flooder.Open(kGroup, LanDatagram::kPort, kLoopback));
    constexpr int kPeers = 20;
    for (int i = 0; i < kPeers; ++i) {
        LanDatagram query;
        query.ip = kf::ToNetworkOrder(0x7F000032u + static_cast<uint32_t>(i));  // 127.0.0.50 on
        query.port = 6000 + i;
        query.info_hash = hash_;
        query.peer_id = RandomHash();
        ASSERT_TRUE(flooder.Send(query.Encode()));
    }
    size_t total = 0;
    for (const size_t expected : {8u, 8u, 4u}) {
        const size_t found = a_.Step(self_a_, id_a_, sent_a_, 101, 1).size();
        EXPECT_EQ(found, expected);
        total += found;
        EXPECT_EQ(CountFrom(self_a_), std::make_pair(1, 0)) << "one reply per step";
    }
    EXPECT_EQ(total, static_cast<size_t>(kPeers));
}

}  // namespace
