#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "engine/dht/DhtPeerStore.h"
#include "engine/dht/DhtRoutingTable.h"
#include "engine/dht/KrpcMessage.h"

namespace kf {

// The answers this node gives to other nodes' queries (ping, find_node, get_peers,
// announce_peer), with the limits that keep it from being used as an amplifier: each source may
// ask kQueriesPerSecond times a second, and all answers together stay within kReplyBytesPerSecond.
//
// Threads: the DHT thread only; `store` is the service's and used under its lock by the caller.
// Addresses in network order, ports in host order, times in engine seconds.
class DhtResponder {
  public:
    static constexpr int32_t kQueriesPerSecond = 5;
    static constexpr int64_t kReplyBytesPerSecond = 8000;
    static constexpr size_t kMaxTrackedSources = 4096;

    DhtResponder(DhtRoutingTable& table, DhtPeerStore& store) : table_(table), store_(store) {}

    // The bytes to send back to (ip, port), or empty for no answer (unknown method, malformed
    // arguments, a source over its rate, or the reply budget spent).
    std::string Answer(const KrpcMessage& query, uint32_t ip, uint16_t port, int64_t now);

  private:
    std::string Build(const KrpcMessage& query, uint32_t ip, uint16_t port, int64_t now);
    bool Admit(uint32_t ip, int64_t now);

    DhtRoutingTable& table_;
    DhtPeerStore& store_;
    std::map<uint32_t, std::pair<int64_t, int32_t>> sources_;  // ip -> (second, queries)
    int64_t budget_second_ = -1;
    int64_t budget_used_ = 0;
};

}  // namespace kf
