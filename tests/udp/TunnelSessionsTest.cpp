#include <gtest/gtest.h>
#include <poll.h>

#include <random>
#include <set>
#include <vector>

#include "engine/os/ByteOrder.h"
#include "engine/udp/TunnelPacket.h"
#include "engine/udp/TunnelSessions.h"
#include "tests/udp/TunnelNet.h"

namespace {

using kf::SocketAddress;
using kf::SocketTransport;
using kf::TunnelPacket;
using kf::TunnelSessions;
using kf::UdpWire;
using kf::test::Ip;
using kf::test::TunnelNet;
using kf::test::Wire;
using Bytes = std::vector<uint8_t>;

const UdpWire::NodeId kIdA = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const UdpWire::NodeId kIdB = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
constexpr int32_t kService = 6881;

bool Ready(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

uint32_t TypeOf(const Wire& datagram) {
    return datagram.bytes.size() >= 64 && kf::LoadBe32(datagram.bytes.data()) != 0
               ? kf::LoadBe32(datagram.bytes.data() + 16)
               : 0;
}

// A connector (a, on 127.0.0.1) and a listener (b, on 127.0.0.2) on one fake network.
struct Pair {
    explicit Pair(TunnelSessions::Options options = {}, uint32_t seed = 7)
        : net(seed),
          a(net.Add(Ip(127, 0, 0, 1), 4001, kIdA, options)),
          b(net.Add(Ip(127, 0, 0, 2), 4002, kIdB, options)) {
        listener = static_cast<int32_t>(b.Socket().value);
        EXPECT_TRUE(b.Bind(listener, {0, kService, {}}).Ok());
        EXPECT_TRUE(b.Listen(listener, 5).Ok());
    }

    int32_t StartConnect(UdpWire::NodeId id = kIdB, int32_t service = kService) {
        const int32_t handle = static_cast<int32_t>(a.Socket().value);
        const auto result = a.Connect(handle, {net.Host(1).ip(), service, id});
        EXPECT_TRUE(result.WouldBlock());
        return handle;
    }

    // Connects and accepts; false when it did not happen within 60 s.
    bool Connect(UdpWire::NodeId id = kIdB) {
        client = StartConnect(id);
        if (!net.RunUntil([&] { return b.Readable(listener); }, 60000)) {
            return false;
        }
        const auto accepted = b.Accept(listener, peer);
        server = static_cast<int32_t>(accepted.value);
        return accepted.Ok() && net.RunUntil([&] { return a.Writable(client); }, 60000) &&
               !a.Failed(client);
    }

    TunnelNet net;
    TunnelSessions& a;
    TunnelSessions& b;
    int32_t listener = 0;
    int32_t client = 0;
    int32_t server = 0;
    SocketAddress peer;
};

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

// Sends `out` from `from` and reads into `in` at `to`, one pass at a time.
struct Stream {
    TunnelSessions& from;
    int32_t from_handle;
    TunnelSessions& to;
    int32_t to_handle;
    const Bytes& out;
    Bytes in;
    size_t sent = 0;

    void Pump() {
        if (sent < out.size()) {
            const auto taken = from.Send(from_handle, std::span(out).subspan(sent));
            if (taken.Ok()) {
                sent += static_cast<size_t>(taken.value);
            }
        }
        uint8_t buffer[4000];
        for (int i = 0; i < 64; ++i) {
            const auto got = to.Receive(to_handle, buffer);
            if (!got.Ok()) {
                break;
            }
            in.insert(in.end(), buffer, buffer + got.value);
        }
    }
    bool Done() const { return in.size() >= out.size(); }
};

// Which chunk size the sender settles on: around 30 % the measured loss may fall either side.
enum class Chunks { kLarge, kSmall, kEither };

struct LossCase {
    double loss;
    Chunks chunks;
};

class TunnelTransfer : public ::testing::TestWithParam<LossCase> {
  protected:
    void Transfer(uint32_t seed);
};

// Each loss figure under a few seeds of the network's dice: a stall that one schedule of losses
// brings out shows in another.
TEST_P(TunnelTransfer, OneMebibyteEachWayArrivesByteExactThenCloses) {
    for (const uint32_t seed : {11u, 3u, 9u}) {
        SCOPED_TRACE(seed);
        Transfer(seed);
    }
}

void TunnelTransfer::Transfer(uint32_t seed) {
    Pair pair({}, seed);
    pair.net.faults = {GetParam().loss, 0.02, 0.1};
    ASSERT_TRUE(pair.Connect());
    EXPECT_EQ(pair.peer.node_id, kIdA);
    EXPECT_EQ(pair.peer.ip, pair.net.Host(0).ip());

    const Bytes up = RandomBytes(1 << 20, 1);
    const Bytes down = RandomBytes(1 << 20, 2);
    Stream forward{pair.a, pair.client, pair.b, pair.server, up, {}};
    Stream backward{pair.b, pair.server, pair.a, pair.client, down, {}};
    pair.net.record = true;
    const bool done = pair.net.RunUntil(
        [&] {
            forward.Pump();
            backward.Pump();
            return forward.Done() && backward.Done();
        },
        4'000'000);
    ASSERT_TRUE(done) << forward.in.size() << " / " << backward.in.size();
    EXPECT_TRUE(forward.in == up);
    EXPECT_TRUE(backward.in == down);

    size_t small = 0;
    size_t large = 0;
    for (const Wire& datagram : pair.net.delivered) {
        if (TypeOf(datagram) == TunnelPacket::kData) {
            (datagram.bytes.size() == 64 + 660 ? small : large) += 1;
        }
    }
    if (GetParam().chunks == Chunks::kSmall) {
        EXPECT_GT(small, 9 * large) << "660-byte chunks well above 30 % loss";
    } else if (GetParam().chunks == Chunks::kLarge) {
        EXPECT_GT(large, 9 * small);
    }

    ASSERT_TRUE(pair.a.Close(pair.client).Ok());
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.b.Failed(pair.server); }, 60000));
    uint8_t byte = 0;
    EXPECT_EQ(pair.b.Receive(pair.server, std::span(&byte, 1)).error,
              SocketTransport::kErrNotConnected);
    EXPECT_TRUE(pair.b.Readable(pair.server)) << "a dead socket wakes its owner";
}

INSTANTIATE_TEST_SUITE_P(
    Loss, TunnelTransfer,
    ::testing::Values(LossCase{0.0, Chunks::kLarge}, LossCase{0.05, Chunks::kLarge},
                      LossCase{0.35, Chunks::kEither}, LossCase{0.40, Chunks::kSmall}),
    [](const ::testing::TestParamInfo<LossCase>& info) {
        return "Percent" + std::to_string(static_cast<int>(info.param.loss * 100 + 0.5));
    });

TEST(TunnelSessions, LostHandshakeAcksAreMadeUpForByTheConnectorsFirstPacket) {
    Pair pair;
    pair.net.drop_if = [](const Wire& datagram) {
        return TypeOf(datagram) == TunnelPacket::kHandshakeAck;
    };
    const int32_t client = pair.StartConnect();
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Writable(client); }, 10000));
    EXPECT_FALSE(pair.b.Readable(pair.listener));
    const uint8_t hello[] = {'h', 'i'};
    ASSERT_EQ(pair.a.Send(client, hello).value, 2);
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.b.Readable(pair.listener); }, 5000));
    SocketAddress peer;
    const auto server = pair.b.Accept(pair.listener, peer);
    ASSERT_TRUE(server.Ok());
    uint8_t out[4] = {};
    ASSERT_TRUE(pair.net.RunUntil(
        [&] { return pair.b.Receive(static_cast<int32_t>(server.value), out).value == 2; }, 5000));
    EXPECT_EQ(out[1], 'i');
}

TEST(TunnelSessions, ARetransmissionPassResendsAtMostOnePacketPerSession) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    pair.net.faults.loss = 1.0;
    const Bytes data = RandomBytes(12 * 1320, 5);
    ASSERT_GT(pair.a.Send(pair.client, data).value, 0);
    pair.net.Deliver();
    for (const uint64_t wait : {2000, 2500, 3500}) {
        pair.net.now += wait;
        pair.a.RetransmitPass();
        int resent = 0;
        for (const Wire& datagram : pair.net.wire) {
            resent += TypeOf(datagram) == TunnelPacket::kData ? 1 : 0;
        }
        EXPECT_EQ(resent, wait == 2000 ? 0 : 1) << wait;
        pair.net.Deliver();
    }
}

TEST(TunnelSessions, DroppingAllSessionsWakesTheirOwnersAndClosingAListenerEndsItsHandshakes) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    const int32_t waiting = pair.StartConnect();
    pair.net.drop_if = [](const Wire& datagram) {
        return TypeOf(datagram) == TunnelPacket::kHandshakeAck;
    };
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Writable(waiting); }, 10000));
    pair.b.Close(pair.listener);
    const uint8_t byte = 1;
    pair.a.Send(waiting, std::span(&byte, 1));
    pair.net.RunUntil([] { return false; }, 200);
    EXPECT_EQ(pair.b.Failed(pair.listener), true) << "closed";

    pair.a.DropSessions();
    for (const int32_t handle : {pair.client, waiting}) {
        EXPECT_TRUE(pair.a.Failed(handle));
        EXPECT_TRUE(Ready(pair.a.WakeHandle(handle)));
        EXPECT_TRUE(pair.a.Close(handle).Ok());
    }
}

TEST(TunnelSessions, ASlowReaderLosesNothingAndALostWindowUpdateDoesNotStallTheSender) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    const Bytes data = RandomBytes(200000, 6);
    size_t sent = 0;
    // Nobody reads: the sender fills the receiver's queue and window and stops.
    pair.net.RunUntil(
        [&] {
            const auto taken = pair.a.Send(pair.client, std::span(data).subspan(sent));
            sent += taken.Ok() ? static_cast<size_t>(taken.value) : 0;
            return false;
        },
        8000);
    ASSERT_FALSE(pair.a.Writable(pair.client)) << "the receiver's window is closed";
    ASSERT_FALSE(pair.a.NeedsFastPasses()) << "nothing left to retransmit";
    // The first window update after reading is lost.
    int dropped = 0;
    pair.net.drop_if = [&](const Wire& datagram) {
        const bool drop = dropped == 0 && TypeOf(datagram) == TunnelPacket::kWindowAck &&
                          datagram.from_ip == pair.net.Host(1).ip();
        dropped += drop ? 1 : 0;
        return drop;
    };
    Stream stream{pair.a, pair.client, pair.b, pair.server, data, {}, sent};
    EXPECT_TRUE(pair.net.RunUntil(
        [&] {
            stream.Pump();
            return stream.Done();
        },
        6000))
        << stream.in.size();
    EXPECT_EQ(dropped, 1);
    EXPECT_TRUE(stream.in == data);
}

TEST(TunnelSessions, ASynForAPortNobodyListensOnIsRejectedAndTheConnectorDies) {
    Pair pair;
    const int32_t handle = pair.StartConnect(kIdB, 7000);
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Failed(handle); }, 10000));
    EXPECT_EQ(pair.a.PendingError(handle), SocketTransport::kErrNotConnected);
    EXPECT_TRUE(pair.a.Readable(handle));
    EXPECT_TRUE(pair.a.Close(handle).Ok());
    EXPECT_EQ(pair.a.Close(handle).error, SocketTransport::kErrNotSocket);
}

TEST(TunnelSessions, ARepeatedSynIsAnsweredWithItsNonceAndIgnoredWithASmallerOne) {
    Pair pair;
    pair.net.record = true;
    ASSERT_TRUE(pair.Connect());
    const Wire* syn = nullptr;
    for (const Wire& datagram : pair.net.delivered) {
        if (TypeOf(datagram) == TunnelPacket::kSyn) {
            syn = &datagram;
        }
    }
    ASSERT_NE(syn, nullptr);
    const auto header = UdpWire::ParseSessionHeader(syn->bytes, kIdB);
    const auto fields = TunnelPacket::ParseSyn(syn->bytes);
    struct Case {
        uint32_t nonce_change;
        int answers;
    };
    uint32_t control = header->control;
    for (const Case c : {Case{0, 2}, Case{1, 0}}) {
        TunnelPacket::Syn again = *fields;
        again.nonce -= c.nonce_change;
        const TunnelPacket::Header resent{header->handle, ++control, TunnelPacket::kSyn,
                                          UdpWire::IdentityOf(kIdB)};
        pair.net.wire.clear();
        pair.b.OnDatagram(UdpWire::Kind::kSession,
                          TunnelPacket::Build(resent, TunnelPacket::SynBody(again)), syn->from_ip,
                          syn->from_port);
        int answers = 0;
        for (const Wire& datagram : pair.net.wire) {
            answers += TypeOf(datagram) == TunnelPacket::kSynAck ? 1 : 0;
        }
        EXPECT_EQ(answers, c.answers) << c.nonce_change;
        EXPECT_FALSE(pair.b.Failed(pair.server));
    }
}

// Injects one DATA packet into b's accepted session as if a had sent it.
void InjectData(Pair& pair, uint32_t sequence, uint8_t value) {
    const Bytes payload = {value};
    const TunnelPacket::Header header{static_cast<uint32_t>(pair.server), 1000 + sequence,
                                      TunnelPacket::kData, UdpWire::IdentityOf(kIdB)};
    pair.b.OnDatagram(UdpWire::Kind::kSession,
                      TunnelPacket::Build(header, TunnelPacket::DataBody(sequence, 1), payload),
                      pair.net.Host(0).ip(), pair.net.Host(0).port());
}

TEST(TunnelSessions, DataTwelveAheadIsDroppedElevenAheadIsHeldAndReported) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    pair.net.wire.clear();
    InjectData(pair, 12, 12);
    InjectData(pair, 11, 11);
    EXPECT_FALSE(pair.b.Readable(pair.server));
    pair.b.AckPass();
    ASSERT_FALSE(pair.net.wire.empty());
    const auto ack = TunnelPacket::ParseWindowAck(pair.net.wire.back().bytes);
    ASSERT_EQ(TypeOf(pair.net.wire.back()), TunnelPacket::kWindowAck);
    EXPECT_EQ(ack->next_expected, 0u);
    EXPECT_EQ(ack->held[11], 1);
    for (uint8_t sequence = 0; sequence < 11; ++sequence) {
        InjectData(pair, sequence, sequence);
    }
    uint8_t out[32] = {};
    EXPECT_EQ(pair.b.Receive(pair.server, out).value, 12) << "12 was dropped, 11 kept";
    EXPECT_EQ(out[11], 11);
}

TEST(TunnelSessions, AnAddressFormPeerTeachesItsIdentityWithItsPunchThroughBothRouters) {
    Pair pair;
    // Each side's punch passes only once that side's router has seen it send the other way.
    pair.net.routers = true;
    UdpWire::NodeId address_form{};
    const uint32_t ip = pair.net.Host(1).ip();
    std::memcpy(address_form.data() + 2, &ip, 4);
    kf::StoreBe16(address_form.data() + 6, static_cast<uint16_t>(pair.net.Host(1).port()));
    const uint64_t start = pair.net.now;
    ASSERT_TRUE(pair.Connect(address_form));
    // The listener punches again soon after the relay, once the connector's router is open.
    EXPECT_LT(pair.net.now - start, 500u);
    EXPECT_EQ(pair.peer.node_id, kIdA);
    SocketAddress local;
    ASSERT_TRUE(pair.a.LocalName(pair.client, local).Ok());
    EXPECT_EQ(local.node_id, kIdA);
}

TEST(TunnelSessions, BehindOneRouterTheAddressFormPeerIsLearntAtItsLocalAddress) {
    Pair pair;
    pair.net.server_up = false;                             // this test answers for the server
    UdpWire::NodeId address_form = {0, 0, 203, 0, 113, 7};  // the router's public address
    kf::StoreBe16(address_form.data() + 6, static_cast<uint16_t>(pair.net.Host(1).port()));
    const int32_t client = static_cast<int32_t>(pair.a.Socket().value);
    ASSERT_TRUE(pair.a.Connect(client, {Ip(203, 0, 113, 7), kService, address_form}).WouldBlock());
    pair.a.FlushConnectRequests();
    const auto request = UdpWire::ParseConnectRequest(pair.net.Host(0).to_server.back());
    ASSERT_TRUE(request);
    const UdpWire::ConnectAnswer answer{
        UdpWire::IdentityOf(kIdA),
        request->sequence,
        {{pair.net.Host(1).ip(), static_cast<uint32_t>(pair.net.Host(1).port()), address_form}}};
    pair.a.OnDatagram(UdpWire::Kind::kConnectAnswer, UdpWire::BuildConnectAnswer(answer), 0, 82);
    EXPECT_FALSE(pair.a.Failed(client)) << "the answer does not end it";
    const UdpWire::Relay relay{UdpWire::IdentityOf(kIdA), pair.net.Host(0).ip(),
                               static_cast<uint32_t>(pair.net.Host(0).port())};
    pair.b.OnDatagram(UdpWire::Kind::kRelay, UdpWire::BuildRelay(relay), 0, 82);
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.b.Readable(pair.listener); }, 10000));
    SocketAddress peer;
    EXPECT_TRUE(pair.b.Accept(pair.listener, peer).Ok());
    EXPECT_EQ(peer.node_id, kIdA);
    EXPECT_TRUE(pair.net.RunUntil([&] { return pair.a.Writable(client); }, 10000));
}

TEST(TunnelSessions, APeerThatNeverAnswersTimesOutAndTheOwnerSeesTheError) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    pair.net.server_up = false;
    const int32_t connecting = pair.StartConnect();
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Failed(connecting); }, 40000));
    EXPECT_EQ(pair.a.PendingError(connecting), TunnelSessions::kErrTimedOut);

    pair.net.faults.loss = 1.0;  // b vanishes
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Failed(pair.client); }, 40000));
    EXPECT_TRUE(pair.a.Readable(pair.client));
    EXPECT_TRUE(Ready(pair.a.WakeHandle(pair.client)));
    uint8_t byte = 0;
    EXPECT_EQ(pair.a.Receive(pair.client, std::span(&byte, 1)).error,
              SocketTransport::kErrNotConnected);
    EXPECT_EQ(pair.a.Send(pair.client, std::span(&byte, 1)).error,
              SocketTransport::kErrNotConnected);
}

TEST(TunnelSessions, WakeHandleIsSetExactlyWhileTheSocketIsReady) {
    Pair pair;
    ASSERT_TRUE(pair.Connect());
    const int a_fd = pair.a.WakeHandle(pair.client);
    const int b_fd = pair.b.WakeHandle(pair.server);
    ASSERT_GE(a_fd, 0);
    ASSERT_GE(b_fd, 0);
    // Idle for three minutes: no wake-ups, no fast passes, and keep-alives keep it alive.
    const uint64_t idle_end = pair.net.now + 180000;
    pair.net.RunUntil(
        [&] {
            EXPECT_FALSE(Ready(a_fd));
            EXPECT_FALSE(Ready(b_fd));
            return pair.net.now >= idle_end;
        },
        200000);
    EXPECT_FALSE(pair.a.Failed(pair.client));
    EXPECT_FALSE(pair.b.Failed(pair.server));
    EXPECT_FALSE(pair.a.NeedsFastPasses());

    const Bytes hello = RandomBytes(3000, 3);
    ASSERT_EQ(pair.a.Send(pair.client, hello).value, 3000);
    EXPECT_TRUE(pair.a.NeedsFastPasses());
    ASSERT_TRUE(pair.net.RunUntil([&] { return Ready(b_fd); }, 5000));
    uint8_t buffer[1000];
    size_t got = 0;
    while (got < hello.size()) {
        ASSERT_TRUE(Ready(b_fd));
        const auto read = pair.b.Receive(pair.server, buffer);
        if (!read.Ok()) {
            pair.net.Step();
            continue;
        }
        got += static_cast<size_t>(read.value);
    }
    EXPECT_FALSE(Ready(b_fd)) << "cleared once read out";

    pair.a.WatchWritable(pair.client, true);
    EXPECT_TRUE(Ready(a_fd)) << "room to send while watched";
    const Bytes big = RandomBytes(100000, 4);
    EXPECT_LT(pair.a.Send(pair.client, big).value, 100000);
    EXPECT_FALSE(Ready(a_fd)) << "window full";
    pair.a.WatchWritable(pair.client, false);
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Writable(pair.client); }, 10000));
    EXPECT_FALSE(Ready(a_fd)) << "not watched";
}

TEST(TunnelSessions, OneSpoofedSynDrawsFewAnswersAndOneSourceAtMostEightPending) {
    Pair pair;
    const uint32_t spoofer = Ip(10, 0, 0, 9);
    auto spoof = [&](uint32_t handle) {
        const TunnelPacket::Syn syn{4002, UdpWire::IdentityOf(kIdA), kService, 5};
        const TunnelPacket::Header header{handle, 1, TunnelPacket::kSyn, UdpWire::IdentityOf(kIdB)};
        pair.b.OnDatagram(UdpWire::Kind::kSession,
                          TunnelPacket::Build(header, TunnelPacket::SynBody(syn)), spoofer, 5000);
    };
    pair.net.record = true;
    spoof(0x1234);
    pair.net.RunUntil([] { return false; }, 40000);
    int answers = 0;
    for (const Wire& datagram : pair.net.delivered) {
        answers += datagram.to_ip == spoofer ? 1 : 0;
    }
    EXPECT_GE(answers, 2);
    EXPECT_LE(answers, 6);

    pair.net.delivered.clear();
    for (uint32_t handle = 1; handle <= 20; ++handle) {
        spoof(handle);
    }
    std::set<uint32_t> answered;
    for (const Wire& datagram : pair.net.wire) {
        if (TypeOf(datagram) == TunnelPacket::kSynAck) {
            answered.insert(kf::LoadBe32(datagram.bytes.data() + 60));
        }
    }
    EXPECT_EQ(answered.size(), TunnelSessions::kMaxPendingPerSource);
}

TEST(TunnelSessions, RelaysPunchOnlyUnicastAddressesAndAtMost32ASecond) {
    Pair pair;
    auto relay = [&](uint32_t ip, uint32_t port) {
        const UdpWire::Relay request{UdpWire::IdentityOf(kIdA), ip, port};
        pair.b.OnDatagram(UdpWire::Kind::kRelay, UdpWire::BuildRelay(request), 0, 82);
    };
    const int before = pair.net.Host(1).sent;
    for (const uint32_t ip : {Ip(0, 0, 0, 0), Ip(0, 1, 2, 3), Ip(224, 0, 0, 1), Ip(239, 1, 1, 1),
                              Ip(255, 255, 255, 255), Ip(240, 0, 0, 1)}) {
        relay(ip, 4001);
    }
    relay(Ip(192, 168, 1, 2), 0);
    relay(Ip(192, 168, 1, 2), 0xFFFFFFFF);
    EXPECT_EQ(pair.net.Host(1).sent, before);
    for (uint8_t i = 0; i < 100; ++i) {
        relay(Ip(192, 168, 1, i), 4001);
    }
    EXPECT_EQ(pair.net.Host(1).sent - before, TunnelSessions::kPunchesPerSecond);
}

TEST(TunnelSessions, AnAnswerWithoutAValidPortEndsTheConnectInsteadOfUsingIt) {
    Pair pair;
    const UdpWire::NodeId stranger = {0x42, 0x43, 1, 2, 3, 4, 5, 6};
    const int32_t handle = pair.StartConnect(stranger);
    pair.net.record = true;
    ASSERT_TRUE(pair.net.RunUntil([&] { return pair.a.Failed(handle); }, 10000));
    EXPECT_EQ(pair.a.PendingError(handle), SocketTransport::kErrNotConnected);
    for (const Wire& datagram : pair.net.delivered) {
        EXPECT_NE(datagram.from_ip, pair.net.Host(0).ip()) << "nothing sent to the bad port";
    }
}

TEST(TunnelSessions, SocketCallsAnswerTheirErrors) {
    Pair pair;
    TunnelSessions& a = pair.a;
    const int32_t first = static_cast<int32_t>(a.Socket().value);
    const int32_t second = static_cast<int32_t>(a.Socket().value);
    SocketAddress peer;
    uint8_t byte = 0;
    EXPECT_TRUE(a.Bind(first, {0, 80, {}}).Ok());
    EXPECT_EQ(a.Bind(second, {0, 80, {}}).error, TunnelSessions::kErrAddressInUse);
    EXPECT_EQ(a.Bind(first, {0, 81, {}}).error, SocketTransport::kErrNotSocket);
    EXPECT_EQ(a.Bind(second, {0, 0, {}}).error, TunnelSessions::kErrInvalid);
    EXPECT_EQ(a.Accept(first, peer).error, TunnelSessions::kErrInvalid) << "bound, not listening";
    EXPECT_EQ(a.Listen(second, 5).error, SocketTransport::kErrNotSocket);
    EXPECT_EQ(a.Connect(second, {Ip(127, 0, 0, 2), 80, {}}).error, TunnelSessions::kErrUnreachable);
    EXPECT_EQ(a.Connect(second, {0, 80, kIdB}).error, TunnelSessions::kErrUnreachable);
    EXPECT_TRUE(a.Connect(second, {Ip(127, 0, 0, 2), 80, kIdB}).WouldBlock());
    EXPECT_EQ(a.Connect(second, {Ip(127, 0, 0, 2), 80, kIdB}).error,
              TunnelSessions::kErrInterrupted);
    EXPECT_EQ(a.Send(second, std::span(&byte, 1)).error, SocketTransport::kErrNotConnected);
    EXPECT_EQ(a.Receive(second, std::span(&byte, 0)).error, TunnelSessions::kErrInvalid);
    EXPECT_EQ(a.LocalName(second, peer).error, SocketTransport::kErrNotConnected);
    EXPECT_EQ(a.Send(12345, std::span(&byte, 1)).error, SocketTransport::kErrNotSocket);
    EXPECT_EQ(a.WakeHandle(12345), -1);
    EXPECT_TRUE(a.Failed(12345));
    pair.net.Host(0).suspended = true;
    const int32_t third = static_cast<int32_t>(a.Socket().value);
    EXPECT_EQ(a.Connect(third, {Ip(127, 0, 0, 2), 80, kIdB}).error,
              TunnelSessions::kErrUnreachable);
    EXPECT_EQ(a.Receive(second, std::span(&byte, 1)).error, TunnelSessions::kErrInvalid);
}

TEST(TunnelSessions, HandlesAreRandomNonZeroAndUnique) {
    TunnelNet net;
    TunnelSessions& one = net.Add(Ip(127, 0, 0, 1), 4001, kIdA);
    TunnelSessions& two = net.Add(Ip(127, 0, 0, 2), 4002, kIdB);
    std::set<int64_t> seen;
    std::vector<int64_t> first;
    std::vector<int64_t> second;
    for (int i = 0; i < 300; ++i) {
        first.push_back(one.Socket().value);
        second.push_back(two.Socket().value);
        EXPECT_GT(first.back(), 0);
        EXPECT_LE(first.back(), 0x7FFFFFFF);
        seen.insert(first.back());
    }
    EXPECT_EQ(seen.size(), first.size());
    EXPECT_NE(first, second);
}

}  // namespace
