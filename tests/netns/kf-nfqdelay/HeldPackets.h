#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kf {

// The packets kf-nfqdelay holds back: queue packet ids in arrival order, each with the time its
// verdict is due. One delay for every packet keeps the due times in arrival order, so a ring
// released from its head is enough.
//
// Owner and threads: the helper's main loop; no lock.
// Limits: at most `capacity` packets (fixed at construction, nothing is allocated later); Hold
// answers false when the ring is full and the caller drops the packet.
class HeldPackets {
  public:
    explicit HeldPackets(size_t capacity);

    // Holds `id` until `due_ms`; false when full.
    bool Hold(uint32_t id, int64_t due_ms);
    // The id of the oldest packet whose time has come (removed), or nothing.
    std::optional<uint32_t> TakeDue(int64_t now_ms);
    // The id of the oldest packet regardless of its time (removed), or nothing.
    std::optional<uint32_t> TakeAny();
    // Milliseconds until the oldest packet is due (0 when overdue), or nothing when empty.
    std::optional<int64_t> WaitMs(int64_t now_ms) const;
    size_t size() const { return count_; }

  private:
    struct Entry {
        uint32_t id = 0;
        int64_t due_ms = 0;
    };
    std::vector<Entry> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace kf
