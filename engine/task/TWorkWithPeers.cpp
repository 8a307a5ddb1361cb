#include "engine/task/TWorkWithPeers.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "engine/base/EngineGlobals.h"
#include "engine/os/Tick.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/task/HalfOpenRoom.h"

namespace kf {
namespace {

constexpr int32_t kIdleRoundsBeforeRefill = 9;
constexpr int32_t kSlowSourceBytes = 1024;
constexpr int32_t kSlowSourceSeconds = 15;
constexpr int64_t kSourceRebalanceSeconds = 45;
constexpr int64_t kMirrorRebalanceSeconds = 31;
constexpr int32_t kBadSourcePieces = 32;
constexpr int32_t kLowestDroppedWeight = 20;
constexpr int32_t kWeightNeedsRoom = 34;
constexpr int32_t kBtPenaltyCandidates = 400;
constexpr int32_t kCompleteExtraPenalty = 20;
constexpr int32_t kStallChecksToDrop = 5;
constexpr int32_t kStallChecksToChoke = 4;
constexpr int32_t kTrimDropPenalty = 6;

bool KindIn(int32_t mask, PeerKind kind) {
    return (mask & KindBits(kind)) != 0;
}

}  // namespace

TWorkWithPeers::TWorkWithPeers(SwarmRegistry& swarm)
    : swarm_(swarm), candidates_(static_cast<uint32_t>(time(nullptr))) {}

TWorkWithPeers::~TWorkWithPeers() {
    StopThread();
    for (const RefPtr<TPeerObject>& peer : active_) {
        peer->Reset();
    }
}

void TWorkWithPeers::SetConnectionLimits(int32_t source_connections, int32_t bt_peers) {
    QTMutexLock hold(TaskLock());
    source_connection_limit_ = source_connections;
    bt_peer_limit_ = bt_peers;
}

int32_t TWorkWithPeers::SourceConnectionLimit() {
    QTMutexLock hold(TaskLock());
    return source_connection_limit_;
}

int32_t TWorkWithPeers::BtPeerLimit() {
    QTMutexLock hold(TaskLock());
    return bt_peer_limit_;
}

void TWorkWithPeers::SetPeerProxy(std::optional<QProxyConfig> proxy) {
    QTMutexLock hold(TaskLock());
    peer_proxy_ = std::move(proxy);
}

std::optional<QProxyConfig> TWorkWithPeers::PeerProxy() {
    QTMutexLock hold(TaskLock());
    return peer_proxy_;
}

bool TWorkWithPeers::ProxyResolvesNames() {
    return EffectiveProxyConfig(PeerProxy()).ResolvesNames();
}

bool TWorkWithPeers::AddSource(const TPeerId& record, bool from_lan, bool replace_id) {
    CandidateList::Identity identity;
    identity.swarm_task = Kind() != TaskKind::kHttp;
    identity.own_peer_id = identity_.peer_id();
    identity.listen_ip = swarm_.ListenIp();
    identity.listen_port = swarm_.ListenPort();
    const bool added = candidates_.Add(record, from_lan, replace_id, identity);
    candidate_added_ = candidate_added_ || added;
    return added;
}

void TWorkWithPeers::RemoveSource(const TPeerId& record) {
    if (TPeerId* stored = candidates_.Find(record)) {
        candidates_.Remove(stored);
    }
}

void TWorkWithPeers::AddRecordFromLine(SourceEntry& line, bool connect) {
    if (line.text.empty()) {
        return;
    }
    auto record = RefPtr<TPeerId>::Make(line.text);
    const bool parsed = record->ParseSourceAddress(ProxyResolvesNames());
    const bool torrent_line = (line.mark & SourceEntry::kTorrentLine) != 0;
    if (torrent_line) {
        record->UrlInfo().fetch_to_memory = true;
        record->max_connections = 1;
        record->role = TPeerId::kRoleTorrentLine;
        line.mark = SourceEntry::kTorrentLineUsed;
    } else if (line.mark == SourceEntry::kFresh) {
        line.mark = SourceEntry::kUsed;
    }
    if (!parsed) {
        if (record->unresolvable) {
            ReportUnresolvable();
        }
        return;
    }
    record->weight = TPeerId::kWeightTextSource;
    AddSource(*record, false, false);
    if (connect && record->IsServerSource()) {
        if (TPeerId* stored = candidates_.Find(*record)) {
            ConnectNow(*stored);
        }
    }
}

void TWorkWithPeers::AddSourceLines(bool from_saved, bool connect) {
    if (!lines_saved_) {
        saved_lines_ = sources_;
        lines_saved_ = true;
    }
    if (from_saved) {
        // The saved lines bring back sources that were dropped; a torrent line is fetched again
        // only while the task has no piece map.
        std::vector<SourceEntry> lines = saved_lines_;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if ((it->mark & SourceEntry::kTorrentLine) != 0 && PieceMapReady()) {
                continue;
            }
            AddRecordFromLine(*it, connect);
        }
    } else {
        for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
            if (it->mark == SourceEntry::kUsed || it->mark == SourceEntry::kTorrentLineUsed) {
                continue;
            }
            AddRecordFromLine(*it, connect);
            sources_changed_ = true;
        }
    }
    RecheckCandidates();
}

void TWorkWithPeers::RecheckCandidates() {
    const bool by_proxy = ProxyResolvesNames();
    candidates_.RemoveIf([by_proxy](TPeerId& record) {
        return !record.resolved && !record.ParseSourceAddress(by_proxy);
    });
    std::vector<RefPtr<TPeerId>> extra;
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->resolved && record->IsServerSource() && record->HasUrlInfo() &&
            !record->UrlInfo().addresses.empty()) {
            for (RefPtr<TPeerId>& copy : record->MakeFanOutRecords()) {
                extra.push_back(std::move(copy));
            }
            record->UrlInfo().addresses.clear();
        }
    }
    for (const RefPtr<TPeerId>& record : extra) {
        AddSource(*record, false, false);
    }
}

int32_t TWorkWithPeers::AddMirrorCandidates(int32_t count, bool connect) {
    const std::vector<std::string> urls = MirrorUrls();
    const std::vector<std::string> hosts = MirrorHosts();
    if (!MirrorMode() || urls.empty() || count <= 0) {
        return 0;
    }
    std::mt19937 random(static_cast<uint32_t>(time(nullptr)));
    int32_t added = 0;
    for (int32_t tries = 0; tries < 2 * count && added < count; ++tries) {
        const size_t row = std::uniform_int_distribution<size_t>(0, urls.size() - 1)(random);
        auto record = RefPtr<TPeerId>::Make(urls[row]);
        if (!record->ParseSourceAddress(ProxyResolvesNames())) {
            if (record->unresolvable) {
                ReportUnresolvable();
            }
            continue;
        }
        if (row < hosts.size() && hosts[row] != "null" && !hosts[row].empty()) {
            record->UrlInfo().host = hosts[row];
        }
        record->weight = TPeerId::kWeightTextSource;
        if (!AddSource(*record, false, false)) {
            continue;
        }
        TPeerId* stored = candidates_.Find(*record);
        if (connect && stored != nullptr) {
            if (ConnectNow(*stored)) {
                ++added;
            }
        } else {
            ++added;
        }
    }
    return added;
}

bool TWorkWithPeers::CanConnect(TPeerId& record) {
    if (!record.IsValid() || !CandidateList::Eligible(record, SmoothedSpeed(), TaskNow())) {
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

void TWorkWithPeers::ReceiveTurn(bool serve_all,
                                 const std::function<bool(const TPeerObject&)>& ready) {
    const bool complete = ContentComplete();
    bool server_ended = false;
    // Pumping may retire peers; iterate over a snapshot.
    const std::vector<RefPtr<TPeerObject>> peers = active_;
    for (const RefPtr<TPeerObject>& peer : peers) {
        const TPeerObject::Rates& rates = peer->GetRates();
        const int32_t rate = complete ? rates.upload_rate : rates.download_rate;
        if (!serve_all && rate <= kFastPeerRate && !ready(*peer)) {
            continue;
        }
        const bool kept = peer->Pump();
        CountPeerTraffic(peer->GetRates().received_tick, peer->GetRates().sent_tick);
        TPeerId* source = peer->Source();
        // A body without a length ends with the connection, so the peer may have ended too.
        if (source != nullptr && source->HasUrlInfo() && source->UrlInfo().fetch_to_memory &&
            source->UrlInfo().memory_done) {
            arrived_torrent_ = source->UrlInfo().memory_body;
            torrent_arrived_ = true;
            const RefPtr<TPeerId> record = RefPtr<TPeerId>::Share(source);
            RetirePeer(peer, -1);
            RemoveSource(*record);
            continue;
        }
        if (!kept) {
            server_ended = server_ended || (source != nullptr && source->IsServerSource());
            const int32_t status = peer->Status();
            const bool finished =
                status == TPeerObject::kStatusTimedOut || status == TPeerObject::kStatusFinished;
            RetirePeer(peer, finished ? -1 : 1);
        }
    }
    if (server_ended) {
        candidates_.Sort();
    }
}

void TWorkWithPeers::Penalize(TPeerId& record, TPeerObject& peer, int32_t amount) {
    if (candidates_.Find(record) == nullptr) {
        return;
    }
    if (record.kind == PeerKind::BtNode) {
        // A peer that was talking to us without a fault leaves without a mark.
        if (peer.State() == TPeerObject::kEstablished && peer.Errors() == 0) {
            return;
        }
        if (amount < 0 || amount > 4095) {
            amount = 1;
        }
        const int64_t weight = int64_t{std::max(record.attempts - 1, amount)} *
                               static_cast<int64_t>(candidates_.size());
        record.penalty += (weight <= kBtPenaltyCandidates ? 1 : 2) * amount + 5;
        if (ContentComplete()) {
            record.penalty += kCompleteExtraPenalty;
        }
        if (record.penalty <= 0) {
            record.penalty = 10;
        }
        ++record.attempts;
        candidates_.MoveToEnd(&record);
        return;
    }
    if (record.IsServerSource() && record.connections > 1) {
        if (record.penalty <= 0) {
            record.penalty += 2;
        }
        return;
    }
    record.penalty += 3 * std::max(record.attempts - 1, 0) + amount;
    ++record.attempts;
}

void TWorkWithPeers::RetirePeer(const RefPtr<TPeerObject>& peer, int32_t amount) {
    const auto it = std::find(active_.begin(), active_.end(), peer);
    if (it == active_.end()) {
        return;
    }
    RefPtr<TPeerObject> kept = *it;
    active_.erase(it);
    OnPeerLeaving(*kept);
    if (TPeerId* source = kept->Source(); source != nullptr && amount >= 0) {
        Penalize(*source, *kept, amount);
    }
    kept->Reset();
    idle_.push_back(std::move(kept));
    if (static_cast<int32_t>(idle_.size()) > peer_limit_ + 12) {
        idle_.clear();
    }
}

void TWorkWithPeers::DropPeers(int32_t mask, int32_t count, bool slow_only) {
    if (count <= 0) {
        return;
    }
    SortActive();
    std::vector<RefPtr<TPeerObject>> dropped;
    if (!slow_only) {
        for (auto it = active_.rbegin();
             it != active_.rend() && static_cast<int32_t>(dropped.size()) < count; ++it) {
            if (KindIn(mask, (*it)->Type())) {
                dropped.push_back(*it);
            }
        }
    } else if (!active_.empty()) {
        int64_t total_rate = 0;
        for (const RefPtr<TPeerObject>& peer : active_) {
            total_rate += peer->GetRates().download_rate;
        }
        const int64_t slow_below = total_rate / static_cast<int64_t>(active_.size()) / 5;
        const size_t first =
            active_.size() > static_cast<size_t>(count) ? active_.size() - count : 0;
        for (size_t i = active_.size(); i-- > first;) {
            const RefPtr<TPeerObject>& peer = active_[i];
            TPeerId* source = peer->Source();
            const bool redirected_server = source != nullptr && source->IsServerSource() &&
                                           source->HasUrlInfo() && source->UrlInfo().redirected;
            const int32_t rate = peer->GetRates().download_rate;
            if (KindIn(mask, peer->Type()) && !redirected_server &&
                (rate < slow_below || rate < 1)) {
                if (source != nullptr && source->weight > kLowestDroppedWeight) {
                    --source->weight;
                }
                dropped.push_back(peer);
                break;
            }
        }
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, 1);
    }
    if (!dropped.empty()) {
        candidates_.Sort();
    }
}

void TWorkWithPeers::SortActive() {
    const bool complete = ContentComplete();
    const auto connected_bt = [](const TPeerObject& peer) {
        return peer.Type() == PeerKind::BtNode && peer.IsEstablished();
    };
    std::stable_sort(active_.begin(), active_.end(),
                     [&](const RefPtr<TPeerObject>& a, const RefPtr<TPeerObject>& b) {
                         const bool a_bt = connected_bt(*a);
                         const bool b_bt = connected_bt(*b);
                         if (a_bt != b_bt) {
                             return a_bt;
                         }
                         if (!a_bt) {
                             return false;
                         }
                         // 2 KiB units, so that near-equal peers keep their order.
                         const TPeerObject::Rates& x = a->GetRates();
                         const TPeerObject::Rates& y = b->GetRates();
                         if (complete) {
                             return x.upload_rate / 2048 > y.upload_rate / 2048;
                         }
                         if (x.download_rate / 2048 != y.download_rate / 2048) {
                             return x.download_rate / 2048 > y.download_rate / 2048;
                         }
                         return x.upload_rate / 2048 < y.upload_rate / 2048;
                     });
}

void TWorkWithPeers::RegisterInfoHash() {
    if (identity_.prepared()) {
        swarm_.Register(this, identity_.info_hash());
    }
}

void TWorkWithPeers::UnregisterInfoHash() {
    swarm_.Unregister(this);
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
    if (!connection || !PieceMapReady()) {
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

TPeerId* TWorkWithPeers::AddPeerAddress(uint32_t ip, int32_t port, bool front, int32_t weight) {
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->kind == PeerKind::BtNode && record->IsValid() && record->ip == ip &&
            record->port == port) {
            record->weight = weight;
            return record.get();
        }
    }
    auto record = RefPtr<TPeerId>::Make();
    record->kind = PeerKind::BtNode;
    record->ip = ip;
    record->port = port;
    record->peer_id = TPeerId::CompactPeerId(ip, port);
    record->resolved = true;
    record->max_connections = 1;
    record->weight = std::max(TPeerId::kWeightBtPeer, weight);
    TPeerId* stored = candidates_.Insert(std::move(record), front);
    candidate_added_ = true;
    if (stored->weight > kWeightNeedsRoom && BtHalfOpenRoom() == 0) {
        DropPeers(KindBits(PeerKind::BtNode), 2, false);
    }
    return stored;
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

void TWorkWithPeers::SendTurn(bool serve_slow,
                              const std::function<bool(const TPeerObject&)>& ready) {
    const bool complete = ContentComplete();
    const std::vector<RefPtr<TPeerObject>> peers = active_;
    for (const RefPtr<TPeerObject>& peer : peers) {
        if (peer->Type() != PeerKind::BtNode) {
            continue;
        }
        const TPeerObject::Rates& rates = peer->GetRates();
        const int32_t rate = complete ? rates.upload_rate : rates.download_rate;
        if (!serve_slow && rate <= kFastPeerRate && !ready(*peer)) {
            continue;
        }
        const bool kept = peer->PumpUpload();
        CountPeerTraffic(peer->GetRates().received_tick, peer->GetRates().sent_tick);
        if (!kept) {
            const int32_t status = peer->Status();
            const bool finished =
                status == TPeerObject::kStatusTimedOut || status == TPeerObject::kStatusFinished;
            RetirePeer(peer, finished ? -1 : 1);
        }
    }
}

int32_t TWorkWithPeers::UnchokeSlots() {
    return AverageDownload() / 8192 + peer_slot_target_ * 8 + 32;
}

bool TWorkWithPeers::ChokedByTrim(const TPeerObject& peer) const {
    return std::find(choked_by_trim_.begin(), choked_by_trim_.end(), &peer) !=
           choked_by_trim_.end();
}

void TWorkWithPeers::TrimPeers() {
    int32_t connected = LiveBtConnections();
    int32_t target = peer_limit_ - 6;
    target -= std::max(target / 12 - 6, 0);
    if (connected == 0 || target >= connected) {
        return;
    }
    SortActive();
    bool nearly_done = false;
    if (PieceMapReady()) {
        QTMutexLock hold(TaskLock());
        nearly_done = working_.piece_count - working_.verified_pieces <= 6;
    }
    std::vector<RefPtr<TPeerObject>> dropped;
    for (size_t i = active_.size(); i-- > 0;) {
        const RefPtr<TPeerObject>& peer = active_[i];
        if (peer->Source() != nullptr && peer->Source()->IsServerSource()) {
            continue;
        }
        const bool bt = peer->Type() == PeerKind::BtNode && peer->IsConnected();
        if ((bt && connected > target && peer->IsDroppable(nearly_done)) ||
            (static_cast<int32_t>(i) > target + 12 && peer->GetRates().download_rate == 0)) {
            dropped.push_back(peer);
            connected -= bt ? 1 : 0;
        }
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, kTrimDropPenalty);
    }
    // Peers beyond the unchoke slots get nothing from us until they move up.
    const int32_t slots = UnchokeSlots();
    for (size_t i = static_cast<size_t>(std::max(slots, 0)); i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i];
        if (peer.Type() != PeerKind::BtNode || !peer.IsEstablished()) {
            continue;
        }
        auto& bt = static_cast<TBTPeer&>(peer);
        if (!bt.GetExchange().am_choking) {
            bt.Choke();
            choked_by_trim_.push_back(&peer);
        }
    }
}

void TWorkWithPeers::PeerUpkeep() {
    const bool stall_check = ++upkeep_passes_ % 4 == 0;
    const bool complete = ContentComplete();
    const int32_t slots = UnchokeSlots();
    std::erase_if(choked_by_trim_, [this](const TPeerObject* peer) {
        return std::none_of(active_.begin(), active_.end(),
                            [peer](const auto& live) { return live.get() == peer; });
    });
    std::vector<StallMark> marks;
    std::vector<RefPtr<TPeerObject>> dropped;
    for (size_t i = 0; i < active_.size(); ++i) {
        const RefPtr<TPeerObject>& peer = active_[i];
        if (peer->Type() != PeerKind::BtNode || !peer->IsEstablished()) {
            continue;
        }
        auto& bt = static_cast<TBTPeer&>(*peer);
        if (complete && bt.IsSeedTooLong()) {
            peer->Connection()->Close();  // the next receive turn lets it go
            continue;
        }
        if (bt.GetExchange().am_choking && !ChokedByTrim(*peer) &&
            static_cast<int32_t>(i) <= slots) {
            bt.Unchoke();
        }
        if (!stall_check) {
            continue;
        }
        const QSocket& conn = *peer->Connection();
        const auto it =
            std::find_if(stall_marks_.begin(), stall_marks_.end(),
                         [&](const StallMark& mark) { return mark.peer == peer.get(); });
        int32_t& stalls = peer->MutableActivity().stall_count;
        if (it != stall_marks_.end() && it->received == conn.ReceivedTotal() &&
            it->sent == conn.SentTotal()) {
            if (stalls >= kStallChecksToDrop) {
                dropped.push_back(peer);
                continue;
            }
            ++stalls;
        }
        marks.push_back({peer.get(), conn.ReceivedTotal(), conn.SentTotal()});
        if (stalls >= kStallChecksToChoke && !bt.GetExchange().am_choking) {
            bt.Choke();
        }
    }
    if (stall_check) {
        stall_marks_ = std::move(marks);
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, 1);
    }
}

void TWorkWithPeers::AnnounceHaves(const std::vector<PieceIndex>& pieces) {
    constexpr size_t kBatch = 4097;
    std::vector<uint8_t> batch;
    for (size_t first = 0; first < pieces.size(); first += kBatch) {
        batch.clear();
        for (size_t i = first; i < std::min(pieces.size(), first + kBatch); ++i) {
            const auto have = BtWire::Have(static_cast<uint32_t>(pieces[i].value()));
            batch.insert(batch.end(), have.begin(), have.end());
        }
        for (const RefPtr<TPeerObject>& peer : active_) {
            if (peer->Type() == PeerKind::BtNode && peer->IsEstablished()) {
                static_cast<TBTPeer&>(*peer).SendRaw(batch);
            }
        }
    }
}

void TWorkWithPeers::PerSecondPeerWork() {
    if (ContentComplete()) {
        return;
    }
    int64_t server_rate = 0;
    bool has_server = false;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && peer->Source()->IsServerSource()) {
            has_server = true;
            server_rate += peer->GetRates().download_rate;
        }
    }
    if (has_server && server_rate < kSlowSourceBytes) {
        if (++slow_source_seconds_ > kSlowSourceSeconds) {
            AddSourceLines(true, true);
            slow_source_seconds_ = 0;
        }
    } else {
        slow_source_seconds_ = 0;
    }

    if (!candidate_added_) {
        return;
    }
    const int64_t now = TaskNow();
    const int32_t limit = SourceConnectionLimit();
    const int32_t live = LiveServerConnections();
    if (!MirrorMode()) {
        if (now - last_rebalance_ < kSourceRebalanceSeconds) {
            return;
        }
        last_rebalance_ = now;
        const auto waiting = std::count_if(
            candidates_.records().begin(), candidates_.records().end(),
            [](const RefPtr<TPeerId>& record) {
                return record->IsServerSource() && record->resolved && record->penalty <= 0 &&
                       record->connections < record->max_connections;
            });
        if (live >= limit && waiting >= limit) {
            DropPeers(kServerSourceKinds, live - limit + 1, true);
        }
        return;
    }
    if (now - last_rebalance_ < kMirrorRebalanceSeconds) {
        return;
    }
    last_rebalance_ = now;
    int32_t n = live;
    if (n >= limit - 1) {
        DropPeers(kServerSourceKinds, n - limit + 1, true);
        n = limit - 1;
    }
    if (n < limit) {
        AddMirrorCandidates(n == limit ? 1 : limit - n, true);
        RecheckCandidates();
    }
}

void TWorkWithPeers::DropBadSources() {
    const auto bad = [](TPeerId& record) {
        if (!record.IsServerSource() || !record.HasUrlInfo()) {
            return false;
        }
        const int32_t bad_pieces = record.UrlInfo().bad_pieces;
        return bad_pieces >= kBadSourcePieces && bad_pieces * 2 >= record.whole_pieces;
    };
    std::vector<RefPtr<TPeerObject>> dropped;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && bad(*peer->Source())) {
            dropped.push_back(peer);
        }
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, -1);
    }
    candidates_.RemoveIf(bad);
}

void TWorkWithPeers::Reset(bool full, bool keep) {
    for (const RefPtr<TPeerObject>& peer : active_) {
        OnPeerLeaving(*peer);
        peer->Reset();
    }
    active_.clear();
    idle_.clear();
    candidates_.Clear();
    // The candidates are gone, so the source lines become candidates again on the next pass; a
    // torrent line that was fetched stays done.
    for (SourceEntry& entry : sources_) {
        if (entry.mark == SourceEntry::kUsed) {
            entry.mark = SourceEntry::kFresh;
        }
    }
    lines_saved_ = false;
    saved_lines_.clear();
    idle_rounds_ = slow_source_seconds_ = 0;
    candidate_added_ = false;
    last_rebalance_ = 0;
    torrent_arrived_ = false;
    arrived_torrent_.clear();
    UnregisterInfoHash();
    identity_.Clear();
    stall_marks_.clear();
    choked_by_trim_.clear();
    upkeep_passes_ = 0;
    // The connection limits are the application's settings and survive a reset (a reset at the
    // start of every run would otherwise undo them).
    peer_slot_target_ = kDefaultPeerSlotTarget;
    TBaseWork::Reset(full, keep);
}

}  // namespace kf
