#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/QTMutex.h"
#include "engine/dht/DhtNode.h"
#include "engine/dht/KrpcMessage.h"
#include "engine/dht/LookupHost.h"
#include "engine/dht/NodeId.h"

namespace kf {

// One DHT lookup: walks towards a target by querying the closest known candidates, at most
// kMaxInFlight at a time, learning closer nodes from the answers. A query unanswered for 5 s is
// sent once more with the same transaction id; at 10 s it counts as failed.
//
// Threads: every operation takes the lookup's (recursive) lock. The DHT thread ticks, steps and
// routes replies; a task thread starts, resets and reads its own lookups. Lock order: service,
// lookup, routing table.
//
// Limits: at most kMaxCandidates candidates (the closest are kept); a lookup ends after its time
// limit even while queries are outstanding.
class CKadActionBase {
  public:
    static constexpr int32_t kMaxInFlight = 5;
    static constexpr size_t kMaxCandidates = 256;
    static constexpr int64_t kResendAfter = 5;
    static constexpr int64_t kFailAfter = 10;
    static constexpr int64_t kDefaultTimeLimit = 600;

    CKadActionBase(LookupHost& host, const NodeId& target, std::string method, bool stop_at_target);
    CKadActionBase(const CKadActionBase&) = delete;
    CKadActionBase& operator=(const CKadActionBase&) = delete;
    virtual ~CKadActionBase() = default;

    virtual void Start();
    virtual void Reset();
    // Every loop of the DHT thread: resends, failures (added to `failed` once each), then Step.
    void Tick(std::vector<DhtNode>& failed);
    // Takes a reply meant for this lookup: false when the transaction or the sender is not ours.
    bool HandleReply(const KrpcMessage& reply, const DhtNode& sender);

    NodeId Target() const { return target_; }
    bool IsStarted();
    bool IsDone();
    int64_t DoneTime();
    size_t CandidateCount();

  protected:
    virtual void Seed(std::vector<DhtNode> nodes);
    virtual void Step();
    virtual void Finish();
    // Sends this lookup's query to `node` (through SendNew); true when sent.
    virtual bool SendLookupQuery(const DhtNode& node) = 0;
    virtual void ProcessReply(const DhtNode& node, const KrpcMessage& reply) = 0;

    // The walk over the candidates, closest first; false when it finished the lookup.
    bool WalkCandidates();
    // Finishes unless queries are in flight within the time limit.
    void ApplyTimeLimit();
    bool Claim(const DhtNode& node);
    // Sends and records a new query; a resend repeats its bytes under the same transaction id.
    bool SendNew(const DhtNode& node, std::string_view method, const std::string& args);
    bool IsCandidate(const DhtNode& node) const;
    void AddCandidate(const DhtNode& node);
    void SortByDistance(std::vector<DhtNode>& nodes) const;
    void ClearRound();

    struct Outstanding {
        DhtNode node;
        int64_t sent = 0;
        bool resent = false;
        std::string method;
        std::string args;
    };

    LookupHost& host_;
    QTMutex lock_;
    NodeId target_;
    std::string method_;
    bool stop_at_target_;
    int64_t time_limit_ = kDefaultTimeLimit;
    int64_t start_time_ = 0;
    int64_t done_time_ = 0;
    int32_t in_flight_ = 0;
    std::map<std::string, Outstanding> outstanding_;
    std::set<std::pair<uint32_t, uint16_t>> addresses_;
    std::vector<DhtNode> queried_;
    std::vector<DhtNode> responded_;
    std::vector<DhtNode> candidates_;
};

}  // namespace kf
