// LAN discovery without sockets: the 56-byte datagram and the engine-wide announcement list.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/task/LanAnnouncements.h"
#include "engine/task/LanDatagram.h"

namespace {

using kf::LanAnnouncements;
using kf::LanDatagram;
using kf::LanSelf;
using kf::ParseDottedAddress;

LanDatagram::Hash20 Filled(uint8_t fill) {
    LanDatagram::Hash20 bytes;
    bytes.fill(fill);
    return bytes;
}

LanDatagram::Hash20 Numbered(int n) {
    LanDatagram::Hash20 bytes = Filled(0x50);
    bytes[0] = static_cast<uint8_t>(n);
    bytes[1] = static_cast<uint8_t>(n >> 8);
    return bytes;
}

LanDatagram Announce(const char* ip, int32_t port, uint8_t hash, const LanDatagram::Hash20& id,
                     bool reply = false) {
    LanDatagram datagram;
    datagram.ip = ParseDottedAddress(ip);
    datagram.port = port;
    datagram.reply = reply;
    datagram.info_hash = Filled(hash);
    datagram.peer_id = id;
    return datagram;
}

TEST(LanDatagram, EncodesTheFieldsWhereTheyBelong) {
    const LanDatagram reply = Announce("10.1.0.2", 0x1F90, 0xAA, Filled(0xBB), true);
    const LanDatagram::Bytes bytes = reply.Encode();
    const std::array<uint8_t, 16> head = {0, 0, 0, 0, 10, 1, 0, 2, 0x1F, 0x90, 0, 0, 1, 0, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    EXPECT_EQ(bytes[16], 0xAA);
    EXPECT_EQ(bytes[35], 0xAA);
    EXPECT_EQ(bytes[36], 0xBB);
    EXPECT_EQ(bytes[55], 0xBB);

    for (const bool is_reply : {false, true}) {
        for (const int32_t port : {1, 8080, 65535}) {
            const LanDatagram sent = Announce("192.168.7.200", port, 3, Numbered(port), is_reply);
            const std::optional<LanDatagram> back = LanDatagram::Decode(sent.Encode());
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(back->ip, sent.ip);
            EXPECT_EQ(back->port, port);
            EXPECT_EQ(back->reply, is_reply);
            EXPECT_EQ(back->info_hash, sent.info_hash);
            EXPECT_EQ(back->peer_id, sent.peer_id);
        }
    }
}

TEST(LanDatagram, RefusesWhatIsNotAQueryOrAReply) {
    const LanDatagram::Bytes good = Announce("10.0.0.1", 80, 1, Filled(2)).Encode();
    struct Case {
        const char* what;
        size_t length;
        size_t offset;
        uint8_t value;
        bool accepted;
    };
    const Case cases[] = {
        {"whole", 56, 0, 0, true},
        {"one byte short", 55, 0, 0, false},
        {"empty", 0, 0, 0, false},
        {"first word set (low byte)", 56, 0, 1, false},
        {"first word set (high byte)", 56, 3, 0x80, false},
        {"kind 2", 56, 12, 2, false},
        {"kind 1 in big-endian order", 56, 15, 1, false},
        {"the zero field at 10 is not checked", 56, 10, 7, true},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(good.begin(), good.end());
        bytes[c.offset] = c.value == 0 ? bytes[c.offset] : c.value;
        bytes.resize(c.length);
        EXPECT_EQ(LanDatagram::Decode(bytes).has_value(), c.accepted) << c.what;
    }
    // Trailing bytes are no reason to refuse.
    std::vector<uint8_t> longer(good.begin(), good.end());
    longer.push_back(9);
    EXPECT_TRUE(LanDatagram::Decode(longer).has_value());
}

class LanList : public ::testing::Test {
  protected:
    // This engine listens on 10.1.0.2:6881; the task shares torrent 0x11.
    LanSelf Self(const void* task, uint8_t hash = 0x11) const {
        return LanSelf{task, Filled(hash), ParseDottedAddress("10.1.0.2"), 6881};
    }
    LanSelf Self() const { return Self(&tasks_[0]); }

    std::optional<LanDatagram> Arrive(const LanDatagram& datagram, const char* from,
                                      int64_t now = 100, bool take_mine = true) {
        return list_.Receive(datagram.Encode(), ParseDottedAddress(from), Self(), now, take_mine);
    }

    LanAnnouncements list_;
    const int tasks_[3] = {};
};

TEST_F(LanList, SortsWhatArrives) {
    struct Case {
        const char* what;
        const char* announced;
        int32_t port;
        const char* from;
        bool taken;
    };
    const Case cases[] = {
        {"a peer on our network", "10.1.0.3", 6881, "10.1.0.3", true},
        {"our own datagram, looped back", "10.1.0.2", 6881, "10.1.0.2", false},
        {"a second engine on our address", "10.1.0.2", 6882, "10.1.0.2", true},
        {"another sender of our /24", "10.1.0.77", 9000, "10.1.0.3", true},
        {"an address outside the sender's /24", "10.1.1.3", 6881, "10.1.0.3", false},
        {"pointing at a far host", "198.51.100.1", 80, "10.1.0.3", false},
        {"no port", "10.1.0.3", 0, "10.1.0.3", false},
        {"this machine, through loopback", "10.9.9.9", 7000, "127.0.0.1", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::optional<LanDatagram> got =
            Arrive(Announce(c.announced, c.port, 0x11, Numbered(++n)), c.from);
        EXPECT_EQ(got.has_value(), c.taken) << c.what;
    }
    EXPECT_EQ(list_.size(), 0u) << "nothing for another torrent arrived";
}

TEST_F(LanList, KeepsOtherTorrentsForTheOtherTasksOnce) {
    EXPECT_FALSE(Arrive(Announce("10.1.0.3", 1, 0x22, Filled(1)), "10.1.0.3"));
    EXPECT_FALSE(Arrive(Announce("10.1.0.3", 1, 0x22, Filled(1), true), "10.1.0.3"));
    EXPECT_EQ(list_.size(), 1u) << "one entry per peer id";
    // With take_mine off a datagram for our own torrent waits in the list for our next look.
    EXPECT_FALSE(Arrive(Announce("10.1.0.4", 1, 0x11, Filled(2)), "10.1.0.4", 100, false));
    EXPECT_EQ(list_.size(), 2u);

    const std::vector<LanDatagram> mine = list_.Look(Self(&tasks_[0], 0x11), 100, 2, 8);
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].peer_id, Filled(2));
    const std::vector<LanDatagram> theirs = list_.Look(Self(&tasks_[1], 0x22), 100, 2, 8);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(list_.size(), 0u);
}

TEST_F(LanList, ForgetsWhatEveryTaskSawAndWhatIsTooOld) {
    Arrive(Announce("10.1.0.3", 1, 0x33, Filled(1)), "10.1.0.3", 100);
    Arrive(Announce("10.1.0.4", 1, 0x33, Filled(2)), "10.1.0.4", 100 + 20);
    // Two tasks take part: each looks once, a repeated look changes nothing.
    for (const int* task : {&tasks_[0], &tasks_[0], &tasks_[1]}) {
        EXPECT_TRUE(list_.Look(Self(task), 125, 2, 8).empty());
        EXPECT_EQ(list_.size(), 2u);
    }
    // A third looker finds them seen by as many tasks as take part.
    list_.Look(Self(&tasks_[2]), 125, 2, 8);
    EXPECT_EQ(list_.size(), 0u);

    Arrive(Announce("10.1.0.3", 1, 0x11, Filled(1)), "10.1.0.3", 100, false);
    EXPECT_EQ(list_.Look(Self(), 100 + LanAnnouncements::kLifeSeconds, 2, 8).size(), 1u);
    Arrive(Announce("10.1.0.3", 1, 0x11, Filled(1)), "10.1.0.3", 100, false);
    EXPECT_TRUE(list_.Look(Self(), 101 + LanAnnouncements::kLifeSeconds, 2, 8).empty());
    EXPECT_EQ(list_.size(), 0u);
}

TEST_F(LanList, HandsOutAtMostTheLimitAndKeepsTheRest) {
    for (int i = 0; i < 20; ++i) {
        Arrive(Announce("10.1.0.3", 1000 + i, 0x11, Numbered(i)), "10.1.0.3", 100, false);
    }
    size_t total = 0;
    for (const size_t expected : {8u, 8u, 4u, 0u}) {
        const size_t got = list_.Look(Self(), 100, 1, 8).size();
        EXPECT_EQ(got, expected);
        total += got;
    }
    EXPECT_EQ(total, 20u);
}

TEST_F(LanList, HoldsAtMostItsBoundAndDropsTheOldestFirst) {
    const int kSent = static_cast<int>(LanAnnouncements::kMaxEntries) + 44;
    for (int i = 0; i < kSent; ++i) {
        Arrive(Announce("10.1.0.3", 1, 0x44, Numbered(i)), "10.1.0.3", 100);
        ASSERT_LE(list_.size(), LanAnnouncements::kMaxEntries);
    }
    const std::vector<LanDatagram> all = list_.Look(Self(&tasks_[0], 0x44), 100, 1, 1000);
    ASSERT_EQ(all.size(), LanAnnouncements::kMaxEntries);
    EXPECT_EQ(all.front().peer_id, Numbered(44));
    EXPECT_EQ(all.back().peer_id, Numbered(kSent - 1));
}

}  // namespace
