#include "engine/peers/TBTPeer.h"

#include <algorithm>
#include <cstring>

namespace kf {
namespace {

constexpr int32_t kUdpWeightLimit = 34;
constexpr int32_t kSmallSwarm = 32;
constexpr int32_t kIdleAverage = 18;  // bytes per second since the connection completed

bool HasUdpMark(const TPeerId::PeerIdBytes& id) {
    return id[16] == 'U' && id[17] == 'D' && id[18] == 'P';
}

}  // namespace

TBTPeer::TBTPeer(const TaskFaces& task) : TPeerObject(PeerKind::BtNode, task) {}

TBTPeer::~TBTPeer() {
    TBTPeer::Reset();
}

void TBTPeer::Reset() {
    if (wrapper_unanswered_ && Source() != nullptr) {
        Source()->wrapper_refused = true;
    }
    wrapper_unanswered_ = false;
    TPeerObject::Reset();
    exchange_ = Exchange{};
    received_mark_ = 0;
    send_skip_ = 0;
    wrapped_ = false;
    handshake_sent_ = false;
    fetching_stopped_ = false;
    connect_started_ = 0;
    established_at_ = 0;
    quick_since_ms_ = 0;
    quick_since_bytes_ = 0;
    quick_rate_ = 0;
    send_batch_.clear();
    cancelled_.clear();
    work_.has.clear();
    work_.address = 0;
    work_.last_announced = -1;
    work_.nothing_to_pick = false;
    work_.nothing_to_pick_since = 0;
    work_.nothing_to_pick_tried = 0;
}

// --- Transport and connection set-up -------------------------------------------------------

bool TBTPeer::ChooseUdpTransport(const TPeerId& source, bool usable, bool prefer_udp,
                                 int32_t candidate_count) {
    if (!usable || source.weight > kUdpWeightLimit) {
        return false;
    }
    if (prefer_udp) {
        return source.attempts % 3 == 0;
    }
    return (HasUdpMark(source.peer_id) || candidate_count <= kSmallSwarm) && source.attempts >= 2 &&
           source.attempts % 2 == 0;
}

QSocket::NodeId TBTPeer::UdpNodeId(const TPeerId& source) {
    const TPeerId::PeerIdBytes& id = source.peer_id;
    uint8_t address[4];
    std::memcpy(address, &source.ip, sizeof(address));
    const bool synthesized =
        std::all_of(id.begin(), id.begin() + 14, [](uint8_t b) { return b == 0; }) &&
        std::equal(address, address + 4, id.begin() + 14);
    QSocket::NodeId node{};
    std::copy_n(id.begin() + (synthesized ? 12 : 8), node.size(), node.begin());
    return node;
}

bool TBTPeer::Attach(const RefPtr<TPeerId>& source) {
    Reset();
    if (!TPeerObject::Attach(source)) {
        return false;
    }
    MutableActivity().incoming = false;
    const bool udp = ChooseUdpTransport(*source, Swarm().UdpTransportUsable(),
                                        Swarm().PreferUdpTransport(), Swarm().CandidateCount());
    const QSocket::NodeId node = UdpNodeId(*source);
    connect_started_ = Swarm().CurrentTime();
    QSocket& conn = EnsureConnection();
    const std::optional<QProxyConfig> proxy = Swarm().TaskProxy();
    SetState(conn.ConnectTo(source->ip, source->port, false, proxy ? &*proxy : nullptr,
                            Swarm().LocalBindAddress(), udp ? &node : nullptr)
                 ? kConnecting
                 : kIdle);
    FitReceiveBufferToLimit();
    return IsConnected();
}

bool TBTPeer::AcceptConnection(std::unique_ptr<QSocket> connection, bool wrapped) {
    if (!AttachIncoming(std::move(connection))) {
        return false;
    }
    wrapped_ = wrapped;
    connect_started_ = Swarm().CurrentTime();
    return true;
}

int64_t TBTPeer::SecondsConnected() {
    return established_at_ > 0 ? Swarm().CurrentTime() - established_at_ : 0;
}

// --- Tests of the task --------------------------------------------------------------------

bool TBTPeer::IsIdle() {
    if (!Swarm().P2PEnabled()) {
        return true;
    }
    const int64_t seconds = SecondsConnected();
    if (seconds <= kIdleAfter || !IsConnected()) {
        return false;
    }
    const QSocket& conn = *Connection();
    if (Content().IsComplete()) {
        return GetRates().upload_rate < 1 &&
               static_cast<int64_t>(conn.SentTotal()) / seconds <= kIdleAverage;
    }
    return GetRates().download_rate < 1 &&
           static_cast<int64_t>(conn.ReceivedTotal()) / seconds <= kIdleAverage;
}

bool TBTPeer::IsUseless() {
    return work_.nothing_to_pick &&
           Swarm().CurrentTime() - work_.nothing_to_pick_since > kUselessAfter;
}

bool TBTPeer::IsSeedTooLong() {
    return exchange_.seed_since > 0 &&
           Swarm().CurrentTime() - exchange_.seed_since > kSeedTooLongAfter;
}

void TBTPeer::NoteSeed() {
    if (exchange_.seed_since > 0) {
        return;
    }
    if (!IsConnected() || !Content().ContentSizeKnown()) {
        return;
    }
    const int32_t count = Content().PieceCount();
    if (count <= 0) {
        return;
    }
    for (int32_t piece = 0; piece < count; ++piece) {
        if (!work_.Has(piece)) {
            return;
        }
    }
    exchange_.seed_since = std::max<int64_t>(Swarm().CurrentTime(), 1);
}

int32_t TBTPeer::RemoteRate() {
    const int32_t growth = exchange_.remote_pieces - exchange_.remote_pieces_at_bitfield;
    const int64_t seconds = SecondsConnected();
    if (growth <= 4 || seconds <= 0) {
        return 0;
    }
    return static_cast<int32_t>(static_cast<int64_t>(growth) * (Content().PieceLength() / 1024) /
                                seconds);
}

}  // namespace kf
