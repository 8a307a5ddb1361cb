#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dht/DhtNode.h"
#include "engine/dht/NodeId.h"

namespace kf {

// What a lookup needs from the DHT service: the clock, the routing table, the node's own peer
// store and the sending of queries. The service implements it; tests give a recording fake.
//
// Threads: called with the lookup's lock held, from the DHT thread and (Start, through the seeds)
// from task threads; implementations take only locks that come after the lookup's.
class LookupHost {
  public:
    virtual ~LookupHost() = default;
    virtual int64_t Now() = 0;
    virtual NodeId OwnId() = 0;
    // The closest good nodes to `target`, then the closest of all; at most 20 distinct.
    virtual std::vector<DhtNode> SeedNodes(const NodeId& target) = 0;
    // Offers a node to the routing table later, on the DHT thread / at once.
    virtual void QueueNodeForTable(const DhtNode& node) = 0;
    virtual void OfferNode(const DhtNode& node) = 0;
    // Sends a query; `transaction` empty draws a new id. Answers the id used, or empty when the
    // query was not sent.
    virtual std::string SendQuery(const DhtNode& node, std::string_view method,
                                  std::string_view args, std::string_view transaction) = 0;
    virtual void StoreReceivedToken(const DhtNode& node, std::string token) = 0;
    virtual std::optional<std::string> ReceivedToken(const DhtNode& node) = 0;
    // Appends up to 50 raw 6-byte peers that this node itself holds for `info_hash`.
    virtual void CopyLocalPeers(const NodeId& info_hash, std::string& out) = 0;
};

}  // namespace kf
