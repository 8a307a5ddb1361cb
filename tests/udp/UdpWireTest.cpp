#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/udp/UdpWire.h"

namespace {

using kf::UdpWire;
using Bytes = std::vector<uint8_t>;

template <class Array>
Bytes ToBytes(const Array& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

const UdpWire::NodeId kOwn = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const UdpWire::NodeId kOther = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};

TEST(UdpWire, IdentityTakesTheMachineIdWithItsZeroSubstitutions) {
    struct Case {
        UdpWire::MachineId machine;
        UdpWire::NodeId id;
    };
    const Case cases[] = {
        {{0, 0, 3, 4, 5, 6, 7, 8, 9}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {{0, 9, 0, 0, 5, 6, 7, 8}, {1, 9, 0, 0, 5, 6, 7, 8}},
        {{7, 0, 3, 4, 5, 6, 7, 0, 0xFF}, {7, 2, 3, 4, 5, 6, 7, 0}},
        {{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7},
         {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UdpWire::NodeIdOf(c.machine), c.id);
        const UdpWire::Identity identity = UdpWire::IdentityOf(c.id);
        EXPECT_EQ(UdpWire::IdOfIdentity(identity), c.id);
        EXPECT_EQ(std::string(identity.begin() + 8, identity.begin() + 11), "UDP");
        EXPECT_EQ(identity[11], 0x30);
    }
}

TEST(UdpWire, RendezvousDatagramsByteForByte) {
    const uint32_t local = kf::ParseDottedAddress("192.168.1.20");
    UdpWire::Registration registration{UdpWire::IdentityOf(kOwn), 7, local, 16881};
    Bytes expected(64, 0);
    expected[15] = 2;
    std::memcpy(expected.data() + 16, UdpWire::IdentityOf(kOwn).data(), 12);
    expected[31] = 7;
    expected[32] = 192;
    expected[33] = 168;
    expected[34] = 1;
    expected[35] = 20;
    expected[38] = 16881 >> 8;
    expected[39] = 16881 & 0xFF;
    const Bytes built = ToBytes(UdpWire::BuildRegistration(registration));
    EXPECT_EQ(built, expected);
    const auto parsed = UdpWire::ParseRegistration(built);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->identity, registration.identity);
    EXPECT_EQ(parsed->sequence, 7u);
    EXPECT_EQ(parsed->local_ip, local);
    EXPECT_EQ(parsed->local_port, 16881u);

    EXPECT_EQ(ToBytes(UdpWire::BuildKeepAlive()), Bytes(8, 0));

    // The answer: the observed address's four bytes, then the observed port big-endian.
    const Bytes answer = {203, 0, 113, 5, 0, 0, 0x1F, 0x90};
    EXPECT_EQ(
        ToBytes(UdpWire::BuildRegistrationAnswer({kf::ParseDottedAddress("203.0.113.5"), 8080})),
        answer);
    const auto parsed_answer = UdpWire::ParseRegistrationAnswer(answer);
    ASSERT_TRUE(parsed_answer);
    EXPECT_EQ(kf::DottedText(parsed_answer->external_ip), "203.0.113.5");
    EXPECT_EQ(parsed_answer->second, 8080u);

    const Bytes relay = ToBytes(UdpWire::BuildRelay({UdpWire::IdentityOf(kOther), 0x0100007F, 9}));
    ASSERT_EQ(relay.size(), 32u);
    EXPECT_EQ(Bytes(relay.begin(), relay.begin() + 4), Bytes(4, 0x33));
    EXPECT_EQ(Bytes(relay.begin() + 20, relay.begin() + 24), (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(relay[27], 9);
    const Bytes punch = ToBytes(
        UdpWire::BuildPunch({UdpWire::IdentityOf(kOwn), 0x1234, UdpWire::IdentityOf(kOther)}));
    EXPECT_EQ(Bytes(punch.begin(), punch.begin() + 20), Bytes(20, 0));
    EXPECT_EQ(punch[32], 0x12);
    EXPECT_EQ(punch[33], 0x34);
    EXPECT_EQ(UdpWire::ParsePunch(punch)->sender, UdpWire::IdentityOf(kOther));
}

TEST(UdpWire, ConnectRequestsAndAnswersCarryAsManyEntriesAsTheirLengthHolds) {
    UdpWire::ConnectRequest request;
    request.identity = UdpWire::IdentityOf(kOwn);
    request.sequence = 3;
    for (uint8_t i = 0; i < 15; ++i) {
        request.entries.push_back({0x0100007Fu + i, 99, {0, 0, 127, 0, 0, i, 0x1F, 0x90}});
    }
    const Bytes built = UdpWire::BuildConnectRequest(request);
    ASSERT_EQ(built.size(), 48u + 16u * 13u);  // 13 entries at most
    const auto parsed = UdpWire::ParseConnectRequest(built);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->entries.size(), 13u);
    EXPECT_EQ(parsed->entries[12].id, request.entries[12].id);
    EXPECT_EQ(parsed->entries[0].port, 0u);  // a request names no port
    EXPECT_EQ(built[43], 1);

    // One entry fits the 64-byte minimum.
    request.entries.resize(1);
    EXPECT_EQ(UdpWire::BuildConnectRequest(request).size(), 64u);

    struct Bad {
        const char* why;
        size_t length;
        uint32_t count;
    };
    const Bad bad[] = {{"count beyond length", 64, 2},
                       {"count beyond 13", 48 + 16 * 14, 14},
                       {"too short", 60, 0}};
    for (const Bad& b : bad) {
        Bytes datagram(b.length, 0);
        datagram[15] = 3;
        datagram[47] = static_cast<uint8_t>(b.count);
        EXPECT_FALSE(UdpWire::ParseConnectRequest(datagram)) << b.why;
    }

    UdpWire::ConnectAnswer answer{UdpWire::IdentityOf(kOwn), 3, {{1, 0xFFFFFFFFu, kOther}}};
    const Bytes answer_bytes = UdpWire::BuildConnectAnswer(answer);
    EXPECT_EQ(answer_bytes[12], 0x80);
    EXPECT_EQ(answer_bytes[15], 0x03);
    const auto parsed_answer = UdpWire::ParseConnectAnswer(answer_bytes);
    ASSERT_TRUE(parsed_answer);
    EXPECT_EQ(parsed_answer->entries.at(0).port, UdpWire::kUnknownPort);
}

// A session packet addressed to `id` with a right length field and checksum.
Bytes SessionPacket(const UdpWire::NodeId& id, uint32_t handle, size_t length) {
    Bytes packet(length, 0x5A);
    const auto store = [&packet](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            packet[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
        }
    };
    store(0, static_cast<uint32_t>(length));
    store(8, handle);
    store(16, 2);
    std::copy(id.begin(), id.end(), packet.begin() + 20);
    store(4, UdpWire::SessionChecksum(packet, handle));
    return packet;
}

TEST(UdpWire, ClassificationRoutesEachDatagramOnlyFromWhoMaySendIt) {
    using Kind = UdpWire::Kind;
    Bytes dht9(9, 'x');
    dht9[0] = 'd';
    Bytes d8(8, 0);
    d8[0] = 'd';
    const Bytes relay = ToBytes(UdpWire::BuildRelay({UdpWire::IdentityOf(kOther), 1, 2}));
    const Bytes punch_own =
        ToBytes(UdpWire::BuildPunch({UdpWire::IdentityOf(kOwn), 5, UdpWire::IdentityOf(kOther)}));
    const Bytes punch_other =
        ToBytes(UdpWire::BuildPunch({UdpWire::IdentityOf(kOther), 5, UdpWire::IdentityOf(kOwn)}));
    const Bytes answer_own = UdpWire::BuildConnectAnswer({UdpWire::IdentityOf(kOwn), 1, {}});
    const Bytes answer_other = UdpWire::BuildConnectAnswer({UdpWire::IdentityOf(kOther), 1, {}});
    const Bytes session = SessionPacket(kOwn, 77, 100);
    Bytes bad_sum = session;
    bad_sum[99] ^= 1;
    Bytes bad_length = session;
    bad_length.push_back(0);
    const Bytes other_session = SessionPacket(kOther, 77, 100);
    const Bytes zero_handle = SessionPacket(kOwn, 0, 100);

    struct Case {
        const char* what;
        Bytes datagram;
        bool from_server;
        Kind kind;
    };
    const Case cases[] = {
        {"9 bytes starting with d", dht9, false, Kind::kDht},
        {"8 bytes starting with d, from the server", d8, true, Kind::kRegistrationAnswer},
        {"8 bytes from a stranger", d8, false, Kind::kIgnored},
        {"relay from the server", relay, true, Kind::kRelay},
        {"relay from a stranger", relay, false, Kind::kIgnored},
        {"punch for us", punch_own, false, Kind::kPunch},
        {"punch for another engine", punch_other, false, Kind::kIgnored},
        {"connect answer from the server", answer_own, true, Kind::kConnectAnswer},
        {"connect answer from a stranger", answer_own, false, Kind::kIgnored},
        {"connect answer for another engine", answer_other, true, Kind::kIgnored},
        {"session packet", session, false, Kind::kSession},
        {"session packet, wrong checksum", bad_sum, false, Kind::kIgnored},
        {"session packet, wrong length field", bad_length, false, Kind::kIgnored},
        {"session packet for another engine", other_session, false, Kind::kIgnored},
        {"session packet with handle 0", zero_handle, false, Kind::kIgnored},
        {"31 bytes", Bytes(31, 1), true, Kind::kIgnored},
        {"empty", Bytes(), true, Kind::kIgnored},
        {"longer than 8192", Bytes(8193, 'd'), false, Kind::kIgnored},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UdpWire::Classify(c.datagram, c.from_server, kOwn), c.kind) << c.what;
    }
}

}  // namespace
