// libFuzzer target: the tunnelled sessions fed arbitrary datagrams of every kind (relays, connect
// answers, punches, session packets with a right checksum and a known handle) while one socket
// listens and one connects, with the passes run between them. Whatever arrives, nothing may
// crash, leak or grow beyond the table limits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/os/ByteOrder.h"
#include "engine/udp/TunnelSessions.h"

namespace {

using kf::TunnelHost;
using kf::TunnelSessions;
using kf::UdpWire;

const UdpWire::NodeId kOwn = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const UdpWire::NodeId kPeer = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
constexpr uint32_t kPeerIp = 0x0200007F;  // 127.0.0.2

class Host : public TunnelHost {
  public:
    Sent SendTo(std::span<const uint8_t> datagram, uint32_t, int32_t) override {
        last_sent.assign(datagram.begin(), datagram.end());
        return Sent::kSent;
    }
    bool SendToServer(std::span<const uint8_t> datagram) override {
        last_request.assign(datagram.begin(), datagram.end());
        return true;
    }
    uint64_t NowMs() const override { return now; }
    UdpWire::Identity OwnIdentity() const override { return UdpWire::IdentityOf(kOwn); }
    uint32_t LocalIp() const override { return 0x0100007F; }
    int32_t LocalPort() const override { return 4001; }
    uint32_t ExternalIp() const override { return 0x0100007F; }
    bool Suspended() const override { return false; }
    bool Running() const override { return true; }
    void WakeEndpoint() override {}

    uint64_t now = 1000000;
    std::vector<uint8_t> last_sent;
    std::vector<uint8_t> last_request;
};

// Handles and request sequences are random: copy the live ones in so that the input reaches the
// handshake and the established stream.
void PatchSession(std::vector<uint8_t>& datagram, uint8_t kind, const Host& host,
                  int32_t connector) {
    kf::StoreBe32(datagram.data(), static_cast<uint32_t>(datagram.size()));
    const UdpWire::Identity own = UdpWire::IdentityOf(kOwn);
    std::copy(own.begin(), own.end(), datagram.begin() + 20);
    if ((kind & 0x40) != 0) {
        const bool answer_to_us = (kind & 0x08) != 0 && host.last_sent.size() >= 64;
        const uint32_t handle = answer_to_us ? kf::LoadBe32(host.last_sent.data() + 8)
                                             : static_cast<uint32_t>(connector);
        kf::StoreBe32(datagram.data() + 8, handle);
        kf::StoreBe32(datagram.data() + 60, static_cast<uint32_t>(connector));
        std::copy(own.begin(), own.end(), datagram.begin() + 36);
    }
    const uint32_t handle = kf::LoadBe32(datagram.data() + 8);
    kf::StoreBe32(datagram.data() + 4, UdpWire::SessionChecksum(datagram, handle));
}

void PatchAnswer(std::vector<uint8_t>& datagram, const Host& host) {
    if (host.last_request.size() < 64) {
        return;
    }
    std::fill(datagram.begin(), datagram.begin() + 12, 0);
    std::copy(host.last_request.begin() + 12, host.last_request.begin() + 32,
              datagram.begin() + 12);
    kf::StoreBe32(datagram.data() + 12, UdpWire::kTypeConnectAnswer);
    std::copy(kPeer.begin(), kPeer.end(), datagram.begin() + 56);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host host;
    TunnelSessions sessions(host);
    const auto listener = static_cast<int32_t>(sessions.Socket().value);
    sessions.Bind(listener, {0, 6881, {}});
    sessions.Listen(listener, 8);
    const auto connector = static_cast<int32_t>(sessions.Socket().value);
    sessions.Connect(connector, {kPeerIp, 6881, kPeer});
    sessions.FlushConnectRequests();

    // Input: records of [kind byte][length byte][bytes]; session packets get this engine's
    // identity, a handle that names a live socket half the time, and their checksum.
    size_t at = 0;
    int records = 0;
    while (at + 2 <= size && records++ < 64) {
        const uint8_t kind = data[at];
        const size_t length = std::min<size_t>(data[at + 1] * 8u, size - at - 2);
        std::vector<uint8_t> datagram(data + at + 2, data + at + 2 + length);
        at += 2 + length;
        switch (kind % 6) {
            case 0:
                if (datagram.size() >= 64) {
                    PatchSession(datagram, kind, host, connector);
                }
                break;
            case 2:
                if (datagram.size() >= 64 && (kind & 0x40) != 0) {
                    PatchAnswer(datagram, host);
                }
                break;
            case 4:
                host.now += (kind >> 3) * 500u;
                sessions.RetransmitPass();
                sessions.AckPass();
                sessions.Housekeeping();
                sessions.FlushConnectRequests();
                continue;
            case 5: {
                uint8_t buffer[2048];
                sessions.Receive(connector, buffer);
                sessions.Send(connector, datagram);
                kf::SocketAddress peer;
                const auto accepted = sessions.Accept(listener, peer);
                if (accepted.Ok() && (kind & 0x80) != 0) {
                    sessions.Close(static_cast<int32_t>(accepted.value));
                }
                continue;
            }
            default:
                break;
        }
        const bool from_server = kind % 6 == 1 || kind % 6 == 2;
        const UdpWire::Kind classified = UdpWire::Classify(datagram, from_server, kOwn);
        if (classified == UdpWire::Kind::kRelay || classified == UdpWire::Kind::kConnectAnswer ||
            classified == UdpWire::Kind::kPunch || classified == UdpWire::Kind::kSession) {
            sessions.OnDatagram(classified, datagram, (kind & 0x20) ? kPeerIp : 0x0300007F,
                                (kind & 0x10) ? 4002 : 4003);
        }
    }
    sessions.DropSessions();
    sessions.Close(connector);
    sessions.Close(listener);
    return 0;
}
