#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/base/BlockSize.h"

namespace kf {

// Free list of 16 KiB block buffers for one piece map, so that receiving a block does not cost a
// heap allocation. Keeps at most `keep` free buffers (the piece map sets it to its cache size);
// the rest go back to the heap. Task thread only.
class BlockPool {
  public:
    using Buffer = std::unique_ptr<uint8_t[]>;

    explicit BlockPool(size_t keep = 256) : keep_(keep) {}

    Buffer Take();
    void Give(Buffer buffer);
    void SetKeep(size_t keep);
    size_t FreeCount() const { return free_.size(); }

  private:
    size_t keep_;
    std::vector<Buffer> free_;
};

}  // namespace kf
