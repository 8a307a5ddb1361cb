#include <gtest/gtest.h>

#include <vector>

#include "engine/os/ByteOrder.h"
#include "engine/udp/TunnelPacket.h"
#include "engine/udp/TunnelSession.h"

namespace {

using kf::TunnelPacket;
using kf::TunnelSession;
using kf::UdpWire;
using Bytes = std::vector<uint8_t>;

const UdpWire::NodeId kOwn = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const UdpWire::NodeId kPeer = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};

TunnelPacket::Header HeaderTo(uint32_t type) {
    return {0x01020304, 77, type, UdpWire::IdentityOf(kOwn)};
}

uint32_t At(const Bytes& bytes, size_t offset) {
    return kf::LoadBe32(bytes.data() + offset);
}

TEST(TunnelPacket, EveryTypePassesTheHeaderCheckAndPutsItsFieldsWhereThePeerReadsThem) {
    const UdpWire::Identity connector = UdpWire::IdentityOf(kPeer);
    struct Case {
        uint32_t type;
        TunnelPacket::Body body;
        std::vector<std::pair<size_t, uint32_t>> words;
    };
    TunnelPacket::WindowAck ack{5, 9, {1, 0, 1}};
    const Case cases[] = {
        {TunnelPacket::kSyn,
         TunnelPacket::SynBody({4000, connector, 6881, 0xABCDEF}),
         {{32, 4000}, {48, 6881}, {60, 0xABCDEF}}},
        {TunnelPacket::kSynAck,
         TunnelPacket::SynAckBody({4000, connector, 6881, 42, 0x1234}),
         {{32, 4000}, {48, 6881}, {56, 42}, {60, 0x1234}}},
        {TunnelPacket::kHandshakeAck, TunnelPacket::HandshakeAckBody(42), {{32, 42}}},
        {TunnelPacket::kWindowAck, TunnelPacket::WindowAckBody(ack), {{32, 5}, {36, 9}}},
        {TunnelPacket::kKeepAlive, TunnelPacket::KeepAliveBody(6881), {{32, 6881}}},
        {TunnelPacket::kClose,
         TunnelPacket::CloseBody({6881, 0x55, 42}),
         {{32, 6881}, {36, 0x55}, {40, 42}}},
        {TunnelPacket::kSingleAck, TunnelPacket::SingleAckBody({1320, 8}), {{32, 1320}, {36, 8}}},
    };
    for (const Case& c : cases) {
        const Bytes packet = TunnelPacket::Build(HeaderTo(c.type), c.body);
        ASSERT_EQ(packet.size(), 64u);
        const auto header = UdpWire::ParseSessionHeader(packet, kOwn);
        ASSERT_TRUE(header) << c.type;
        EXPECT_EQ(header->type, c.type);
        EXPECT_EQ(header->handle, 0x01020304u);
        EXPECT_EQ(header->control, 77u);
        EXPECT_EQ(UdpWire::Classify(packet, false, kOwn), UdpWire::Kind::kSession);
        EXPECT_FALSE(UdpWire::ParseSessionHeader(packet, kPeer)) << "names its receiver";
        for (const auto& [offset, value] : c.words) {
            EXPECT_EQ(At(packet, offset), value) << c.type << " @" << offset;
        }
    }
    const Bytes syn = TunnelPacket::Build(HeaderTo(TunnelPacket::kSyn), cases[0].body);
    EXPECT_EQ(TunnelPacket::ParseSyn(syn)->connector, connector);
    const Bytes answer = TunnelPacket::Build(HeaderTo(TunnelPacket::kSynAck), cases[1].body);
    const auto parsed = TunnelPacket::ParseSynAck(answer);
    EXPECT_EQ(parsed->connector_handle, 0x1234u);
    EXPECT_EQ(parsed->nonce, 42u);
    const Bytes window = TunnelPacket::Build(HeaderTo(TunnelPacket::kWindowAck), cases[3].body);
    EXPECT_EQ(TunnelPacket::ParseWindowAck(window)->held, ack.held);
}

TEST(TunnelPacket, DataCarriesItsPayloadAndMustMatchItsLength) {
    const Bytes payload = {1, 2, 3, 4, 5};
    Bytes packet = TunnelPacket::Build(HeaderTo(TunnelPacket::kData),
                                       TunnelPacket::DataBody(17, payload.size()), payload);
    ASSERT_EQ(packet.size(), 69u);
    ASSERT_TRUE(UdpWire::ParseSessionHeader(packet, kOwn));
    const auto data = TunnelPacket::ParseData(packet);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->sequence, 17u);
    EXPECT_EQ(Bytes(data->payload.begin(), data->payload.end()), payload);

    kf::StoreBe32(packet.data() + 32, 6);  // claims one byte more than it has
    EXPECT_FALSE(TunnelPacket::ParseData(packet));
    kf::StoreBe32(packet.data() + 32, 0xFFFFFFFF);
    EXPECT_FALSE(TunnelPacket::ParseData(packet));
    const Bytes short_one(63, 1);
    EXPECT_FALSE(TunnelPacket::ParseData(short_one));
    EXPECT_FALSE(TunnelPacket::ParseSyn(short_one));
    EXPECT_FALSE(TunnelPacket::BodyOf(short_one));

    packet[70 - 2] ^= 1;  // payload bytes are under the checksum
    EXPECT_FALSE(UdpWire::ParseSessionHeader(packet, kOwn));
}

TEST(TunnelSession, BudgetsAndChunksFollowTheLossAndNeverGoNegative) {
    struct Case {
        int loss;
        size_t budget;
        size_t chunk;
    };
    const Case cases[] = {{-20, 12, 1320}, {0, 12, 1320}, {19, 10, 1320}, {30, 9, 1320},
                          {31, 8, 660},    {50, 6, 660},  {100, 0, 660},  {250, 0, 660}};
    for (const Case& c : cases) {
        EXPECT_EQ(TunnelSession::Budget(c.loss), c.budget) << c.loss;
        EXPECT_EQ(TunnelSession::ChunkSize(c.loss), c.chunk) << c.loss;
    }
    TunnelSession session;
    EXPECT_EQ(session.LossPercent(1000), 50) << "unknown until enough was sent";
    for (int i = 0; i < 40; ++i) {
        session.CountSent(i % 4 == 0);
    }
    EXPECT_EQ(session.LossPercent(1000), 25);
    EXPECT_EQ(session.LossPercent(1000 + 120001), 50) << "the counters restart";
}

// Fills a session's send window with `count` one-byte packets, all sent once.
void Fill(TunnelSession& session, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        TunnelSession::Slot& slot = session.Append(Bytes(65, 0), 1);
        slot.transmissions = 1;
    }
}

TEST(TunnelSession, AcknowledgementsReleaseOnlyPacketsSentAndBelowTheNextToSend) {
    TunnelSession session;
    Fill(session, 4);
    session.Append(Bytes(65, 0), 1);  // queued, not sent yet
    TunnelPacket::WindowAck beyond{0, 9, {}};
    EXPECT_EQ(session.ApplyWindowAck(beyond), 0u) << "sequences never sent";
    EXPECT_EQ(session.Slots().size(), 5u);

    TunnelPacket::WindowAck held{0, 1, {0, 0, 1, 1}};  // has 0, holds 3 and (unsent) 4
    EXPECT_EQ(session.ApplyWindowAck(held), 2u);
    std::vector<uint32_t> left;
    for (const auto& slot : session.Slots()) {
        left.push_back(slot.sequence);
    }
    EXPECT_EQ(left, (std::vector<uint32_t>{1, 2, 4}));

    TunnelPacket::WindowAck back{0, 0, {}};
    EXPECT_EQ(session.ApplyWindowAck(back), 0u) << "the peer's expected sequence never goes back";
    EXPECT_EQ(session.ApplySingleAck({2, 1}), 0u) << "length must match";
    EXPECT_EQ(session.ApplySingleAck({1, 1}), 1u);
    EXPECT_EQ(session.ApplySingleAck({1, 4}), 0u) << "never sent";
}

TEST(TunnelSession, TheWindowNeverRunsPastTheReceiversExpectedPlusTwelve) {
    TunnelSession session;
    Fill(session, 12);
    EXPECT_FALSE(session.HasRoom(false));
    TunnelPacket::WindowAck holes{0, 0, {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}};
    session.ApplyWindowAck(holes);
    ASSERT_EQ(session.Slots().size(), 1u);
    EXPECT_EQ(session.UsedSlots(false), 12u) << "sequence 0 still blocks the receiver's window";
    EXPECT_FALSE(session.HasRoom(false));
    EXPECT_EQ(session.UsedSlots(true), 1u) << "the original rule fills the holes";
    EXPECT_TRUE(session.HasRoom(true));
}

TEST(TunnelSession, ReceiveWindowHoldsElevenAheadDropsTwelveAndTheQueueStopsAtTwelve) {
    TunnelSession session;
    const Bytes one = {7};
    EXPECT_EQ(session.StoreData(12, one), TunnelSession::Stored::kTooFar);
    EXPECT_EQ(session.StoreData(11, one), TunnelSession::Stored::kStored);
    EXPECT_EQ(session.StoreData(11, one), TunnelSession::Stored::kDuplicate);
    EXPECT_EQ(session.BuildWindowAck().held[11], 1);
    EXPECT_FALSE(session.HasReadable());

    TunnelSession reader;
    uint32_t sequence = 0;
    // Nobody reads: 12 payloads queue, 12 more wait in the window, the 25th is refused.
    for (; sequence < 24; ++sequence) {
        ASSERT_EQ(reader.StoreData(sequence, Bytes{static_cast<uint8_t>(sequence)}),
                  TunnelSession::Stored::kStored);
        reader.MoveInOrder();
    }
    EXPECT_EQ(reader.NextExpected(), 12u);
    EXPECT_EQ(reader.StoreData(24, Bytes{24}), TunnelSession::Stored::kTooFar);
    EXPECT_EQ(reader.StoreData(3, Bytes{3}), TunnelSession::Stored::kDuplicate);
    Bytes out(100);
    ASSERT_EQ(reader.Read(out), 24u) << "nothing was lost";
    for (uint8_t i = 0; i < 24; ++i) {
        EXPECT_EQ(out[i], i);
    }
}

}  // namespace
