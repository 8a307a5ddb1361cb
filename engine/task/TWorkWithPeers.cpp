#include "engine/task/TWorkWithPeers.h"

namespace kf {

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

void TWorkWithPeers::SetPeerProxy(std::optional<ProxyUrl> proxy) {
    QTMutexLock hold(TaskLock());
    peer_proxy_ = std::move(proxy);
}

std::optional<ProxyUrl> TWorkWithPeers::PeerProxy() {
    QTMutexLock hold(TaskLock());
    return peer_proxy_;
}

void TWorkWithPeers::Reset(bool full, bool keep) {
    {
        QTMutexLock hold(TaskLock());
        source_connection_limit_ = kDefaultSourceConnectionLimit;
        peer_slot_target_ = kDefaultPeerSlotTarget;
    }
    TBaseWork::Reset(full, keep);
}

}  // namespace kf
