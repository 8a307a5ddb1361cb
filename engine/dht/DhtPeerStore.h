#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "engine/dht/NodeId.h"

namespace kf {

// Peers that other nodes announced to this one, per info hash, with the time of each announce.
//
// Limits: kMaxHashes info hashes of at most kMaxPeers peers each. A new hash beyond the cap is
// refused; a new peer beyond a hash's cap replaces that hash's oldest announce. Answers hold at
// most kMaxAnswerPeers peers, starting at an offset that varies with the time so that every
// stored peer gets its turn.
//
// Threads: not locked; the DHT service holds it under its lock. Times are engine seconds.
class DhtPeerStore {
  public:
    static constexpr size_t kMaxHashes = 2000;
    static constexpr size_t kMaxPeers = 500;
    static constexpr size_t kMaxAnswerPeers = 50;
    static constexpr int64_t kPruneEvery = 180;
    static constexpr int64_t kPeerLife = 1800;

    // `ip` network order, `port` host order.
    bool AddPeer(const NodeId& info_hash, uint32_t ip, uint16_t port, int64_t now);
    // Appends "6:valuesl" + "6:<peer>"... + "e"; false (nothing appended) for an unknown hash.
    bool WriteValues(const NodeId& info_hash, int64_t now, std::string& out) const;
    // The same selection as raw 6-byte peers.
    bool CopyPeers(const NodeId& info_hash, int64_t now, std::string& out) const;
    // At most once every kPruneEvery seconds: announces older than kPeerLife go, and hashes left
    // without peers.
    void Prune(int64_t now);

    size_t HashCount() const { return hashes_.size(); }
    size_t PeerCount() const;

  private:
    using Peers = std::map<uint64_t, int64_t>;  // 6-byte peer key -> announce time
    template <typename Emit>
    bool Select(const NodeId& info_hash, int64_t now, Emit emit) const;

    std::map<NodeId, Peers> hashes_;
    int64_t pruned_at_ = -1;
};

}  // namespace kf
