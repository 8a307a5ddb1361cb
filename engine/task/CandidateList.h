#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "engine/peers/TPeerId.h"

namespace kf {

// A task's known addresses (servers, BitTorrent peers, trackers) in candidate order: higher weight
// first, then more whole pieces, fewer attempts, fewer reconnects, lower penalty. Each record is
// the list's own copy. Used on the task thread only.
class CandidateList {
  public:
    // What the list needs to know about its task to refuse records.
    struct Identity {
        bool swarm_task = false;  // P2SP or BT task: a BT record with our own peer id is refused
        TPeerId::PeerIdBytes own_peer_id{};
        uint32_t listen_ip = 0;  // network order; 0 when not listening
        int32_t listen_port = 0;
        // The address others see behind a NAT router (a tracker lists the engine under it); 0 or
        // all-ones when unknown.
        uint32_t external_ip = 0;
    };

    explicit CandidateList(uint32_t seed = 0) : random_(seed) {}

    // Adds a copy of `record` unless the same party is listed already (then the stored record may
    // take the new peer id). Answers false when the record is refused.
    bool Add(const TPeerId& record, bool from_lan, bool replace_id, const Identity& identity);
    // The stored record that stands for the same party, or null.
    TPeerId* Find(const TPeerId& record);
    void Remove(const TPeerId* record);
    // Takes `record` as it is (no refusal, no weight rule) at the front or the end of the list,
    // then sorts; answers the stored record.
    TPeerId* Insert(RefPtr<TPeerId> record, bool front);
    // Re-sorts into candidate order (stable, so that insert positions break ties).
    void Sort();
    // Moves a record to the end (a BT peer that failed); the next Sort places it again.
    void MoveToEnd(const TPeerId* record);

    // Back-off test of the connection eligibility: resolved, free connection slots, penalties
    // forgiven for servers with a history of whole pieces, trackers every 600 s. `speed` is the
    // task's smoothed download speed. Lowers a positive penalty by one on every call.
    static bool Eligible(TPeerId& record, int32_t speed, int64_t now);

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const std::vector<RefPtr<TPeerId>>& records() const { return records_; }
    void Clear() { records_.clear(); }

    // Removes the records for which `drop` holds.
    void RemoveIf(const std::function<bool(TPeerId&)>& drop);

  private:
    std::vector<RefPtr<TPeerId>> records_;
    std::mt19937 random_;
};

}  // namespace kf
