#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dht/NodeId.h"

namespace kf {

// One DHT node as the routing table and the lookups know it. Times are engine-clock seconds
// (0: never). Two entries are the same node when id and address agree; the port is not compared,
// so a node that moved to another port on the same address stays one node.
struct DhtNode {
    static constexpr size_t kCompactSize = 26;  // id, IPv4, port (network order)

    NodeId id{};
    uint32_t ip = 0;    // network order
    uint16_t port = 0;  // host order
    int32_t failures = 0;
    int64_t last_seen = 0;
    bool stale = false;

    bool Good() const { return !stale; }
    bool Valid() const { return !IsZeroId(id) && ip != 0 && port != 0; }
    bool SameAs(const DhtNode& other) const { return id == other.id && ip == other.ip; }

    // The 26-byte compact form, and the node that 26 bytes describe.
    void AppendCompact(std::string& out) const;
    static DhtNode FromCompact(std::span<const uint8_t, kCompactSize> bytes);
    // Every complete record of a compact list, at most `limit` of them; a partial tail is ignored.
    static void ReadCompactList(std::string_view bytes, size_t limit, std::vector<DhtNode>& out);
};

}  // namespace kf
