// TWorkWithPeers: opening connections, outgoing to the candidates and incoming from the engine's
// listener; the IP filter they pass; the stopped announces of a task that leaves.

#include <algorithm>
#include <string>

#include "engine/base/EngineGlobals.h"
#include "engine/net/CIPFilterHolder.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/os/Tick.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/peers/TrackerRequest.h"
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
    if (FilterBlocks(record)) {
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

bool TWorkWithPeers::IpFilterBlocks(const TPeerId& record) const {
    return !record.ConnectsByName() && IsValidAddress(record.ip) && ip_filter_.IsBlocked(record.ip);
}

bool TWorkWithPeers::FilterBlocks(const TPeerId& record) {
    if (!IpFilterBlocks(record)) {
        return false;
    }
    NoteBlocked(record.ip, record.port);
    return true;
}

void TWorkWithPeers::NoteBlocked(uint32_t ip, int32_t port) {
    if (blocked_noticed_.size() >= kMaxNoticedBlocked) {
        blocked_noticed_.clear();
    }
    if (blocked_noticed_.insert(ip).second) {
        Notice(NoticeKind::kBlocked, DottedText(ip) + ":" + std::to_string(port), 0,
               "the IP filter blocks the address");
    }
}

void TWorkWithPeers::TakeIpFilter() {
    LoadIpFilter(false);
    ip_filter_generation_ = GlobalIpFilter().CopyTo(ip_filter_);
    blocked_noticed_.clear();
}

void TWorkWithPeers::RefreshIpFilter() {
    if (GlobalIpFilter().Generation() == ip_filter_generation_) {
        return;
    }
    ip_filter_generation_ = GlobalIpFilter().CopyTo(ip_filter_);
    std::vector<RefPtr<TPeerObject>> blocked;
    for (const RefPtr<TPeerObject>& peer : active_) {
        const TPeerId* source = peer->Source();
        uint32_t ip = kNoAddress;
        int32_t port = 0;
        if (source != nullptr && !source->ConnectsByName()) {
            ip = source->ip;
            port = source->port;
        } else if (peer->GetActivity().incoming && peer->Connection() != nullptr) {
            ip = peer->Connection()->RemoteIp();
            port = peer->Connection()->RemotePort();
        }
        if (IsValidAddress(ip) && ip_filter_.IsBlocked(ip)) {
            NoteBlocked(ip, port);
            blocked.push_back(peer);
        }
    }
    for (const RefPtr<TPeerObject>& peer : blocked) {
        RetirePeer(peer, -1);
    }
}

void TWorkWithPeers::AnnounceStopped() {
    std::vector<RefPtr<TPeerObject>> leaving;
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->kind != PeerKind::Tracker || !record->announced || IpFilterBlocks(*record)) {
            continue;
        }
        record->announced = false;
        RefPtr<TPeerObject> peer = MakePeer(PeerKind::Tracker);
        if (!peer) {
            continue;
        }
        static_cast<TTrackerPeer&>(*peer).SetEvent(TrackerRequest::kEventStopped);
        ++record->connections;
        if (peer->Attach(record)) {
            leaving.push_back(std::move(peer));
            continue;
        }
        if (peer->Source() == nullptr) {
            --record->connections;  // the attach never took the record
        }
        peer->Reset();
    }
    const uint64_t deadline = TickMilliseconds() + kStoppedAnnounceMs;
    SocketWaitSet wait_set;
    while (!leaving.empty()) {
        // A false pump: the announce has left, or it cannot.
        std::erase_if(leaving, [](const RefPtr<TPeerObject>& peer) {
            if (peer->Pump()) {
                return false;
            }
            peer->Reset();
            return true;
        });
        const uint64_t now = TickMilliseconds();
        if (leaving.empty() || now >= deadline) {
            break;
        }
        wait_set.Clear();
        for (const RefPtr<TPeerObject>& peer : leaving) {
            const auto& tracker = static_cast<const TTrackerPeer&>(*peer);
            if (tracker.UdpSocket().IsOpen()) {
                wait_set.AddHandle(tracker.UdpSocket().Handle(), false);
            } else if (const QSocket* conn = tracker.Connection(); conn != nullptr) {
                // Writable matters while connecting or with bytes the socket may take now; a
                // proxy's reply is waited for as readable.
                wait_set.Add(*conn,
                             !conn->Connected() || (conn->ProxyDone() && conn->QueuedLength() > 0));
            }
        }
        wait_set.Wait(static_cast<int32_t>(
            std::min<uint64_t>(deadline - now, static_cast<uint64_t>(kStoppedAnnounceWaitMs))));
    }
    for (const RefPtr<TPeerObject>& peer : leaving) {
        peer->Reset();
    }
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
            // other: without the back-off it would be tried again on every pass. A server with
            // nothing left to take at the moment has not failed and is asked again later.
            if (peer->Status() != TPeerObject::kStatusFinished) {
                if (NoticesWanted()) {
                    NoticeRetired(*peer, "could not connect");
                }
                Penalize(record, *peer, 1);
            }
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
    return record.IsServerSource() && !FilterBlocks(record) && Connect(record, 0, 1) > 0;
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
        DropPeers(KindBits(PeerKind::BtNode) | KindBits(PeerKind::Tracker), 2, false,
                  "peer-to-peer is switched off");
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
        if (connection->UsesUdpTransport() && !WantsMorePeers()) {
            return false;
        }
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
