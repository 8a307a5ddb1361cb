#pragma once

#include <cstdint>

namespace kf {

// Content moves in 16 KiB blocks: the unit of BitTorrent requests, of the piece cache and of the
// resume record's partial pieces. The last block of a piece may be shorter.
constexpr int32_t kBlockSize = 16384;

}  // namespace kf
