#include "engine/dht/KrpcBuilder.h"

#include <algorithm>

namespace kf {

void KrpcBuilder::AppendString(std::string& out, std::string_view bytes) {
    out.append(std::to_string(bytes.size()));
    out.push_back(':');
    out.append(bytes);
}

std::string KrpcBuilder::Query(const NodeId& own, std::string_view method, std::string_view args,
                               std::string_view transaction) {
    if (args.size() + method.size() > kMaxArguments) {
        return {};
    }
    std::string out;
    out.reserve(64 + args.size() + method.size() + transaction.size());
    out.append("d1:ad2:id20:");
    out.append(IdBytes(own));
    out.append(args);
    out.append("e1:q");
    AppendString(out, method);
    out.append("1:t");
    AppendString(out, transaction);
    out.append("1:y1:qe");
    return out;
}

std::string KrpcBuilder::Reply(const NodeId& own, std::string_view args,
                               std::string_view transaction) {
    if (args.size() > kMaxArguments) {
        return {};
    }
    std::string out;
    out.reserve(48 + args.size() + transaction.size());
    out.append("d1:rd2:id20:");
    out.append(IdBytes(own));
    out.append(args);
    out.append("e1:t");
    AppendString(out, transaction);
    out.append("1:y1:re");
    return out;
}

std::string KrpcBuilder::Rejection(std::string_view transaction) {
    std::string out = "d1:e20:Invalid Write Token!1:t";
    AppendString(out, transaction);
    out.append("1:y1:ee");
    return out;
}

std::string KrpcBuilder::FindNodeArgs(const NodeId& target) {
    std::string out = "6:target20:";
    out.append(IdBytes(target));
    return out;
}

std::string KrpcBuilder::GetPeersArgs(const NodeId& info_hash) {
    std::string out = "9:info_hash20:";
    out.append(IdBytes(info_hash));
    return out;
}

std::string KrpcBuilder::AnnounceArgs(const NodeId& info_hash, int32_t port,
                                      std::string_view token) {
    std::string out = GetPeersArgs(info_hash);
    out.append("4:porti");
    out.append(std::to_string(port));
    out.append("e5:token");
    AppendString(out, token);
    return out;
}

std::string KrpcBuilder::NodesReplyArgs(const std::vector<DhtNode>& nodes, std::string_view token) {
    const size_t count = std::min(nodes.size(), kMaxReplyNodes);
    std::string out = "5:nodes";
    out.append(std::to_string(count * DhtNode::kCompactSize));
    out.push_back(':');
    for (size_t i = 0; i < count; ++i) {
        nodes[i].AppendCompact(out);
    }
    out.append("5:token");
    AppendString(out, token);
    return out;
}

std::string KrpcBuilder::ValuesReplyArgs(std::string_view values, std::string_view token) {
    std::string out(values);
    out.append("5:token");
    AppendString(out, token);
    return out;
}

}  // namespace kf
