#include "support/InPlacePeerTask.h"

#include <algorithm>

namespace kf::test {

InPlacePeerTask::InPlacePeerTask(int64_t size, int32_t piece_length)
    : FakePeerTask(size, piece_length),
      size_(size),
      memory_(static_cast<size_t>(size), '\0'),
      fill_(static_cast<size_t>((size + kBlockSize - 1) / kBlockSize), 0) {}

int32_t InPlacePeerTask::Length(int32_t block) const {
    return static_cast<int32_t>(std::min<int64_t>(kBlockSize, size_ - Start(block)));
}

std::span<uint8_t> InPlacePeerTask::BlockRoom(ContentBlock at, int32_t offset) {
    if (refuse_rooms || at.value() < 0 || static_cast<size_t>(at.value()) >= fill_.size() ||
        IsBlockDone(at, 0) || offset != fill_[static_cast<size_t>(at.value())]) {
        return {};
    }
    const auto block = static_cast<int32_t>(at.value());
    return {reinterpret_cast<uint8_t*>(memory_.data()) + Start(block) + offset,
            static_cast<size_t>(Length(block) - offset)};
}

TaskContent::WriteResult InPlacePeerTask::CommitBlockBytes(ContentBlock at, int32_t offset,
                                                           int32_t length, TPeerObject& from) {
    const auto block = static_cast<int32_t>(at.value());
    commits.push_back(Commit{block, offset, length});
    int32_t& fill = fill_[static_cast<size_t>(block)];
    if (offset != fill || length <= 0 || offset + length > Length(block)) {
        return {};
    }
    fill += length;
    in_place_bytes += length;
    if (fill < Length(block)) {
        return WriteResult{true, false};
    }
    const WriteResult result =
        WriteBlock(at,
                   {reinterpret_cast<const uint8_t*>(memory_.data()) + Start(block),
                    static_cast<size_t>(Length(block))},
                   from);
    if (result.piece_failed) {
        const int32_t first =
            static_cast<int32_t>(Start(block) / PieceLength()) * (PieceLength() / kBlockSize);
        for (int32_t b = first;
             b < first + PieceLength() / kBlockSize && static_cast<size_t>(b) < fill_.size(); ++b) {
            fill_[static_cast<size_t>(b)] = 0;
        }
    }
    return result;
}

bool InPlacePeerTask::HasPartBlock() const {
    for (size_t block = 0; block < fill_.size(); ++block) {
        if (fill_[block] > 0 && fill_[block] < Length(static_cast<int32_t>(block))) {
            return true;
        }
    }
    return false;
}

bool InPlacePeerTask::HasCommittedBlock() const {
    return std::any_of(fill_.begin(), fill_.end(), [](int32_t f) { return f > 0; });
}

}  // namespace kf::test
