#include "engine/dht/CKadActionBitTorrent.h"

#include <algorithm>

#include "engine/dht/KrpcBuilder.h"

namespace kf {
namespace {

constexpr size_t kPreviousSeeds = 5;
constexpr int32_t kAnnounceWalk = 6;
constexpr int32_t kMostPeersForAnnounce = 60;

}  // namespace

CKadActionBitTorrent::CKadActionBitTorrent(LookupHost& host, const NodeId& info_hash)
    : CKadActionBase(host, info_hash, "get_peers", false) {}

void CKadActionBitTorrent::Reset() {
    QTMutexLock hold(lock_);
    CKadActionBase::Reset();
    announcing_ = false;
    acknowledged_ = 0;
    method_ = "get_peers";
    copy_local_peers_ = true;
    peers_.clear();
    holders_.clear();
    announce_list_.clear();
}

void CKadActionBitTorrent::Start() {
    QTMutexLock hold(lock_);
    Reset();
    if (IsZeroId(target_)) {
        return;
    }
    Seed(host_.SeedNodes(target_));
}

void CKadActionBitTorrent::SetAnnouncePort(uint16_t port) {
    QTMutexLock hold(lock_);
    announce_port_ = port;
}

bool CKadActionBitTorrent::TakePeers(std::string& out) {
    QTMutexLock hold(lock_);
    if (peers_.empty()) {
        return false;
    }
    out.append(peers_);
    peers_.clear();
    return true;
}

bool CKadActionBitTorrent::InAnnouncePhase() {
    QTMutexLock hold(lock_);
    return announcing_;
}

void CKadActionBitTorrent::RememberForNextRun(const DhtNode& node) {
    if (std::none_of(previous_run_.begin(), previous_run_.end(),
                     [&node](const DhtNode& known) { return known.SameAs(node); })) {
        previous_run_.push_back(node);
    }
}

void CKadActionBitTorrent::Seed(std::vector<DhtNode> nodes) {
    QTMutexLock hold(lock_);
    // A thin table is helped by the nodes that answered last time.
    if (nodes.size() < 10) {
        size_t added = 0;
        for (const DhtNode& node : previous_run_) {
            if (added >= kPreviousSeeds) {
                break;
            }
            if (std::none_of(nodes.begin(), nodes.end(),
                             [&node](const DhtNode& known) { return known.SameAs(node); })) {
                nodes.push_back(node);
                ++added;
            }
        }
    }
    previous_run_.clear();
    CKadActionBase::Seed(std::move(nodes));
}

void CKadActionBitTorrent::Step() {
    QTMutexLock hold(lock_);
    if (copy_local_peers_) {
        copy_local_peers_ = false;
        host_.CopyLocalPeers(target_, peers_);
    }
    if (!WalkCandidates()) {
        return;
    }
    if (done_time_ != 0) {
        return;
    }
    if (announcing_ && in_flight_ < kMaxInFlight && !announce_list_.empty()) {
        SortByDistance(announce_list_);
        const std::vector<DhtNode> walk = announce_list_;
        int32_t counted = 0;
        for (const DhtNode& node : walk) {
            if (++counted > kAnnounceWalk && !responded_.empty()) {
                break;
            }
            if (Claim(node) && SendLookupQuery(node)) {
                ++in_flight_;
            }
        }
    }
    ApplyTimeLimit();
}

bool CKadActionBitTorrent::SendLookupQuery(const DhtNode& node) {
    if (!announcing_) {
        return SendNew(node, method_, KrpcBuilder::GetPeersArgs(target_));
    }
    if (announce_port_ == 0) {
        // Not listening (yet): peers sent to port 0 would reach nobody. The next run announces.
        return false;
    }
    const std::string token = host_.ReceivedToken(node).value_or(std::string());
    holders_.try_emplace(HolderKey{node.id, node.ip}, node, 0);
    return SendNew(node, method_, KrpcBuilder::AnnounceArgs(target_, announce_port_, token));
}

void CKadActionBitTorrent::ProcessReply(const DhtNode& node, const KrpcMessage& reply) {
    if (reply.has_values) {
        int32_t count = 0;
        for (const std::string& value : reply.values) {
            const size_t whole = value.size() / 6;
            count += static_cast<int32_t>(whole);
            if (peers_.size() + whole * 6 <= kMaxPeerBytes) {
                peers_.append(value, 0, whole * 6);
            }
        }
        holders_[HolderKey{node.id, node.ip}] = {node, count};
        return;
    }
    if (reply.has_nodes) {
        std::vector<DhtNode> learned;
        DhtNode::ReadCompactList(reply.nodes, KrpcMessage::kMaxNodes, learned);
        for (const DhtNode& found : learned) {
            if (!IsCandidate(found)) {
                host_.OfferNode(found);
                AddCandidate(found);
            }
        }
        return;
    }
    if (announcing_ && holders_.contains(HolderKey{node.id, node.ip})) {
        RememberForNextRun(node);
        if (++acknowledged_ > kEnoughAnnounces) {
            Finish();
        }
    }
}

void CKadActionBitTorrent::Finish() {
    QTMutexLock hold(lock_);
    if (start_time_ == 0) {
        return;
    }
    const bool switching = !announcing_;
    if (switching) {
        announcing_ = true;
        method_ = "announce_peer";
        start_time_ = host_.Now();
    } else {
        done_time_ = host_.Now();
    }
    acknowledged_ = 0;
    ClearRound();
    announce_list_.clear();
    if (switching) {
        // Only nodes that gave a token can take an announce.
        for (const DhtNode& candidate : candidates_) {
            if (!host_.ReceivedToken(candidate)) {
                queried_.push_back(candidate);
            }
        }
        for (const auto& [key, holder] : holders_) {
            if (holder.second >= 1 && holder.second <= kMostPeersForAnnounce) {
                announce_list_.push_back(holder.first);
            }
            RememberForNextRun(holder.first);
        }
    } else {
        holders_.clear();
    }
}

}  // namespace kf
