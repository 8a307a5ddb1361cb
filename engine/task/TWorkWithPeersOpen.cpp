// TWorkWithPeers: opening connections, outgoing to the candidates and incoming from the engine's
// listener.

#include <algorithm>

#include "engine/base/EngineGlobals.h"
#include "engine/os/Tick.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/task/HalfOpenRoom.h"
#include "engine/task/TWorkWithPeers.h"

namespace kf {
namespace {

constexpr int32_t kIdleRoundsBeforeRefill = 9;

}  // namespace

bool TWorkWithPeers::CanConnect(TPeerId& record) {
    if (!record.IsValid() || (record.kind == PeerKind::BtNode && IsBanned(record.ip)) ||
        !CandidateList::Eligible(record, SmoothedSpeed(), TaskNow())) {
        return false;
    }
    if (record.IsServerSource()) {
        return !ContentComplete();
    }
    if (record.kind == PeerKind::Tracker) {
        return true;
    }
    return std::none_of(active_.begin(), active_.end(), [&record](const RefPtr<TPeerObject>& peer) {
        const TPeerId* other = peer->Source();
        return peer->Type() == PeerKind::BtNode && other != nullptr && other->ip == record.ip &&
               (other->port == record.port || other->peer_id == record.peer_id);
    });
}

RefPtr<TPeerObject> TWorkWithPeers::CreatePeer(PeerKind kind) {
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->Type() == kind) {
            RefPtr<TPeerObject> peer = *it;
            idle_.erase(it);
            peer->Reset();
            return peer;
        }
    }
    RefPtr<TPeerObject> peer = MakePeer(kind);
    if (peer) {
        peer->Reset();
    }
    return peer;
}

int32_t TWorkWithPeers::Connect(TPeerId& record, int32_t opened, int32_t room) {
    const bool server = record.IsServerSource();
    const bool to_memory = record.HasUrlInfo() && record.UrlInfo().fetch_to_memory;
    const int32_t allowed =
        server && !to_memory ? std::max(record.max_connections, Settings().per_source_connections)
                             : record.max_connections;
    int32_t count = 0;
    while (record.connections < allowed) {
        RefPtr<TPeerObject> peer = CreatePeer(record.kind);
        if (!peer) {
            break;
        }
        ++record.connections;
        ++record.reconnects;
        peer->SetSerial(++object_serial_);
        if (!peer->Attach(RefPtr<TPeerId>::Share(&record))) {
            if (peer->Source() == nullptr) {
                --record.connections;  // the attach never took the record
            }
            // A connection refused at once (by the proxy, say) is a failed attempt like any
            // other: without the back-off it would be tried again on every pass.
            Penalize(record, *peer, 1);
            peer->Reset();
            idle_.push_back(std::move(peer));
            break;
        }
        active_.push_back(std::move(peer));
        record.last_attach_time = TaskNow();
        ++count;
        if (!server || record.UrlInfo().content_length <= 0 || opened + count >= room) {
            break;
        }
    }
    return count;
}

bool TWorkWithPeers::ConnectNow(TPeerId& record) {
    return record.IsServerSource() && Connect(record, 0, 1) > 0;
}

bool TWorkWithPeers::ServerIsActive(const TPeerObject& peer) const {
    const TPeerId* source = peer.Source();
    return peer.IsConnected() && source != nullptr && source->IsServerSource() &&
           !(source->HasUrlInfo() && source->UrlInfo().redirected);
}

int32_t TWorkWithPeers::LiveServerConnections() const {
    return static_cast<int32_t>(
        std::count_if(active_.begin(), active_.end(),
                      [this](const RefPtr<TPeerObject>& peer) { return ServerIsActive(*peer); }));
}

int32_t TWorkWithPeers::LiveBtConnections() const {
    return static_cast<int32_t>(
        std::count_if(active_.begin(), active_.end(), [](const RefPtr<TPeerObject>& peer) {
            return peer->Type() == PeerKind::BtNode && peer->IsConnected();
        }));
}

void TWorkWithPeers::OpenServerConnections() {
    const int32_t limit = SourceConnectionLimit();
    const int32_t live = LiveServerConnections();
    int32_t opened = 0;
    if (live < limit) {
        const int32_t room = limit - live;
        // Connecting may add fan-out records; walk a snapshot.
        const std::vector<RefPtr<TPeerId>> records = candidates_.records();
        for (const RefPtr<TPeerId>& record : records) {
            if (opened >= room) {
                break;
            }
            if (!record->IsServerSource()) {
                continue;
            }
            if (CanConnect(*record)) {
                opened += Connect(*record, opened, room);
            } else {
                ++record->attempts;
            }
        }
    }
    if (opened > 0) {
        idle_rounds_ = 0;
    } else if (++idle_rounds_ > kIdleRoundsBeforeRefill) {
        AddSourceLines(true, false);
        AddMirrorCandidates(std::max(limit - live, 1), true);
        idle_rounds_ = 0;
    }
    candidates_.Sort();
}

void TWorkWithPeers::OpenPeerConnections() {
    if (!EngineGlobals::Instance().p2p_enabled) {
        DropPeers(KindBits(PeerKind::BtNode) | KindBits(PeerKind::Tracker), 2, false);
        return;
    }
    // A complete task still announces itself, so that others find it, but connects to no peer.
    const bool want_peers = !ContentComplete();
    const int32_t limit = BtPeerLimit();
    int32_t live = LiveBtConnections();
    const std::vector<RefPtr<TPeerId>> records = candidates_.records();
    for (const RefPtr<TPeerId>& record : records) {
        if (!EngineGlobals::Instance().p2p_enabled) {
            break;
        }
        if (record->kind == PeerKind::Tracker) {
            if (CanConnect(*record)) {
                Connect(*record, 0, 1);
            }
            continue;
        }
        if (!want_peers || live >= limit || record->kind != PeerKind::BtNode ||
            (record->HasUrlInfo() &&
             (record->UrlInfo().fetch_to_memory || record->UrlInfo().redirected))) {
            continue;
        }
        if (CanConnect(*record)) {
            live += Connect(*record, 0, 1);
        } else {
            ++record->attempts;
        }
    }
}

bool TWorkWithPeers::IsOwnHandshake(const QSocket& connection) {
    if (!identity_.prepared()) {
        return false;
    }
    std::span<const uint8_t> bytes = connection.Received();
    const BtWire::WrapperScan wrapper = BtWire::ScanWrapper(bytes);
    if (wrapper.result == BtWire::Wrapper::kIncomplete) {
        return false;
    }
    return BtWire::HandshakeMatches(bytes.subspan(wrapper.header_length), identity_.info_hash());
}

bool TWorkWithPeers::AcceptIncoming(std::unique_ptr<QSocket> connection) {
    if (!connection || !PieceMapReady() || IsBanned(connection->RemoteIp())) {
        return false;
    }
    const auto talking = std::count_if(active_.begin(), active_.end(), [](const auto& peer) {
        return peer->Connection() != nullptr && peer->Connection()->ReceivedTotal() > 0;
    });
    if (static_cast<int32_t>(active_.size()) >= peer_limit_ + 4 && talking >= peer_limit_) {
        return false;
    }
    std::span<const uint8_t> bytes = connection->Received();
    bytes = bytes.subspan(BtWire::ScanWrapper(bytes).header_length);
    if (bytes.size() >= BtWire::kHandshakeLength) {
        // Ourselves (a tracker or a peer gave out our own address), or a second connection of
        // a peer we already talk to.
        const BtWire::Hash20 remote_id = BtWire::PeerIdOf(bytes);
        if (remote_id == identity_.peer_id()) {
            return false;
        }
        const uint32_t ip = connection->RemoteIp();
        for (const RefPtr<TPeerObject>& peer : active_) {
            const TPeerId* source = peer->Source();
            if (peer->Type() == PeerKind::BtNode && peer->IsEstablished() && source != nullptr &&
                source->ip == ip && source->peer_id == remote_id) {
                return false;
            }
        }
    }
    RefPtr<TPeerObject> peer = CreatePeer(PeerKind::BtNode);
    if (!peer) {
        return false;
    }
    // The peer answers a wrapped handshake in kind; it reads the handshake after the header.
    const BtWire::WrapperScan wrapper = BtWire::ScanWrapper(connection->Received());
    const bool wrapped = wrapper.result == BtWire::Wrapper::kStripped;
    if (wrapped) {
        connection->Consume(static_cast<int32_t>(wrapper.header_length));
    }
    peer->SetSerial(++object_serial_);
    if (!static_cast<TBTPeer&>(*peer).AcceptConnection(std::move(connection), wrapped)) {
        peer->Reset();
        idle_.push_back(std::move(peer));
        return false;
    }
    active_.push_back(std::move(peer));
    return true;
}

int32_t TWorkWithPeers::BtHalfOpenRoom() const {
    const auto connecting = std::count_if(active_.begin(), active_.end(), [](const auto& peer) {
        const bool connected_bt = peer->Type() == PeerKind::BtNode && peer->IsEstablished();
        return !connected_bt &&
               (peer->Connection() == nullptr || peer->Connection()->SentTotal() == 0);
    });
    const EngineGlobals& globals = EngineGlobals::Instance();
    return HalfOpenRoom(globals.half_open_limit, peer_limit_, static_cast<int32_t>(active_.size()),
                        static_cast<int32_t>(connecting), globals.reachable);
}

void TWorkWithPeers::IncomingStep() {
    if (EngineGlobals::Instance().initialised) {
        swarm_.IncomingStep(*this, TickMilliseconds());
    }
}

}  // namespace kf
