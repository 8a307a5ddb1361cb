#include "engine/dht/CKadActionFind.h"

#include "engine/dht/KrpcBuilder.h"

namespace kf {

CKadActionFind::CKadActionFind(LookupHost& host, const NodeId& target)
    : CKadActionBase(host, target, "find_node", true) {}

bool CKadActionFind::SendLookupQuery(const DhtNode& node) {
    return SendNew(node, method_, KrpcBuilder::FindNodeArgs(target_));
}

void CKadActionFind::ProcessReply(const DhtNode& /*node*/, const KrpcMessage& reply) {
    std::vector<DhtNode> learned;
    DhtNode::ReadCompactList(reply.nodes, KrpcMessage::kMaxNodes, learned);
    for (const DhtNode& node : learned) {
        if (!IsCandidate(node)) {
            host_.QueueNodeForTable(node);
            AddCandidate(node);
        }
    }
}

}  // namespace kf
