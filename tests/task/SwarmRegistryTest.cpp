#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/EngineGlobals.h"
#include "engine/kestrelfetch.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "engine/os/Tick.h"
#include "engine/task/SwarmRegistry.h"
#include "engine/udp/QUInternalServer.h"
#include "support/LoopbackPorts.h"
#include "support/NoticeRecorder.h"
#include "support/TempDir.h"

namespace {

using kf::EngineGlobals;
using kf::QSocket;
using kf::SwarmRegistry;

SwarmRegistry::InfoHash HashOf(uint8_t fill) {
    SwarmRegistry::InfoHash hash;
    hash.fill(fill);
    return hash;
}

std::string Handshake(const SwarmRegistry::InfoHash& hash, uint8_t peer_fill = 0x33) {
    std::string bytes =
        "\x13"
        "BitTorrent protocol";
    bytes.append(8, '\0');
    bytes.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    bytes.append(20, static_cast<char>(peer_fill));
    return bytes;
}

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(SwarmRegistry, HandshakeInfoHashLooksPastAWholeWrapperOnly) {
    const SwarmRegistry::InfoHash hash = HashOf(0xAB);
    const std::string plain = Handshake(hash);
    const uint8_t* named = SwarmRegistry::HandshakeInfoHash(Bytes(plain));
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(std::memcmp(named, hash.data(), hash.size()), 0);

    const std::string wrapped = "GET / HTTP/1.0\r\nHost: 1:2\r\n\r\n" + plain;
    named = SwarmRegistry::HandshakeInfoHash(Bytes(wrapped));
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(std::memcmp(named, hash.data(), hash.size()), 0);
    const std::string lf_only = "POST /x HTTP/1.1\n\n" + plain;
    EXPECT_NE(SwarmRegistry::HandshakeInfoHash(Bytes(lf_only)), nullptr);

    // Not yet, or never, a handshake.
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash(Bytes("G")), nullptr);
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash(Bytes("GET / HTTP/1.0\r\n")), nullptr);
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash(Bytes("GARBAGE\r\n\r\n" + plain)), nullptr);
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash(Bytes(plain.substr(0, 47))), nullptr);
    std::string other_protocol = plain;
    other_protocol[1] = 'b';
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash(Bytes(other_protocol)), nullptr);
    EXPECT_EQ(SwarmRegistry::HandshakeInfoHash({}), nullptr);
}

TEST(SwarmRegistry, OnlyTheStartOfAHandshakeOrWrapperMayStillBecomeOne) {
    EXPECT_TRUE(SwarmRegistry::CanBecomeHandshake(Bytes("")));
    EXPECT_TRUE(SwarmRegistry::CanBecomeHandshake(Bytes("G")));
    EXPECT_TRUE(SwarmRegistry::CanBecomeHandshake(Bytes("GET / HTTP/1.0\r\n")));
    EXPECT_TRUE(
        SwarmRegistry::CanBecomeHandshake(Bytes("\x13"
                                                "BitTorr")));
    EXPECT_TRUE(SwarmRegistry::CanBecomeHandshake(Bytes(Handshake(HashOf(0x11)))));
    EXPECT_TRUE(
        SwarmRegistry::CanBecomeHandshake(Bytes("GET / HTTP/1.0\r\n\r\n\x13"
                                                "Bit")));
    EXPECT_FALSE(
        SwarmRegistry::CanBecomeHandshake(Bytes("\x13"
                                                "BitTorrent prot0")));
    EXPECT_FALSE(SwarmRegistry::CanBecomeHandshake(Bytes("\x05hello")));
    EXPECT_FALSE(SwarmRegistry::CanBecomeHandshake(Bytes("GET / HTTP/1.0\r\n\r\nxyz")));
}

TEST(SwarmRegistry, RegistersEachTaskOnceAndIgnoresAZeroHash) {
    kf::QTMutex lock;
    SwarmRegistry registry(lock);
    int task_a = 0;
    int task_b = 0;
    registry.Register(&task_a, HashOf(1));
    registry.Register(&task_a, HashOf(2));  // a task is registered once
    registry.Register(&task_b, HashOf(0));  // not known yet
    EXPECT_TRUE(registry.IsRegistered(HashOf(1)));
    EXPECT_FALSE(registry.IsRegistered(HashOf(2)));
    EXPECT_FALSE(registry.IsRegistered(HashOf(0)));
    registry.Register(&task_b, HashOf(3));
    registry.Unregister(&task_a);
    EXPECT_FALSE(registry.IsRegistered(HashOf(1)));
    EXPECT_TRUE(registry.IsRegistered(HashOf(3)));
    registry.Unregister(&task_b);
    registry.Unregister(&task_b);
    EXPECT_FALSE(registry.IsRegistered(HashOf(3)));
}

// A task that claims handshakes for one info-hash and keeps what it accepts.
class ClaimingTask : public kf::IncomingClaimer {
  public:
    explicit ClaimingTask(SwarmRegistry::InfoHash hash) : hash_(hash) {}
    bool IsOwnHandshake(const QSocket& connection) override {
        const uint8_t* named = SwarmRegistry::HandshakeInfoHash(connection.Received());
        return named != nullptr && std::memcmp(named, hash_.data(), hash_.size()) == 0;
    }
    bool AcceptIncoming(std::unique_ptr<QSocket> connection) override {
        accepted.push_back(std::move(connection));
        return true;
    }
    std::vector<std::unique_ptr<QSocket>> accepted;

  private:
    SwarmRegistry::InfoHash hash_;
};

// The listener on a free loopback port for one test; everything is closed again at the end.
class ListenerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineGlobals& globals = EngineGlobals::Instance();
        globals.p2p_enabled = true;
        ASSERT_EQ(SetListenAddress("127.0.0.1"), KF_OK);
        for (int attempt = 0; attempt < 5 && !registry_.ListenerOpen(); ++attempt) {
            port_ = kf::test::FreeTcpPort();
            globals.listen_port = port_;
            registry_.ListeningServicesStep();
        }
        ASSERT_TRUE(registry_.ListenerOpen());
        registry_.Register(&task_, hash_);
    }
    void TearDown() override {
        registry_.Unregister(&task_);
        registry_.CloseListening();
        EngineGlobals& globals = EngineGlobals::Instance();
        globals.p2p_enabled = false;
        globals.listen_port = 0;
        SetListenAddress(nullptr);
    }

    // A connection from `from` that has sent `bytes`.
    std::unique_ptr<QSocket> Connect(const std::string& bytes, const char* from = "127.0.0.2") {
        auto client = std::make_unique<QSocket>();
        EXPECT_TRUE(client->ConnectTo(kf::ParseDottedAddress("127.0.0.1"), port_, true, nullptr,
                                      kf::ParseDottedAddress(from)));
        if (!bytes.empty()) {
            EXPECT_EQ(client->SendBytes(bytes.data(), static_cast<int32_t>(bytes.size())),
                      static_cast<int32_t>(bytes.size()));
        }
        return client;
    }

    // Runs the step (at tick `now_ms`) until the registry holds `pending` connections, or 2 s.
    void StepUntilPending(ClaimingTask& task, uint64_t now_ms, size_t pending) {
        const uint64_t until = kf::TickMilliseconds() + 2000;
        do {
            registry_.IncomingStep(task, now_ms);
        } while (registry_.PendingCount() != pending && kf::TickMilliseconds() < until);
    }

    kf::QTMutex lock_;
    SwarmRegistry registry_{lock_};
    SwarmRegistry::InfoHash hash_ = HashOf(0x5A);
    int task_ = 0;
    int32_t port_ = 0;
};

TEST_F(ListenerFixture, ListensAtTheBindAddressAndClosesWithTheP2PSwitch) {
    EXPECT_EQ(registry_.ListenIp(), kf::ParseDottedAddress("127.0.0.1"));
    EXPECT_EQ(registry_.ListenPort(), port_);
    EXPECT_EQ(registry_.ListenText(), "127.0.0.1 : " + std::to_string(port_));

    EngineGlobals::Instance().p2p_enabled = false;
    registry_.ListeningServicesStep();
    EXPECT_FALSE(registry_.ListenerOpen());
    EXPECT_EQ(registry_.ListenPort(), 0);
    QSocket probe;
    EXPECT_FALSE(probe.ConnectTo(kf::ParseDottedAddress("127.0.0.1"), port_, true));

    EngineGlobals::Instance().p2p_enabled = true;
    registry_.ListeningServicesStep();
    EXPECT_TRUE(registry_.ListenerOpen());
}

// The tunnel listener is the TCP listener's twin over the UDP endpoint: open while the endpoint
// runs and is not suspended, closed with the P2P switch and by CloseListening.
TEST_F(ListenerFixture, TunnelListenerFollowsTheEndpointAndTheSwitches) {
    EngineGlobals& globals = EngineGlobals::Instance();
    registry_.ListeningServicesStep();
    EXPECT_FALSE(registry_.TunnelListenerOpen());  // no endpoint yet
    kf::QUInternalServer::Config config;
    config.local_port = port_;
    config.bind_ip = kf::ParseDottedAddress("127.0.0.1");
    ASSERT_EQ(kf::QUInternalServer::Engine().Start(config), 0);
    struct Step {
        bool p2p;
        bool suspended;
        bool close_first;
        bool open;
    };
    for (const Step step : {Step{true, false, false, true}, Step{true, true, true, false},
                            Step{true, false, false, true}, Step{false, false, false, false},
                            Step{true, false, false, true}}) {
        globals.p2p_enabled = step.p2p;
        globals.udp_suspended = step.suspended;
        if (step.close_first) {
            registry_.CloseListening();
        }
        registry_.ListeningServicesStep();
        EXPECT_EQ(registry_.TunnelListenerOpen(), step.open)
            << step.p2p << step.suspended << step.close_first;
    }
    globals.udp_suspended = false;
    registry_.CloseListening();
    kf::QUInternalServer::Engine().Stop();
}

TEST_F(ListenerFixture, MulticastFollowsTheLanSwitchAndTheInterface) {
    EXPECT_EQ(SetLanInterface("lo"), KF_ERR_PARAM);
    ASSERT_EQ(SetLanInterface("127.0.0.1"), KF_OK);
    for (const int enable : {1, 0, 1}) {
        ASSERT_EQ(EnableLanDiscovery(enable), KF_OK);
        registry_.ListeningServicesStep();
        EXPECT_EQ(registry_.LanOpen(), enable == 1);
    }
    // An interface that this machine does not have: closed (the listener stays), and tried again
    // on every step.
    SetLanInterface("192.0.2.1");
    registry_.ListeningServicesStep();
    EXPECT_TRUE(registry_.ListenerOpen());
    EXPECT_FALSE(registry_.LanOpen());
    SetLanInterface("127.0.0.1");
    registry_.ListeningServicesStep();
    EXPECT_TRUE(registry_.LanOpen());
    registry_.CloseListening();
    EXPECT_FALSE(registry_.LanOpen());
    EnableLanDiscovery(0);
}

TEST_F(ListenerFixture, WrappedHandshakeGoesToTheTaskWhoseHashFollowsTheHeader) {
    ClaimingTask other(HashOf(0x77));
    ClaimingTask owner(hash_);
    std::unique_ptr<QSocket> client = Connect("GET / HTTP/1.0\r\nHost: 16777343:1234\r\n\r\n");
    const uint64_t now = kf::TickMilliseconds();
    StepUntilPending(other, now, 1);
    ASSERT_EQ(registry_.PendingCount(), 1u);
    const std::string handshake = Handshake(hash_);
    ASSERT_EQ(client->SendBytes(handshake.data(), static_cast<int32_t>(handshake.size())),
              static_cast<int32_t>(handshake.size()));
    // Another task looks first and leaves it; the owner takes it.
    const uint64_t until = kf::TickMilliseconds() + 2000;
    while (owner.accepted.empty() && kf::TickMilliseconds() < until) {
        registry_.IncomingStep(other, now);
        registry_.IncomingStep(owner, now);
    }
    EXPECT_TRUE(other.accepted.empty());
    ASSERT_EQ(owner.accepted.size(), 1u);
    EXPECT_EQ(registry_.PendingCount(), 0u);
    // The wrapper is still there: the peer that adopts the connection answers in kind.
    EXPECT_EQ(owner.accepted[0]->ReceivedText()[0], 'G');
    EXPECT_EQ(owner.accepted[0]->RemoteIp(), kf::ParseDottedAddress("127.0.0.2"));
}

TEST_F(ListenerFixture, StalledAndUnknownConnectionsAreDropped) {
    ClaimingTask owner(hash_);
    const uint64_t start = kf::TickMilliseconds();
    std::unique_ptr<QSocket> stalled = Connect("G");
    StepUntilPending(owner, start, 1);
    ASSERT_EQ(registry_.PendingCount(), 1u);
    registry_.IncomingStep(owner, start + SwarmRegistry::kPendingMs - 1);
    EXPECT_EQ(registry_.PendingCount(), 1u);
    registry_.IncomingStep(owner, start + SwarmRegistry::kPendingMs);
    EXPECT_EQ(registry_.PendingCount(), 0u);

    // A handshake for a swarm nobody here serves goes at once.
    std::unique_ptr<QSocket> stranger = Connect(Handshake(HashOf(0x01)));
    const uint64_t later = kf::TickMilliseconds();
    const uint64_t until = later + 2000;
    bool seen = false;
    while (kf::TickMilliseconds() < until && !seen) {
        registry_.IncomingStep(owner, later);
        seen = stranger->WaitReadable(0) && stranger->ReceiveBytes() < 0;
    }
    EXPECT_TRUE(seen);  // the engine closed it
    EXPECT_EQ(registry_.PendingCount(), 0u);
    EXPECT_TRUE(owner.accepted.empty());

    // So do bytes that can never become a handshake (the start of an encrypted one, say), long
    // before a stalled connection would.
    const uint64_t foreign_start = kf::TickMilliseconds();
    std::unique_ptr<QSocket> foreign = Connect(std::string("\xA5\x17\x00\x42", 4) + "xyzw");
    StepUntilPending(owner, foreign_start, 1);
    StepUntilPending(owner, foreign_start, 0);
    EXPECT_EQ(registry_.PendingCount(), 0u);
    EXPECT_TRUE(owner.accepted.empty());

    // A client that hangs up is dropped too.
    std::unique_ptr<QSocket> quitter = Connect("");
    StepUntilPending(owner, later, 1);
    quitter->Close();
    StepUntilPending(owner, later, 0);
    EXPECT_EQ(registry_.PendingCount(), 0u);
}

// A handshake from a blocked address never reaches a task: the connection is closed at once, and
// the address is told of once however often it tries, until the filter changes.
TEST_F(ListenerFixture, BlockedAddressIsClosedBeforeAnyTaskSeesIt) {
    kf::test::TempDir dir;
    ASSERT_TRUE(kf::test::WriteFile(dir / "filter.dat", "127.0.0.4-127.0.0.4 0 a test peer\n"));
    ASSERT_EQ(SetIpFilterFile((dir / "filter.dat").c_str()), 1);
    kf::test::NoticeRecorder notices;
    ClaimingTask owner(hash_);
    const auto closed_by_engine = [&](const std::string& from) {
        std::unique_ptr<QSocket> client = Connect(Handshake(hash_), from.c_str());
        const uint64_t until = kf::TickMilliseconds() + 2000;
        while (kf::TickMilliseconds() < until) {
            registry_.IncomingStep(owner, kf::TickMilliseconds());
            if (client->WaitReadable(0) && client->ReceiveBytes() < 0) {
                return true;
            }
            if (!owner.accepted.empty()) {
                return false;
            }
        }
        return false;
    };
    EXPECT_TRUE(closed_by_engine("127.0.0.4"));
    EXPECT_TRUE(closed_by_engine("127.0.0.4"));
    EXPECT_TRUE(owner.accepted.empty());
    EXPECT_EQ(registry_.PendingCount(), 0u);
    EXPECT_FALSE(closed_by_engine("127.0.0.2"));
    EXPECT_EQ(owner.accepted.size(), 1u);

    ASSERT_EQ(SetIpFilterFile(nullptr), 0);
    EXPECT_FALSE(closed_by_engine("127.0.0.4"));
    EXPECT_EQ(owner.accepted.size(), 2u);
    const std::vector<KfNotice> blocked = notices.OfKind(KF_NOTICE_BLOCKED);
    ASSERT_EQ(blocked.size(), 1u) << notices.Text();
    EXPECT_EQ(blocked[0].task, nullptr);
    EXPECT_STREQ(blocked[0].address, "127.0.0.4");
}

TEST(SwarmRegistryCalls, ListenAddressTakesDottedAddressesOnly) {
    EXPECT_EQ(SetListenAddress("127.0.0.3"), KF_OK);
    EXPECT_EQ(EngineGlobals::Instance().bind_ip, kf::ParseDottedAddress("127.0.0.3"));
    EXPECT_EQ(SetListenAddress("localhost"), KF_ERR_PARAM);
    EXPECT_EQ(SetListenAddress("300.1.1.1"), KF_ERR_PARAM);
    EXPECT_EQ(EngineGlobals::Instance().bind_ip, kf::ParseDottedAddress("127.0.0.3"));
    EXPECT_EQ(SetListenAddress("0.0.0.0"), KF_OK);
    EXPECT_EQ(EngineGlobals::Instance().bind_ip, 0u);
    EXPECT_EQ(SetListenAddress(""), KF_OK);
}

}  // namespace
