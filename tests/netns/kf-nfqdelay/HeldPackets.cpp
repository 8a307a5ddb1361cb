#include "HeldPackets.h"

#include <algorithm>

namespace kf {

HeldPackets::HeldPackets(size_t capacity) : ring_(std::max<size_t>(capacity, 1)) {}

bool HeldPackets::Hold(uint32_t id, int64_t due_ms) {
    if (count_ == ring_.size()) {
        return false;
    }
    ring_[(head_ + count_) % ring_.size()] = Entry{id, due_ms};
    ++count_;
    return true;
}

std::optional<uint32_t> HeldPackets::TakeDue(int64_t now_ms) {
    if (count_ == 0 || ring_[head_].due_ms > now_ms) {
        return std::nullopt;
    }
    return TakeAny();
}

std::optional<uint32_t> HeldPackets::TakeAny() {
    if (count_ == 0) {
        return std::nullopt;
    }
    uint32_t id = ring_[head_].id;
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return id;
}

std::optional<int64_t> HeldPackets::WaitMs(int64_t now_ms) const {
    if (count_ == 0) {
        return std::nullopt;
    }
    return std::max<int64_t>(ring_[head_].due_ms - now_ms, 0);
}

}  // namespace kf
