#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "engine/task/BtIdentity.h"
#include "engine/task/HalfOpenRoom.h"

namespace {

using kf::BtIdentity;

TEST(BtIdentity, PeerIdCarriesTagDigestAndEndpointIdentity) {
    BtIdentity::MachineId machine;
    for (size_t i = 0; i < machine.size(); ++i) {
        machine[i] = static_cast<uint8_t>(0xA0 + i);
    }
    // MD5("abc") = 900150983cd24fb0d6963f7d28e17f72: its first four bytes stay at 4..7.
    const BtIdentity::Bytes20 id = BtIdentity::MakePeerId("abc", machine);
    // Bytes 8..19: the machine's 8 id bytes, "UDP" and 0x30, as the UDP endpoint names itself.
    const BtIdentity::Bytes20 expected = {0x00, 0x01, 0x4B, 0x66, 0x90, 0x01, 0x50,
                                          0x98, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                          0xA6, 0xA7, 'U',  'D',  'P',  0x30};
    EXPECT_EQ(id, expected);
    EXPECT_NE(BtIdentity::MakePeerId("abd", machine), id);

    BtIdentity identity;
    EXPECT_FALSE(identity.prepared());
    BtIdentity::Bytes20 hash;
    hash.fill(7);
    identity.Prepare(hash, "abc", "abc", machine);
    EXPECT_TRUE(identity.prepared());
    EXPECT_EQ(identity.info_hash(), hash);
    EXPECT_EQ(identity.peer_id(), id);
    // Announces carry the whole digest.
    const BtIdentity::Bytes20 announce = {0x00, 0x01, 0x4B, 0x66, 0x90, 0x01, 0x50,
                                          0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96,
                                          0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(identity.announce_peer_id(), announce);
    identity.Clear();
    EXPECT_FALSE(identity.prepared());
    EXPECT_EQ(identity.peer_id(), BtIdentity::Bytes20{});

    // Zero id bytes are substituted exactly as in the endpoint identity (first 0 -> 1, second
    // 0 -> 2), so the node id a peer reads at 8..15 is the one the endpoint answers to.
    BtIdentity::MachineId zeros{};
    const BtIdentity::Bytes20 zero_id = BtIdentity::MakePeerId("abc", zeros);
    const std::array<uint8_t, 12> tail = {1, 2, 0, 0, 0, 0, 0, 0, 'U', 'D', 'P', 0x30};
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), zero_id.begin() + 8));
}

TEST(HalfOpenRoom, FollowsTheHalfOpenCapAndThePeerLimit) {
    // Plenty of room: the base of 16.
    EXPECT_EQ(kf::HalfOpenRoom(32, 52, 0, 0, true), 16);
    // An unreachable engine with a big peer limit tries 32 at once.
    EXPECT_EQ(kf::HalfOpenRoom(32, 120, 0, 0, false), 32);
    EXPECT_EQ(kf::HalfOpenRoom(32, 120, 0, 0, true), 16);
    // Close to the peer limit only the rest of it.
    EXPECT_EQ(kf::HalfOpenRoom(32, 52, 45, 0, true), 7);
    // Many connecting already: stay below the cap of min(2 × 8, 52) = 16.
    EXPECT_EQ(kf::HalfOpenRoom(8, 52, 10, 10, true), 5);
    EXPECT_EQ(kf::HalfOpenRoom(8, 52, 20, 20, true), 0);
    // Over the peer limit never goes negative.
    EXPECT_EQ(kf::HalfOpenRoom(32, 52, 60, 0, true), 0);
}

}  // namespace
