#include "engine/content/BlockPool.h"

namespace kf {

BlockPool::Buffer BlockPool::Take() {
    if (free_.empty()) {
        return Buffer(new uint8_t[kBlockSize]);
    }
    Buffer buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
}

void BlockPool::Give(Buffer buffer) {
    if (buffer && free_.size() < keep_) {
        free_.push_back(std::move(buffer));
    }
}

void BlockPool::SetKeep(size_t keep) {
    keep_ = keep;
    if (free_.size() > keep_) {
        free_.resize(keep_);
    }
}

}  // namespace kf
