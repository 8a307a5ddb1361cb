#pragma once

#include "engine/dht/CKadActionBase.h"

namespace kf {

// A find_node walk towards an id, run by the DHT service to fill and refresh its own table: every
// node learned on the way is queued for the table. It stops early on reaching the target itself.
class CKadActionFind : public CKadActionBase {
  public:
    CKadActionFind(LookupHost& host, const NodeId& target);

  protected:
    bool SendLookupQuery(const DhtNode& node) override;
    void ProcessReply(const DhtNode& node, const KrpcMessage& reply) override;
};

}  // namespace kf
