#include "engine/task/TWorkWithPeers.h"

#include <ctime>

#include "engine/dht/CKademlia.h"

namespace kf {

TWorkWithPeers::TWorkWithPeers(SwarmRegistry& swarm)
    : swarm_(swarm),
      candidates_(static_cast<uint32_t>(time(nullptr))),
      dht_lookup_(CKademlia::Instance()) {}

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

void TWorkWithPeers::RegisterInfoHash() {
    if (identity_.prepared()) {
        swarm_.Register(this, identity_.info_hash());
    }
}

void TWorkWithPeers::UnregisterInfoHash() {
    swarm_.Unregister(this);
}

void TWorkWithPeers::Reset(bool full, bool keep) {
    dht_lookup_.Forget();
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
    udp_hosts_told_.clear();
    UnregisterInfoHash();
    identity_.Clear();
    lan_query_sent_ = false;
    swarm_.ClearLanAnnouncements();
    stall_marks_.clear();
    choked_by_trim_.clear();
    upkeep_passes_ = 0;
    // The connection limits are the application's settings and survive a reset (a reset at the
    // start of every run would otherwise undo them).
    peer_slot_target_ = kDefaultPeerSlotTarget;
    TBaseWork::Reset(full, keep);
}

}  // namespace kf
