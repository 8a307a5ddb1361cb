#pragma once

#include <compare>
#include <cstdint>

namespace kf {

// An index that does not convert into another kind of index: a block number handed where a piece
// index is expected does not compile. Read the number with value().
template <class Tag>
class StrongIndex {
  public:
    constexpr StrongIndex() = default;
    constexpr explicit StrongIndex(int64_t value) : value_(value) {}
    constexpr int64_t value() const { return value_; }
    constexpr auto operator<=>(const StrongIndex&) const = default;

  private:
    int64_t value_ = 0;
};

using PieceIndex = StrongIndex<struct PieceIndexTag>;
using FileIndex = StrongIndex<struct FileIndexTag>;
// A 16 KiB block counted from the start of its piece.
using BlockIndex = StrongIndex<struct BlockIndexTag>;
// A 16 KiB block counted from the start of the content (its offset ÷ 16384).
using ContentBlock = StrongIndex<struct ContentBlockTag>;

}  // namespace kf
