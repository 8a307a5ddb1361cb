#include "engine/dht/DhtResponder.h"

#include "engine/dht/KrpcBuilder.h"

namespace kf {

bool DhtResponder::Admit(uint32_t ip, int64_t now) {
    if (sources_.size() >= kMaxTrackedSources && !sources_.contains(ip)) {
        std::erase_if(sources_, [now](const auto& entry) { return entry.second.first != now; });
        if (sources_.size() >= kMaxTrackedSources) {
            return false;
        }
    }
    auto& [second, count] = sources_[ip];
    if (second != now) {
        second = now;
        count = 0;
    }
    return ++count <= kQueriesPerSecond;
}

std::string DhtResponder::Answer(const KrpcMessage& query, uint32_t ip, uint16_t port,
                                 int64_t now) {
    if (!Admit(ip, now)) {
        return {};
    }
    std::string answer = Build(query, ip, port, now);
    if (budget_second_ != now) {
        budget_second_ = now;
        budget_used_ = 0;
    }
    if (answer.empty() ||
        budget_used_ + static_cast<int64_t>(answer.size()) > kReplyBytesPerSecond) {
        return {};
    }
    budget_used_ += static_cast<int64_t>(answer.size());
    return answer;
}

std::string DhtResponder::Build(const KrpcMessage& query, uint32_t ip, uint16_t port, int64_t now) {
    const NodeId own = table_.OwnId();
    const std::string& method = query.method;
    if (method == "ping") {
        return KrpcBuilder::Reply(own, {}, query.transaction);
    }
    if (method == "find_node" || method == "get_peers") {
        const std::optional<NodeId>& target =
            method == "find_node" ? query.target : query.info_hash;
        if (!target || (method == "find_node" && (IsZeroId(*target) || *target == own))) {
            return {};
        }
        const std::string token = table_.TokenFor(ip, port);
        if (method == "get_peers") {
            std::string values;
            if (store_.WriteValues(*target, now, values)) {
                return KrpcBuilder::Reply(own, KrpcBuilder::ValuesReplyArgs(values, token),
                                          query.transaction);
            }
        }
        std::vector<DhtNode> closest;
        table_.FindClosest(*target, closest, false);
        if (closest.size() > KrpcBuilder::kMaxReplyNodes) {
            closest.resize(KrpcBuilder::kMaxReplyNodes);
        }
        return KrpcBuilder::Reply(own, KrpcBuilder::NodesReplyArgs(closest, token),
                                  query.transaction);
    }
    if (method == "announce_peer") {
        // A port outside 1-65535 is refused rather than cut to 16 bits; implied_port asks for the
        // datagram's own source port.
        const bool port_ok =
            query.implied_port || (query.port && *query.port >= 1 && *query.port <= 65535);
        if (!port_ok || !query.info_hash) {
            return {};
        }
        if (!query.token || !table_.IsValidToken(*query.token, ip, port)) {
            return KrpcBuilder::Rejection(query.transaction);
        }
        const auto peer_port = query.implied_port ? port : static_cast<uint16_t>(*query.port);
        store_.AddPeer(*query.info_hash, ip, peer_port, now);
        return KrpcBuilder::Reply(own, {}, query.transaction);
    }
    return {};
}

}  // namespace kf
