#pragma once

#include <cstdint>
#include <optional>

#include "engine/net/ProxyUrl.h"
#include "engine/task/TBaseWork.h"

namespace kf {

// The peer side of a task: its connection limits (and, as the engine grows, its peer and candidate
// lists and its BitTorrent identity).
class TWorkWithPeers : public TBaseWork {
  public:
    static constexpr int32_t kDefaultSourceConnectionLimit = 49;
    static constexpr int32_t kDefaultPeerSlotTarget = 6;

    // Stores both limits under the task lock.
    void SetConnectionLimits(int32_t source_connections, int32_t bt_peers);
    int32_t SourceConnectionLimit();
    int32_t BtPeerLimit();
    // The proxy for this task's BT peer connections; none means direct.
    void SetPeerProxy(std::optional<ProxyUrl> proxy);
    std::optional<ProxyUrl> PeerProxy();

    void Reset(bool full, bool keep) override;

  protected:
    // Known addresses that may still be tried.
    virtual int32_t CandidateCount() { return 0; }

    int32_t source_connection_limit_ = kDefaultSourceConnectionLimit;
    int32_t bt_peer_limit_ = 0;  // 0 until the application sets it
    int32_t peer_slot_target_ = kDefaultPeerSlotTarget;
    std::optional<ProxyUrl> peer_proxy_;
};

}  // namespace kf
