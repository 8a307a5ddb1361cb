// libFuzzer target: the tunnelled sessions fed arbitrary datagrams of every kind (relays, connect
// answers, punches, session packets) while one socket listens, one connects and two streams are
// established, with the passes and the socket calls run between them. Whatever arrives, nothing
// may crash, leak or grow beyond the table limits.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/os/ByteOrder.h"
#include "engine/udp/TunnelPacket.h"
#include "engine/udp/TunnelSessions.h"

namespace {

using kf::TunnelHost;
using kf::TunnelPacket;
using kf::TunnelSessions;
using kf::UdpWire;

const UdpWire::NodeId kOwn = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const UdpWire::NodeId kPeer = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
constexpr uint32_t kPeerIp = 0x0200007F;  // 127.0.0.2
constexpr int32_t kPeerPort = 4002;
constexpr uint32_t kService = 6881;
constexpr std::array<uint32_t, 8> kTypes = {
    TunnelPacket::kSyn,   TunnelPacket::kSynAck,    TunnelPacket::kHandshakeAck,
    TunnelPacket::kData,  TunnelPacket::kWindowAck, TunnelPacket::kKeepAlive,
    TunnelPacket::kClose, TunnelPacket::kReject,
};

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

void Deliver(TunnelSessions& sessions, const TunnelPacket::Header& header,
             const TunnelPacket::Body& body) {
    sessions.OnDatagram(UdpWire::Kind::kSession, TunnelPacket::Build(header, body), kPeerIp,
                        kPeerPort);
}

// A connected socket and an accepted one, both with the peer at kPeerIp:kPeerPort. Handles are
// random: they are read back from what the sessions sent.
struct Live {
    int32_t listener = 0;
    int32_t connector = 0;
    int32_t accepted = 0;
    uint32_t nonce = 0;
};

Live Establish(TunnelSessions& sessions, Host& host) {
    Live live;
    const UdpWire::Identity own = UdpWire::IdentityOf(kOwn);
    live.listener = static_cast<int32_t>(sessions.Socket().value);
    sessions.Bind(live.listener, {0, kService, {}});
    sessions.Listen(live.listener, 8);
    live.connector = static_cast<int32_t>(sessions.Socket().value);
    sessions.Connect(live.connector, {kPeerIp, kService, kPeer});
    sessions.FlushConnectRequests();
    if (host.last_request.size() >= 64) {
        UdpWire::ConnectAnswer answer{own, kf::LoadBe32(host.last_request.data() + 28), {}};
        answer.entries.push_back({kPeerIp, kPeerPort, kPeer});
        sessions.OnDatagram(UdpWire::Kind::kConnectAnswer, UdpWire::BuildConnectAnswer(answer), 0,
                            82);
    }
    if (host.last_sent.size() >= 64) {
        live.nonce = kf::LoadBe32(host.last_sent.data() + 60);
        const TunnelPacket::SynAck answer{kPeerPort, own, kService, live.nonce,
                                          static_cast<uint32_t>(live.connector)};
        Deliver(sessions, {0x1234, 1, TunnelPacket::kSynAck, own},
                TunnelPacket::SynAckBody(answer));
    }
    const TunnelPacket::Syn syn{4001, UdpWire::IdentityOf(kPeer), kService, 77};
    Deliver(sessions, {0x5678, 1, TunnelPacket::kSyn, own}, TunnelPacket::SynBody(syn));
    if (host.last_sent.size() >= 64) {
        const uint32_t pending = kf::LoadBe32(host.last_sent.data() + 8);
        Deliver(sessions, {pending, 1, TunnelPacket::kHandshakeAck, own},
                TunnelPacket::HandshakeAckBody(77));
    }
    kf::SocketAddress peer;
    live.accepted = static_cast<int32_t>(sessions.Accept(live.listener, peer).value);
    return live;
}

// Session packets get this engine's identity, a live handle, often a known type and a matching
// DATA length, and their checksum; everything else stays as the input has it.
void PatchSession(std::vector<uint8_t>& datagram, uint8_t kind, uint8_t extra, const Live& live) {
    kf::StoreBe32(datagram.data(), static_cast<uint32_t>(datagram.size()));
    const UdpWire::Identity own = UdpWire::IdentityOf(kOwn);
    std::copy(own.begin(), own.end(), datagram.begin() + 20);
    if ((kind & 0x40) != 0) {
        const int32_t handle = (kind & 0x08) != 0 ? live.accepted : live.connector;
        kf::StoreBe32(datagram.data() + 8, static_cast<uint32_t>(handle));
    }
    if ((kind & 0x80) != 0) {
        const uint32_t type = kTypes[extra % kTypes.size()];
        kf::StoreBe32(datagram.data() + 16, type);
        if (type == TunnelPacket::kData) {
            kf::StoreBe32(datagram.data() + 32, static_cast<uint32_t>(datagram.size() - 64));
            kf::StoreBe32(datagram.data() + 36, extra / 8u);
        }
        if ((extra & 0x80) != 0) {
            kf::StoreBe32(datagram.data() + 32, kService);
            kf::StoreBe32(datagram.data() + 36, 0x1234);
            kf::StoreBe32(datagram.data() + 40, live.nonce);
        }
    }
    const uint32_t handle = kf::LoadBe32(datagram.data() + 8);
    kf::StoreBe32(datagram.data() + 4, UdpWire::SessionChecksum(datagram, handle));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host host;
    TunnelSessions sessions(host);
    const Live live = Establish(sessions, host);

    // Input: records of [kind][extra][length / 8][bytes].
    size_t at = 0;
    int records = 0;
    while (at + 3 <= size && records++ < 64) {
        const uint8_t kind = data[at];
        const uint8_t extra = data[at + 1];
        const size_t length = std::min<size_t>(data[at + 2] * 8u, size - at - 3);
        std::vector<uint8_t> datagram(data + at + 3, data + at + 3 + length);
        at += 3 + length;
        switch (kind % 6) {
            case 0:
                if (datagram.size() >= 64) {
                    PatchSession(datagram, kind, extra, live);
                }
                break;
            case 4:
                host.now += extra * 100u;
                sessions.RetransmitPass();
                sessions.AckPass();
                sessions.Housekeeping();
                sessions.FlushConnectRequests();
                continue;
            case 5: {
                const int32_t handle = (kind & 0x08) != 0 ? live.accepted : live.connector;
                std::array<uint8_t, 2048> buffer{};
                sessions.Receive(handle, std::span(buffer).first(extra * 8u));
                sessions.Send(handle, datagram);
                sessions.WatchWritable(handle, (kind & 0x10) != 0);
                kf::SocketAddress peer;
                const auto accepted = sessions.Accept(live.listener, peer);
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
                                (kind & 0x10) ? kPeerPort : 4003);
        }
    }
    sessions.DropSessions();
    sessions.Close(live.connector);
    sessions.Close(live.accepted);
    sessions.Close(live.listener);
    return 0;
}
