#pragma once

#include <cstdint>

#include "engine/base/BlockSize.h"

namespace kf {

// One 16 KiB block to fetch. Requests are small values kept in queues by value; the block number
// counts 16 KiB blocks over the whole content (offset ÷ 16384).
struct BlockRequest {
    int32_t block = 0;
    int32_t length = 0;      // 1..16384; the last block of a piece may be shorter
    uint32_t queued_at = 0;  // SecondsSinceStart when queued

    bool operator==(const BlockRequest& other) const {
        return block == other.block && length == other.length;
    }
};

}  // namespace kf
