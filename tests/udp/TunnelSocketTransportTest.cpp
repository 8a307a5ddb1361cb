// Two UDP endpoints on loopback, registered with a real kf-rendezvous, open a tunnel through the
// socket transport: the connector knows the listener by address only, the wake handles tell a
// waiting thread about the connection and the data and stay quiet while the tunnel idles.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/os/Tick.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/TunnelSocketTransport.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPorts.h"
#include "support/RendezvousProcess.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using Result = SocketTransport::Result;
using WaitFor = SocketTransport::WaitFor;

// Whether the handle's wake handle signals within `ms`.
bool Wakes(SocketTransport& transport, int32_t handle, bool want_write, int ms) {
    const SocketTransport::PollTarget target = transport.PollFor(handle, want_write);
    pollfd fd{target.fd, target.events, 0};
    return target.fd >= 0 && poll(&fd, 1, ms) == 1;
}

struct Side {
    Side(const std::string& address, uint8_t id_byte) : ip(ParseDottedAddress(address)) {
        port = test::FreeTcpUdpPort(address);
        config.local_port = port;
        config.bind_ip = ip;
        config.node_id.fill(id_byte);
    }
    uint32_t ip;
    int32_t port;
    QUInternalServer::Config config;
    QUInternalServer endpoint;
    TunnelSocketTransport transport{endpoint};
};

TEST(TunnelSocketTransport, ConnectsByAddressCarriesDataAndWakesOnlyWhenSomethingHappens) {
    test::TempDir dir;
    const int32_t server_port = test::FreeTcpUdpPort("127.0.0.1");
    test::ChildProcess server;
    ASSERT_TRUE(test::StartRendezvous(server, "127.0.0.1", server_port, dir / "rendezvous.log"));
    Side a("127.0.0.101", 0xA1);
    Side b("127.0.0.102", 0xB2);
    for (Side* side : {&a, &b}) {
        ASSERT_EQ(side->endpoint.Start(side->config), 0);
        ASSERT_TRUE(side->endpoint.SetRendezvous("127.0.0.1", server_port));
    }
    const uint64_t until = TickMilliseconds() + 5000;
    while ((!IsValidAddress(a.endpoint.ExternalAddress()) ||
            !IsValidAddress(b.endpoint.ExternalAddress())) &&
           TickMilliseconds() < until) {
        poll(nullptr, 0, 10);
    }
    ASSERT_EQ(b.endpoint.ExternalAddress(), b.ip);

    const auto listener = static_cast<int32_t>(b.transport.Open().value);
    ASSERT_TRUE(b.transport.Bind(listener, {0, b.port, b.config.node_id}).Ok());
    ASSERT_TRUE(b.transport.Listen(listener, 8).Ok());

    // Known by address only, as a tracker lists a peer: 0, 0, IPv4, port.
    SocketAddress remote{b.ip, b.port, {}};
    std::memcpy(remote.node_id.data() + 2, &b.ip, 4);
    remote.node_id[6] = static_cast<uint8_t>(b.port >> 8);
    remote.node_id[7] = static_cast<uint8_t>(b.port);
    const auto client = static_cast<int32_t>(a.transport.Open().value);
    EXPECT_TRUE(a.transport.Connect(client, remote).WouldBlock());
    ASSERT_TRUE(Wakes(a.transport, client, true, 5000));
    ASSERT_EQ(a.transport.Wait(client, WaitFor::kWritable, 0), 1);
    EXPECT_EQ(a.transport.PendingError(client), 0);

    ASSERT_EQ(b.transport.Wait(listener, WaitFor::kReadable, 5000), 1);
    SocketAddress peer;
    const Result accepted = b.transport.Accept(listener, peer);
    ASSERT_TRUE(accepted.Ok()) << accepted.error;
    const auto served = static_cast<int32_t>(accepted.value);
    EXPECT_EQ(peer.ip, a.ip);
    EXPECT_EQ(peer.node_id, a.config.node_id);

    // An idle tunnel leaves a waiting reader asleep, and its endpoint off the 20 ms passes (75
    // wake-ups in this time); the handshake's last passes and the rendezvous keep-alive may still
    // fall inside it, more of them on a slow (sanitised, loaded) machine.
    const uint64_t wakeups = b.endpoint.Wakeups();
    EXPECT_FALSE(Wakes(b.transport, served, false, 1500));
    EXPECT_LE(b.endpoint.Wakeups() - wakeups, 25u);

    std::string sent(200000, '\0');
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    size_t offset = 0;
    std::string got;
    std::vector<uint8_t> buffer(16384);
    const uint64_t deadline = TickMilliseconds() + 20000;
    while (got.size() < sent.size() && TickMilliseconds() < deadline) {
        if (offset < sent.size()) {
            const Result written = a.transport.Send(
                client,
                {reinterpret_cast<const uint8_t*>(sent.data()) + offset, sent.size() - offset});
            offset += written.Ok() ? static_cast<size_t>(written.value) : 0;
        }
        if (Wakes(b.transport, served, false, 50)) {
            for (Result read = b.transport.Receive(served, buffer); read.Ok() && read.value > 0;
                 read = b.transport.Receive(served, buffer)) {
                got.append(reinterpret_cast<const char*>(buffer.data()),
                           static_cast<size_t>(read.value));
            }
        }
    }
    EXPECT_EQ(got, sent);

    // The peer's close reaches the reader as a failed socket.
    a.transport.Close(client);
    EXPECT_EQ(b.transport.Wait(served, WaitFor::kReadable, 3000), 1);
    EXPECT_EQ(b.transport.Receive(served, buffer).error, SocketTransport::kErrNotConnected);
    b.transport.Close(served);
    b.transport.Close(listener);
    a.endpoint.Stop();
    b.endpoint.Stop();
}

}  // namespace
}  // namespace kf
