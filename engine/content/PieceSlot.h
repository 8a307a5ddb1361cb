#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/base/BlockSize.h"
#include "engine/content/BlockPool.h"
#include "engine/content/Sha1State.h"
#include "engine/content/StrongIndex.h"

namespace kf {

// The state of one piece of a piece map (TPieces): how much of it is on disk and hashed, the
// received blocks not yet written (the block map), and the flags of the memory cache.
//
// A piece is cut into 16 KiB blocks counted from its start (the last one may be shorter). Blocks
// are filled from their start; bytes_done, the contiguous bytes from the piece start that are on
// disk and fed into the SHA-1 state, always ends on a block boundary or at the piece end. Owned by
// its TPieces; task thread only.
class PieceSlot {
  public:
    // Most blocks one spill record may carry.
    static constexpr int32_t kMaxSpillBlocks = 512;
    static constexpr int32_t kSpillHeaderSize = 16;
    static constexpr int32_t kSpillEntrySize = 16400;

    PieceSlot(PieceIndex index, int32_t size, const uint8_t* digest);
    PieceSlot(PieceSlot&&) noexcept = default;
    PieceSlot& operator=(PieceSlot&&) noexcept = default;

    PieceIndex index() const { return index_; }
    int32_t size() const { return size_; }
    // The 20 expected digest bytes, or null for a piece map without digests.
    const uint8_t* digest() const { return digest_; }
    int32_t BlockCount() const { return (size_ + kBlockSize - 1) / kBlockSize; }
    int32_t BlockLength(BlockIndex block) const;

    // Contiguous bytes from the start on disk and hashed.
    int32_t bytes_done() const { return bytes_done_; }
    // Bytes of block data held in the map.
    int64_t cached_bytes() const { return cached_bytes_; }
    Sha1State* sha1() { return sha1_.get(); }
    bool has_sha1() const { return sha1_ != nullptr; }

    // Stores data that starts at `offset` inside the piece. Data below bytes_done or already in
    // the map is passed over; storing stops at the first byte that would leave a gap inside its
    // block. Answers the bytes consumed.
    int32_t Store(int32_t offset, std::span<const uint8_t> data, BlockPool& pool);
    // In-place form of Store: the free room of the block holding `offset`, from `offset` to the
    // block's end, when `offset` is exactly where that block's data continues and the block is not
    // on disk yet; else empty. Bytes written there count only once committed.
    std::span<uint8_t> ReceiveRoom(int32_t offset, BlockPool& pool);
    // Takes `length` bytes written at `offset` into the room ReceiveRoom gave (at most to the
    // block's end). Answers the bytes taken (0 when `offset` is not where the block continues).
    int32_t CommitReceived(int32_t offset, int32_t length);
    // End of the data available without a gap from bytes_done (disk, then whole blocks in the
    // map); equals size() when the piece's data is complete.
    int32_t ContiguousEnd() const;
    bool HasBlock(BlockIndex block) const;
    // Full block data at `block`, or an empty span.
    std::span<const uint8_t> BlockData(BlockIndex block) const;
    // Calls `visit` with the block data covering [from, to), in order. The range must be present.
    void VisitRange(int32_t from, int32_t to,
                    const std::function<void(std::span<const uint8_t>)>& visit) const;
    // Puts a whole block read back from disk into the map (upload read cache).
    void CacheBlock(BlockIndex block, std::span<const uint8_t> data, BlockPool& pool);

    // Marks [bytes_done, to) as written and hashed: frees those blocks. `to` lies on a block
    // boundary or at the piece end. Answers the bytes freed.
    int64_t Advance(int32_t to, BlockPool& pool);
    // Frees every block. Answers the bytes freed.
    int64_t DropBlocks(BlockPool& pool);
    // Back to empty: no blocks, nothing done, no hash state, flags cleared. Answers bytes freed.
    int64_t Reset(BlockPool& pool);
    // Restores bytes_done and the hash state from a resume record; bytes_done must end on a block
    // boundary and lie inside the piece, and the state must have hashed exactly that many bytes.
    bool RestorePartial(int32_t bytes_done, Sha1State state);
    // Starts the hash state when the piece has none (bytes_done 0).
    Sha1State& EnsureSha1();
    void ReleaseSha1() { sha1_.reset(); }
    // Marks the whole piece written (verified and on disk); the map keeps only read-cache blocks.
    void MarkWritten() { bytes_done_ = size_; }

    // Takes over the progress, hash state, blocks and flags of the same piece in another piece
    // map of the same content; `other` is left empty.
    void AdoptState(PieceSlot& other);

    // Spill record data: the block map as described by SpillFile.h. Empty when there is nothing
    // to keep (piece shorter than one block, no whole block at or above bytes_done).
    std::vector<uint8_t> SerializeBlocks() const;
    // Restores the map from spill record data (untrusted). On refusal the map is emptied and -1
    // answered; else the restored length (the record's bytes_done) is answered.
    int64_t RestoreBlocks(std::span<const uint8_t> data, BlockPool& pool);

    // Cache and scheduling flags, maintained by TPieces.
    bool held = false;      // verified in memory, not yet written
    bool complete = false;  // all of the piece's data is present
    bool drop = false;      // blocks are to be discarded
    bool partial = false;   // on the piece map's list of partially present pieces
    int64_t last_activity = 0;
    // The source whose data completed the piece (identity only, never dereferenced) and whether
    // every block of the piece came from it.
    uintptr_t source = 0;
    bool single_source = true;

  private:
    struct Block {
        BlockPool::Buffer data;
        int32_t filled = 0;
    };

    void EnsureBlocks();

    PieceIndex index_;
    int32_t size_ = 0;
    const uint8_t* digest_ = nullptr;
    int32_t bytes_done_ = 0;
    int64_t cached_bytes_ = 0;
    std::unique_ptr<Sha1State> sha1_;
    std::vector<Block> blocks_;  // empty until the first block arrives
};

}  // namespace kf
