#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/task/LanDatagram.h"

namespace kf {

// The task that reads or looks: who it is, its info-hash, and the engine's listening address
// (network order) and port, which its own datagrams carry.
struct LanSelf {
    const void* task = nullptr;
    LanDatagram::Hash20 info_hash{};
    uint32_t listen_ip = 0;
    int32_t listen_port = 0;
};

// The engine-wide list of LAN announcements that arrived for another task than the one that read
// them, kept for the other tasks of this engine to look at, and the sorting of what arrives.
//
// Owner and threads: the swarm registry, under the task table's mutex; no lock of its own. Pure:
// no sockets, the clock comes in as engine seconds.
//
// Limits and trust: datagrams come from anyone on the local network. One that names this engine's
// own listening address and port (our own, looped back) is ignored, and so is one that names an
// address outside its sender's /24 network (nobody may point us elsewhere; a sender on loopback is
// this machine and may name any of its addresses) or no usable address.
// The list holds at most kMaxEntries (the oldest goes first) and one entry per peer id; an entry
// lives kLifeSeconds.
class LanAnnouncements {
  public:
    static constexpr size_t kMaxEntries = 256;
    static constexpr int64_t kLifeSeconds = 30;

    // Sorts one datagram from `from_ip`: answers it when it is for `self`'s info-hash and
    // `take_mine` holds; stores it otherwise (unless it is ignored, see above).
    std::optional<LanDatagram> Receive(std::span<const uint8_t> bytes, uint32_t from_ip,
                                       const LanSelf& self, int64_t now, bool take_mine);
    // One look of `self` at the entries it has not looked at yet: those for its info-hash are
    // taken out and answered (at most `limit`; the rest wait for the next look), those older than
    // kLifeSeconds or seen by `task_count` tasks already go, the others are marked as seen by it.
    std::vector<LanDatagram> Look(const LanSelf& self, int64_t now, size_t task_count,
                                  size_t limit);
    void Clear() { entries_.clear(); }
    size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        LanDatagram datagram;
        int64_t received = 0;
        std::vector<const void*> lookers;
    };

    void Store(const LanDatagram& datagram, int64_t now);
    void DropExpired(int64_t now);

    std::vector<Entry> entries_;
};

}  // namespace kf
