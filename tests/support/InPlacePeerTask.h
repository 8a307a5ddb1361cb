#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/FakePeerTask.h"

namespace kf::test {

// The fake task with an in-place store for the server peers' tests: rooms in a memory of its
// own, one fill count per block; a block whose last bytes are committed is handed to
// FakePeerTask's WriteBlock (which records it and may fail its piece: the piece's blocks then
// start over). Every commit is recorded.
class InPlacePeerTask : public FakePeerTask {
  public:
    struct Commit {
        int32_t block;
        int32_t offset;
        int32_t length;
    };

    InPlacePeerTask(int64_t size, int32_t piece_length);

    std::span<uint8_t> BlockRoom(ContentBlock block, int32_t offset) override;
    WriteResult CommitBlockBytes(ContentBlock block, int32_t offset, int32_t length,
                                 TPeerObject& from) override;

    // A block begun in place and not finished.
    bool HasPartBlock() const;
    // A block with any bytes committed in place (finished or not).
    bool HasCommittedBlock() const;

    bool refuse_rooms = false;
    int64_t in_place_bytes = 0;
    std::vector<Commit> commits;

  private:
    int64_t Start(int32_t block) const { return static_cast<int64_t>(block) * kBlockSize; }
    int32_t Length(int32_t block) const;

    int64_t size_;
    std::string memory_;
    std::vector<int32_t> fill_;
};

}  // namespace kf::test
