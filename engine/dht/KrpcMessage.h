#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/dht/NodeId.h"

namespace kf {

// One received KRPC message (BitTorrent DHT, bencoded over UDP) in plain values: parsed on the
// endpoint thread, interpreted later on the DHT thread.
//
// Trust: the datagram is untrusted. Parse answers nothing unless the message is a dictionary
// with a `y` of 'q' or 'r', the matching `q` (method name) or `r` body, a `t` of 1-32 bytes and a
// body `id` of exactly 20 bytes; error messages are never taken. Every field is bounded: tokens
// of 1-64 bytes, at most kMaxNodes compact nodes and kMaxValues peer strings (each cut to
// kMaxValueBytes) are kept, the rest is ignored.
struct KrpcMessage {
    enum class Kind { kQuery, kReply };
    static constexpr size_t kMaxTransactionId = 32;
    static constexpr size_t kMaxToken = 64;
    static constexpr size_t kMaxMethod = 32;
    static constexpr size_t kMaxNodes = 16;
    static constexpr size_t kMaxValues = 200;
    static constexpr size_t kMaxValueBytes = 6 * 50;

    Kind kind = Kind::kQuery;
    std::string transaction;
    std::string method;  // queries only
    NodeId sender{};
    // Arguments of a query, fields of a reply; absent when missing or malformed.
    std::optional<NodeId> target;
    std::optional<NodeId> info_hash;
    std::optional<int64_t> port;  // announce_peer: the integer as sent
    bool implied_port = false;
    std::optional<std::string> token;
    std::string nodes;  // compact node infos, whole records only
    bool has_nodes = false;
    std::vector<std::string> values;  // compact peer strings
    bool has_values = false;

    static std::optional<KrpcMessage> Parse(std::span<const uint8_t> datagram);
};

}  // namespace kf
