#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dht/DhtNode.h"
#include "engine/dht/NodeId.h"

namespace kf {

// The bytes of every KRPC message the engine sends, written directly (keys in the order other
// nodes expect, which is not always sorted: `values` comes before `token`). Stateless.
//
// Limits: arguments and method name together may not exceed kMaxArguments bytes; a longer
// message is not built (empty result). Transaction ids are echoed as received (1-32 bytes); the
// engine's own are 8 bytes.
class KrpcBuilder {
  public:
    static constexpr size_t kMaxArguments = 1200;
    static constexpr size_t kMaxReplyNodes = 8;
    static constexpr size_t kMaxReplyPeers = 50;

    // d1:ad2:id20:<id><args>e1:q<len>:<name>1:t<n>:<tid>1:y1:qe
    static std::string Query(const NodeId& own, std::string_view method, std::string_view args,
                             std::string_view transaction);
    // d1:rd2:id20:<id><args>e1:t<n>:<tid>1:y1:re
    static std::string Reply(const NodeId& own, std::string_view args,
                             std::string_view transaction);
    // The answer to an announce with a bad token: d1:e20:Invalid Write Token!1:t<n>:<tid>1:y1:ee
    static std::string Rejection(std::string_view transaction);

    // Query arguments.
    static std::string FindNodeArgs(const NodeId& target);
    static std::string GetPeersArgs(const NodeId& info_hash);
    // `token` empty: "0:" (no token known for that node).
    static std::string AnnounceArgs(const NodeId& info_hash, int32_t port, std::string_view token);
    // Reply arguments: up to 8 nodes then the token; `values` (already "6:valuesl...e") then
    // the token.
    static std::string NodesReplyArgs(const std::vector<DhtNode>& nodes, std::string_view token);
    static std::string ValuesReplyArgs(std::string_view values, std::string_view token);

    // "<length>:<bytes>"
    static void AppendString(std::string& out, std::string_view bytes);
};

}  // namespace kf
