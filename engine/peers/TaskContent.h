#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/content/StrongIndex.h"
#include "engine/peers/BlockRequest.h"

namespace kf {

class TPeerObject;
struct PeerWork;

// The task's content as its peer objects fetch and serve it: the piece map's answers, block
// delivery (copied or in place), the shared block list, the BitTorrent request planning, uploads,
// and the byte budgets and counts of the traffic.
//
// Owner: the task (its work object implements it; peer tests use a fake), which outlives its
// peers. Thread: the task's own thread, every call. Results: nothing here is meaningful while
// ContentSizeKnown() is false. Block numbers are content-wide.
class TaskContent {
  public:
    virtual ~TaskContent() = default;

    virtual bool ContentSizeKnown() = 0;
    virtual int64_t ContentSize() = 0;
    virtual int32_t PieceCount() = 0;
    virtual int32_t PieceLength() = 0;
    virtual bool IsComplete() = 0;  // every piece verified: the task is seeding
    // None when no read request prefers a piece.
    virtual std::optional<PieceIndex> PreferredPiece() = 0;

    // Piece state.
    virtual bool InEndGame() = 0;
    virtual bool IsPieceVerified(PieceIndex piece) = 0;
    // The byte range [first, second) of `piece` still missing; second is 0 when none is.
    virtual std::pair<int32_t, int32_t> MissingRange(PieceIndex piece) = 0;
    virtual bool IsBlockDone(ContentBlock block, int32_t length) = 0;

    // Block delivery. `accepted`: the piece map took the bytes; `piece_failed`: they completed a
    // piece that failed its check (the task has then released the piece and counted the failure
    // against `from`).
    struct WriteResult {
        bool accepted = false;
        bool piece_failed = false;
    };
    virtual WriteResult WriteBlock(ContentBlock block, std::span<const uint8_t> bytes,
                                   TPeerObject& from) = 0;
    // In-place delivery, so that a peer can read from its socket straight into the piece cache:
    // the memory where the bytes of `block` from `offset` (inside the block) to the block's end
    // belong, or empty when they cannot be taken in place (the peer then delivers a copy through
    // WriteBlock). CommitBlockBytes takes `length` bytes written there, answering as WriteBlock.
    // Non-pure: a task without an in-place store keeps the copying path.
    virtual std::span<uint8_t> BlockRoom(ContentBlock /*block*/, int32_t /*offset*/) { return {}; }
    virtual WriteResult CommitBlockBytes(ContentBlock /*block*/, int32_t /*offset*/,
                                         int32_t /*length*/, TPeerObject& /*from*/) {
        return {};
    }

    // The shared block list (end game and requests left behind): removing the request a block
    // answers (false when it is not there), giving requests back (dropped while the task stops),
    // whether an equal request is there, and adding a copy of one.
    virtual bool TakeFromSharedBlocks(const BlockRequest& request) = 0;
    virtual void ReturnBlocks(std::deque<BlockRequest> blocks) = 0;
    virtual bool InSharedBlocks(const BlockRequest& /*request*/) { return false; }
    virtual void AddSharedBlock(const BlockRequest& /*request*/) {}

    // BitTorrent. Non-pure with safe defaults: a task that does not implement them announces no
    // piece, plans no BT requests and serves no uploads.
    // The verified pieces, (piece count + 7) ÷ 8 bytes, piece 0 in the high bit of byte 0; empty
    // while the piece count is unknown.
    virtual std::vector<uint8_t> BitfieldBytes() { return {}; }
    // One planning turn of the block scheduler for a connected BT peer (shared blocks first, then
    // up to three piece choices), and the BT piece choice alone (the piece is engaged).
    struct BtPlan {
        bool ran = false;       // the planning step ran
        bool complete = false;  // the task has every piece: queued requests are to be cancelled
        int32_t queued = 0;     // requests added to the peer's queue
        int32_t shared = 0;     // requests added to the shared block list
    };
    virtual BtPlan PlanBtRequests(PeerWork& /*peer*/) { return {}; }
    virtual std::optional<PieceIndex> NextBtPiece(PeerWork& /*peer*/) { return std::nullopt; }
    // Uploads: reads `out.size()` bytes of verified piece `piece` from `begin` on (false when they
    // cannot be had), and counts bytes sent to a BT peer in the task's upload total.
    virtual bool ReadBlock(PieceIndex /*piece*/, int32_t /*begin*/, std::span<uint8_t> /*out*/) {
        return false;
    }
    virtual void CountUploaded(int32_t /*bytes*/) {}

    // Traffic: payload delivered per peer kind, and the bytes a peer may read or send in the
    // current second.
    virtual void CountPayload(int32_t peer_kind, int32_t bytes) = 0;
    virtual int32_t DownloadAllowance() = 0;
    // The task's download limit in bytes per second, 0 when it has none.
    virtual int32_t DownloadLimit() = 0;
    virtual int32_t UploadAllowance() = 0;
    // An established peer still holds unsent bytes after its turn (the task's send turn reads the
    // count), the number of connected BT peers that did after their last turn, and the task's
    // peer-slot target (how many BT peers are served on every pass).
    virtual void NotePendingSend() {}
    virtual int32_t PeersWithUnsentData() { return 0; }
    virtual int32_t PeerSlotTarget() { return 6; }
};

}  // namespace kf
