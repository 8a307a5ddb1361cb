#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/dht/CKadActionBase.h"

namespace kf {

// A task's lookup for its info hash, in two phases: get_peers towards the hash, collecting the
// peers that nodes return, then announce_peer of the task's listening port to the closest nodes
// that gave a token and to the nodes that held a few peers (none while the port is 0: not
// listening). Done after the second phase; the task runs it again later (Reset, then the service
// starts it).
//
// Threads: as the base; TakePeers and SetAnnouncePort are the task's.
// Limits: the peer buffer holds at most kMaxPeerBytes; announces stop after 6 acknowledgements.
class CKadActionBitTorrent : public CKadActionBase {
  public:
    static constexpr size_t kMaxPeerBytes = 64 * 1024;
    static constexpr int32_t kEnoughAnnounces = 5;

    CKadActionBitTorrent(LookupHost& host, const NodeId& info_hash);

    void Start() override;
    void Reset() override;
    void SetAnnouncePort(uint16_t port);
    // Moves the compact 6-byte peers found so far to `out`; false when there were none.
    bool TakePeers(std::string& out);
    bool InAnnouncePhase();

  protected:
    void Seed(std::vector<DhtNode> nodes) override;
    void Step() override;
    void Finish() override;
    bool SendLookupQuery(const DhtNode& node) override;
    void ProcessReply(const DhtNode& node, const KrpcMessage& reply) override;

  private:
    using HolderKey = std::pair<NodeId, uint32_t>;
    void RememberForNextRun(const DhtNode& node);

    std::string peers_;
    std::map<HolderKey, std::pair<DhtNode, int32_t>> holders_;  // node -> peers it returned
    std::vector<DhtNode> announce_list_;
    std::vector<DhtNode> previous_run_;
    bool announcing_ = false;
    int32_t acknowledged_ = 0;
    uint16_t announce_port_ = 0;
    bool copy_local_peers_ = false;
};

}  // namespace kf
