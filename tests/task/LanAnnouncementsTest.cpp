// LAN discovery without sockets: the 56-byte datagram and the engine-wide announcement list.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/task/LanAnnouncements.h"

namespace {

using kf::LanAnnouncements;
using kf::LanDatagram;
using kf::ParseDottedAddress;

LanDatagram::Hash20 Id(int n, uint8_t fill = 0x50) {
    LanDatagram::Hash20 bytes;
    bytes.fill(fill);
    bytes[0] = static_cast<uint8_t>(n);
    bytes[1] = static_cast<uint8_t>(n >> 8);
    return bytes;
}

LanDatagram Announce(const char* ip, int32_t port, uint8_t hash, int id, bool reply = false) {
    return LanDatagram{ParseDottedAddress(ip), port, reply, Id(0, hash), Id(id)};
}

TEST(LanDatagram, EncodesTheFieldsWhereTheyBelongAndBack) {
    const LanDatagram reply = Announce("10.1.0.2", 0x1F90, 0xAA, 7, true);
    const LanDatagram::Bytes bytes = reply.Encode();
    const std::array<uint8_t, 17> head = {0, 0, 0, 0, 10, 1, 0, 2, 0x1F, 0x90, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    EXPECT_EQ(bytes[36], 7);
    const std::optional<LanDatagram> back = LanDatagram::Decode(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->ip, reply.ip);
    EXPECT_EQ(back->port, reply.port);
    EXPECT_TRUE(back->reply);
    EXPECT_EQ(back->info_hash, reply.info_hash);
    EXPECT_EQ(back->peer_id, reply.peer_id);

    struct Case {
        const char* what;
        size_t length;
        size_t offset;
        uint8_t value;
        bool accepted;
    };
    const Case cases[] = {
        {"a byte longer", 57, 0, 0, true},
        {"one byte short", 55, 0, 0, false},
        {"first word set", 56, 3, 0x80, false},
        {"kind 2", 56, 12, 2, false},
        {"kind 1 in big-endian order", 56, 15, 1, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> changed(bytes.begin(), bytes.end());
        changed.resize(c.length);
        if (c.value != 0) {
            changed[12] = 0;
            changed[c.offset] = c.value;
        }
        EXPECT_EQ(LanDatagram::Decode(changed).has_value(), c.accepted) << c.what;
    }
}

class LanList : public ::testing::Test {
  protected:
    // This engine listens on 10.1.0.2:6881; `task` shares torrent 0x11 unless told otherwise.
    kf::LanSelf Self(int task = 0, uint8_t hash = 0x11) const {
        return {&tasks_[task], Id(0, hash), ParseDottedAddress("10.1.0.2"), 6881};
    }
    bool Arrive(const LanDatagram& datagram, const char* from, int64_t now = 100,
                bool take_mine = true) {
        return list_.Receive(datagram.Encode(), ParseDottedAddress(from), Self(), now, take_mine)
            .has_value();
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
        {"no port", "10.1.0.3", 0, "10.1.0.3", false},
        {"this machine, through loopback", "10.9.9.9", 7000, "127.0.0.1", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(Arrive(Announce(c.announced, c.port, 0x11, ++n), c.from), c.taken) << c.what;
    }
    EXPECT_EQ(list_.size(), 0u) << "nothing for another torrent arrived";
}

TEST_F(LanList, KeepsAnnouncementsForTheOtherTasksUntilAllSawThemOrTheyAreOld) {
    EXPECT_FALSE(Arrive(Announce("10.1.0.3", 1, 0x22, 1), "10.1.0.3", 100));
    EXPECT_FALSE(Arrive(Announce("10.1.0.3", 1, 0x22, 1, true), "10.1.0.3", 100));
    EXPECT_EQ(list_.size(), 1u) << "one entry per peer id";
    Arrive(Announce("10.1.0.4", 1, 0x33, 2), "10.1.0.4", 120);
    // Two tasks take part: each looks once, a repeated look changes nothing; a third looker
    // finds them seen by as many tasks as take part.
    for (const int task : {0, 0, 1}) {
        EXPECT_TRUE(list_.Look(Self(task), 125, 2, 8).empty());
        EXPECT_EQ(list_.size(), 2u);
    }
    EXPECT_EQ(list_.Look(Self(2, 0x22), 125, 2, 8).size(), 1u);
    EXPECT_EQ(list_.size(), 0u);

    // One for our torrent that was not taken at once waits for our look, 30 seconds at most.
    Arrive(Announce("10.1.0.3", 1, 0x11, 3), "10.1.0.3", 100, false);
    EXPECT_EQ(list_.Look(Self(), 100 + LanAnnouncements::kLifeSeconds, 2, 8).size(), 1u);
    Arrive(Announce("10.1.0.3", 1, 0x11, 3), "10.1.0.3", 100, false);
    EXPECT_TRUE(list_.Look(Self(), 101 + LanAnnouncements::kLifeSeconds, 2, 8).empty());
    EXPECT_EQ(list_.size(), 0u);
}

TEST_F(LanList, HoldsAtMostItsBoundAndDropsTheOldestFirst) {
    const int kSent = static_cast<int>(LanAnnouncements::kMaxEntries) + 44;
    for (int i = 0; i < kSent; ++i) {
        Arrive(Announce("10.1.0.3", 1, 0x44, i), "10.1.0.3");
        ASSERT_LE(list_.size(), LanAnnouncements::kMaxEntries);
    }
    const std::vector<LanDatagram> all = list_.Look(Self(0, 0x44), 100, 1, 1000);
    ASSERT_EQ(all.size(), LanAnnouncements::kMaxEntries);
    EXPECT_EQ(all.front().peer_id, Id(44));
    EXPECT_EQ(all.back().peer_id, Id(kSent - 1));
}

}  // namespace
