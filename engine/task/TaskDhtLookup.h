#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/dht/NodeId.h"

namespace kf {

class CKademlia;

// A task's use of the DHT: its one get_peers/announce lookup for the info hash, run again a few
// minutes after each run, the peers it found handed to the task, and pings of the torrent's
// "node://" entries when a lookup is made.
//
// Owner: the task; task thread only. The lookup is shared with the DHT service while it runs and
// is withdrawn from it when done, on Forget and on destruction.
class TaskDhtLookup {
  public:
    static constexpr int32_t kMaxNodePings = 6;

    explicit TaskDhtLookup(CKademlia& dht) : dht_(dht) {}
    TaskDhtLookup(const TaskDhtLookup&) = delete;
    TaskDhtLookup& operator=(const TaskDhtLookup&) = delete;
    ~TaskDhtLookup() { Forget(); }

    // One step (every 8 s, and every 100 ms until the first lookup) while the DHT runs and the
    // task may use it. `add_peer` gets every valid address found (network order) and port;
    // `trackers` is asked for the torrent's tracker list only when a new lookup is made. The
    // first lookup waits until the DHT knows some nodes: started from an empty table it would end
    // at once and wait half a minute.
    void Step(const NodeId& info_hash, uint16_t listen_port,
              const std::function<std::vector<std::string>()>& trackers, int64_t now,
              const std::function<void(uint32_t, uint16_t)>& add_peer);
    // Between steps (every 100 ms): the peers a running or finished lookup found so far, so that
    // they do not wait for the next step.
    void TakeFound(const std::function<void(uint32_t, uint16_t)>& add_peer);
    // The port a running lookup announces: the listener may open after the lookup started.
    void SetAnnouncePort(uint16_t listen_port) {
        if (lookup_) {
            lookup_->SetAnnouncePort(listen_port);
        }
    }
    void Forget();
    bool HasLookup() const { return lookup_ != nullptr; }

    // How long a finished run waits before the next, from the candidates it ended with.
    static int64_t RerunDelay(size_t candidates);

  private:
    void PingNodeEntries(const std::vector<std::string>& trackers);

    CKademlia& dht_;
    std::shared_ptr<CKadActionBitTorrent> lookup_;
    bool done_mark_ = false;
};

}  // namespace kf
