// TWorkWithPeers: the receive and send turns of the loop, retiring and dropping peers, and the
// 4-second trim and upkeep of the BitTorrent peers.

#include <algorithm>

#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/task/TWorkWithPeers.h"

namespace kf {
namespace {

constexpr int32_t kLowestDroppedWeight = 20;
constexpr int32_t kStallChecksToDrop = 5;
constexpr int32_t kStallChecksToChoke = 4;
constexpr int32_t kTrimDropPenalty = 6;

bool KindIn(int32_t mask, PeerKind kind) {
    return (mask & KindBits(kind)) != 0;
}

}  // namespace

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

void TWorkWithPeers::NoticeRetired(const TPeerObject& peer, const char* why) const {
    if (peer.Type() == PeerKind::Tracker) {
        return;  // trackers tell their own answers and failures
    }
    const QSocket* connection = peer.Connection();
    if (connection != nullptr && !connection->ProxyFailure().empty()) {
        Notice(NoticeKind::kProxyRefused, peer.AddressText(), 0, connection->ProxyFailure());
        return;
    }
    // BT connections that never got going are routine; servers that fail are worth a line.
    const bool server = peer.Source() != nullptr && peer.Source()->IsServerSource();
    if (peer.State() != TPeerObject::kEstablished && !server) {
        return;
    }
    if (why == nullptr) {
        why = peer.EndReason();
    }
    if (why == nullptr) {
        switch (peer.Status()) {
            case TPeerObject::kStatusTimedOut:
                why = "timed out";
                break;
            case TPeerObject::kStatusFinished:
                why = "nothing left to fetch from it";
                break;
            default:
                why = peer.State() == TPeerObject::kEstablished ? "the connection ended"
                                                                : "could not connect";
                break;
        }
    }
    Notice(NoticeKind::kDropped, peer.AddressText(), 0, why);
}

void TWorkWithPeers::RetirePeer(const RefPtr<TPeerObject>& peer, int32_t amount, const char* why) {
    const auto it = std::find(active_.begin(), active_.end(), peer);
    if (it == active_.end()) {
        return;
    }
    RefPtr<TPeerObject> kept = *it;
    active_.erase(it);
    if (NoticesWanted()) {
        NoticeRetired(*kept, why);
    }
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

void TWorkWithPeers::DropPeers(int32_t mask, int32_t count, bool slow_only, const char* why) {
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
        RetirePeer(peer, 1, why);
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
        RetirePeer(peer, kTrimDropPenalty, "more peers than the task keeps");
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
        RetirePeer(peer, 1, "stalled: nothing moved on the connection");
    }
}

void TWorkWithPeers::PerSecondBtPeerCalls() {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Type() == PeerKind::BtNode && peer->IsEstablished()) {
            peer->DropDoneRequests();
        }
    }
}

void TWorkWithPeers::CancelElsewhere(const BlockRequest& request, const TPeerObject& from) {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer.get() != &from && peer->Type() == PeerKind::BtNode) {
            static_cast<TBTPeer&>(*peer).DropRequest(request);
        }
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

}  // namespace kf
