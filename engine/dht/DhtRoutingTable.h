#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/QTMutex.h"
#include "engine/dht/DhtNode.h"
#include "engine/dht/DhtTokens.h"
#include "engine/dht/NodeId.h"

namespace kf {

// The nodes this node knows, in buckets of at most kBucketSize that each cover a range
// (start, end] of the id space, split towards the own id; the write-token secrets; and the tokens
// other nodes gave us for announcing to them.
//
// Owner: the DHT service. Threads: every operation takes the table's lock (the DHT thread, and
// task threads through the lookups' closest-node searches). Times are engine seconds given by
// the caller, so that the rules can be driven by a test clock.
//
// Limits: at most kMaxBuckets buckets of kBucketSize nodes; kMaxReceivedTokens stored tokens (the
// oldest goes first); a node file is read only up to kMaxFileBytes.
class DhtRoutingTable {
  public:
    static constexpr size_t kBucketSize = 10;
    static constexpr size_t kMaxBuckets = 160;
    static constexpr size_t kClosestCount = 10;
    static constexpr int64_t kIdleAfter = 600;
    static constexpr int32_t kStaleAfterFailures = 2;
    static constexpr size_t kMaxReceivedTokens = 4096;
    static constexpr int64_t kTokenLife = 300;
    static constexpr size_t kMaxFileBytes = 3145728;

    struct BucketRange {
        NodeId start{};
        NodeId end{};
        int64_t changed = 0;
    };

    explicit DhtRoutingTable(const NodeId& own_id);

    NodeId OwnId();
    // Empties the table (nodes, buckets, received tokens) under a new own id.
    void Clear(const NodeId& own_id);
    // Offers a node. Answers the node that must be pinged before the newcomer may take a full
    // bucket's place (the newcomer is not stored then), or nothing.
    std::optional<DhtNode> InsertNode(DhtNode node, bool seen, bool force, int64_t now);
    // Up to 10 nodes closest to `target`, closest first; false when none.
    bool FindClosest(const NodeId& target, std::vector<DhtNode>& out, bool include_stale);
    // The node's new failure count (3 when it is not in the table).
    int32_t RecordFailure(const DhtNode& node);
    void ReplaceNode(const DhtNode& old_node, const DhtNode& new_node, int64_t now);
    size_t NodeCount();
    size_t GoodNodeCount();
    std::optional<DhtNode> OldestGoodNode();
    std::vector<BucketRange> BucketRanges();

    // The node-file body: d2:id20:<id>5:table<n>:<26-byte records>e
    std::string SaveTable();
    // Takes the id and the nodes of a node-file body; false (nothing changed) when it is not a
    // dictionary with a 20-byte id.
    bool LoadTable(std::span<const uint8_t> body, int64_t now);

    // Write tokens for queriers.
    void RotateSecrets(int64_t now);
    std::string TokenFor(uint32_t ip, uint16_t port);
    bool IsValidToken(std::string_view token, uint32_t ip, uint16_t port);
    // Tokens received from other nodes; a token older than kTokenLife is not answered.
    void StoreReceivedToken(const DhtNode& node, std::string token, int64_t now);
    std::optional<std::string> ReceivedToken(const DhtNode& node, int64_t now);

  private:
    struct Bucket {
        NodeId start{};
        NodeId end{};
        std::vector<DhtNode> nodes;  // least recently refreshed first
        int64_t changed = 0;
        bool Covers(const NodeId& id) const;
    };
    using NodeKey = std::pair<NodeId, uint32_t>;

    Bucket* BucketOf(const NodeId& id);
    std::optional<DhtNode> InsertLocked(DhtNode node, bool seen, bool force, int64_t now);
    void ReplaceLocked(const DhtNode& old_node, const DhtNode& new_node, int64_t now);
    void Split(size_t index, int64_t now);

    QTMutex lock_;
    NodeId own_id_;
    std::vector<Bucket> buckets_;
    DhtTokens tokens_;
    std::map<NodeKey, std::pair<std::string, int64_t>> received_tokens_;
};

}  // namespace kf
