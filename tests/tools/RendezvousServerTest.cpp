#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QUdpSocket.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/udp/UdpWire.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPorts.h"
#include "support/TempDir.h"
#include "tools/kf-rendezvous/RendezvousServer.h"

namespace {

using kf::RendezvousServer;
using kf::UdpWire;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

uint32_t Ip(const char* text) {
    return kf::ParseDottedAddress(text);
}

Bytes Registration(const UdpWire::NodeId& id, const char* local_ip, uint32_t local_port) {
    const auto bytes =
        UdpWire::BuildRegistration({UdpWire::IdentityOf(id), 1, Ip(local_ip), local_port});
    return Bytes(bytes.begin(), bytes.end());
}

const UdpWire::NodeId kAlice = {0xA1, 1, 2, 3, 4, 5, 6, 7};
const UdpWire::NodeId kBob = {0xB0, 1, 2, 3, 4, 5, 6, 7};

TEST(RendezvousServer, AnswersARegistrationWithTheObservedAddressAndPort) {
    RendezvousServer server;
    std::vector<RendezvousServer::Outgoing> out;
    server.Handle(Registration(kAlice, "192.168.1.2", 6881), Ip("203.0.113.7"), 40001, 0, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, (Bytes{203, 0, 113, 7, 0, 0, 0x9C, 0x41}));
    EXPECT_EQ(out[0].ip, Ip("203.0.113.7"));
    EXPECT_EQ(out[0].port, 40001);
    const RendezvousServer::Entry* entry = server.Find(kAlice);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->local_ip, Ip("192.168.1.2"));
    EXPECT_EQ(entry->local_port, 6881);

    // Keep-alives and junk are not answered; the keep-alive keeps the entry from expiring.
    out.clear();
    server.Handle(Bytes(8, 0), Ip("203.0.113.7"), 40001, 600000, out);
    server.Handle(Bytes(40, 7), Ip("203.0.113.7"), 40001, 600000, out);
    EXPECT_TRUE(out.empty());
    server.Expire(600000 + RendezvousServer::kExpiryMs - 1);
    EXPECT_EQ(server.Size(), 1u);
    server.Expire(600000 + RendezvousServer::kExpiryMs);
    EXPECT_EQ(server.Size(), 0u);
}

TEST(RendezvousServer, AnswersConnectRequestsAndRelaysToEachTargetTwice) {
    RendezvousServer server;
    std::vector<RendezvousServer::Outgoing> out;
    server.Handle(Registration(kBob, "10.0.0.5", 7000), Ip("198.51.100.2"), 50000, 0, out);
    server.Handle(Registration(kAlice, "192.168.1.2", 6881), Ip("203.0.113.7"), 40001, 0, out);
    // Carol shares Bob's router.
    const UdpWire::NodeId carol = {0xC0, 1, 2, 3, 4, 5, 6, 7};
    server.Handle(Registration(carol, "10.0.0.9", 7100), Ip("198.51.100.2"), 50001, 0, out);

    struct Case {
        const char* what;
        UdpWire::NodeId asked;  // as sent in the request
        uint32_t answer_ip;
        uint32_t answer_port;
        bool relayed;
        int32_t relayed_to_port;  // the target's public port: the server reaches it only there
    };
    const UdpWire::NodeId bob_by_address = {0, 0, 198, 51, 100, 2, 7000 >> 8, 7000 & 0xFF};
    const UdpWire::NodeId unknown = {0xEE, 1, 2, 3, 4, 5, 6, 7};
    const Case cases[] = {
        {"by id", kBob, Ip("198.51.100.2"), 50000, true, 50000},
        {"by public address and local port", bob_by_address, Ip("198.51.100.2"), 50000, true,
         50000},
        {"behind the requester's own router", carol, Ip("10.0.0.9"), 7100, true, 50001},
        {"unknown", unknown, Ip("1.2.3.4"), UdpWire::kUnknownPort, false, 0},
    };
    for (const Case& c : cases) {
        out.clear();
        // Each case from a source of its own, so the rate limit stays out of the way; the
        // requester is Carol's router neighbour only in the third case.
        const bool neighbour = c.asked == carol;
        const uint32_t from = neighbour ? Ip("198.51.100.2") : Ip("203.0.113.7");
        UdpWire::ConnectRequest request{UdpWire::IdentityOf(kAlice),
                                        42,
                                        Ip("192.168.1.2"),
                                        6881,
                                        {{Ip("1.2.3.4"), 0, c.asked}}};
        server.Handle(UdpWire::BuildConnectRequest(request), from, 40001, 1000, out);
        ASSERT_EQ(out.size(), c.relayed ? 3u : 1u) << c.what;
        const auto answer = UdpWire::ParseConnectAnswer(out.back().bytes);
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(out.back().ip, from) << c.what;
        EXPECT_EQ(answer->sequence, 42u);
        EXPECT_EQ(answer->identity, UdpWire::IdentityOf(kAlice));
        ASSERT_EQ(answer->entries.size(), 1u);
        EXPECT_EQ(answer->entries[0].id, c.asked) << c.what;  // echoed as sent
        EXPECT_EQ(answer->entries[0].ip, c.answer_ip) << c.what;
        EXPECT_EQ(answer->entries[0].port, c.answer_port) << c.what;
        if (c.relayed) {
            EXPECT_EQ(out[0].bytes, out[1].bytes);
            EXPECT_EQ(out[0].ip, Ip("198.51.100.2")) << c.what;
            EXPECT_EQ(out[0].port, c.relayed_to_port) << c.what;
            const auto relay = UdpWire::ParseRelay(out[0].bytes);
            ASSERT_TRUE(relay);
            EXPECT_EQ(relay->requester, UdpWire::IdentityOf(kAlice));
            EXPECT_EQ(relay->ip, neighbour ? Ip("192.168.1.2") : from) << c.what;
        }
    }
}

TEST(RendezvousServer, LimitsEachSourceToTwentyRequestsASecond) {
    RendezvousServer server;
    std::vector<RendezvousServer::Outgoing> out;
    for (int i = 0; i < 50; ++i) {
        server.Handle(Registration(kAlice, "10.0.0.1", 1), Ip("203.0.113.7"), 1, 5000 + i, out);
    }
    EXPECT_EQ(out.size(), 20u);
    server.Handle(Registration(kBob, "10.0.0.1", 1), Ip("203.0.113.8"), 1, 5100, out);
    EXPECT_EQ(out.size(), 21u);  // another source is not held back
    server.Handle(Registration(kAlice, "10.0.0.1", 1), Ip("203.0.113.7"), 1, 6000, out);
    EXPECT_EQ(out.size(), 22u);  // the next second
}

// The real program on loopback: it answers with the observed address and drops what a source
// sends beyond its allowance.
TEST(KfRendezvous, AnswersAndRateLimitsOnLoopback) {
    kf::test::TempDir dir;
    const int32_t port = kf::test::FreeTcpUdpPort("127.0.0.1");
    ASSERT_NE(port, 0);
    kf::test::ChildProcess server;
    ASSERT_TRUE(server.Start(
        {KF_BINARY_DIR "/kf-rendezvous", "--listen", "127.0.0.1:" + std::to_string(port)},
        dir / "rendezvous.out"));
    kf::QUdpSocket client;
    ASSERT_TRUE(client.Open(Ip("127.0.0.1"), 0));
    const Bytes registration = Registration(kAlice, "127.0.0.1", 1);
    Bytes buffer(100);
    kf::SocketWaitSet waits;
    // The server may still be starting: ask until the first answer comes (5 s at most).
    int32_t length = 0;
    uint32_t from_ip = 0;
    int32_t from_port = 0;
    for (int attempt = 0; attempt < 50 && length <= 0; ++attempt) {
        ASSERT_TRUE(server.IsRunning());
        ASSERT_TRUE(client.SendTo(registration, Ip("127.0.0.1"), port));
        waits.Clear();
        waits.AddHandle(client.Handle(), false);
        waits.Wait(100);
        length = client.ReceiveFrom(buffer, from_ip, from_port);
    }
    ASSERT_EQ(length, 8);
    EXPECT_EQ(from_port, port);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8),
              (Bytes{127, 0, 0, 1, 0, 0, static_cast<uint8_t>(client.LocalPort() >> 8),
                     static_cast<uint8_t>(client.LocalPort() & 0xFF)}));

    // A burst of 60 from a fresh source spans at most two seconds' allowances.
    kf::QUdpSocket burst;
    ASSERT_TRUE(burst.Open(Ip("127.0.0.2"), 0));
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(burst.SendTo(registration, Ip("127.0.0.1"), port));
    }
    int answers = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end && answers < 60) {
        waits.Clear();
        waits.AddHandle(burst.Handle(), false);
        waits.Wait(200);
        while (burst.ReceiveFrom(buffer, from_ip, from_port) > 0) {
            ++answers;
        }
    }
    EXPECT_GE(answers, 20);
    EXPECT_LE(answers, 40);
    EXPECT_EQ(server.Stop(), 0);  // ends cleanly on TERM
}

}  // namespace
