#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "engine/content/StrongIndex.h"
#include "engine/peers/BlockRequest.h"
#include "engine/peers/PeerWork.h"
#include "engine/peers/Range.h"
#include "engine/task/SchedulingContext.h"

namespace kf {

// The shared scheduling state of one task and every choice made on it: which piece each
// connection fetches next, which 16 KiB blocks a BitTorrent peer requests, and how the pieces are
// split into ranges among the HTTP and FTP connections.
//
// Owner: the task (one per task). Thread: the task thread only; nothing here locks.
// The scheduler keeps the engaged pieces (one entry per connection fetching a piece), the end-game
// flag, the shared block list, the preferred piece, the queue of verified pieces still to be
// announced, and the server range list. It never talks to sockets or peer objects: it reads and
// changes the PeerWork record of a connection and asks its SchedulingContext about the pieces.
//
// PeerWork records passed in must outlive their involvement: a connection that holds a list range
// must go through OnPeerLeaving (or ReleaseRange) before its PeerWork is destroyed, because the
// range keeps a pointer to it; and Reset() must run before the scheduler goes if PeerWork records
// outlive it (the destructor leaves them alone). A server connection's queued requests always lie
// inside the range it holds; the scheduler drops them (in flight or not) whenever that range is
// taken from it, so two server connections never fetch the same piece.
//
// What the task calls, and when:
//   every piece-map notice   OnPieceVerified (verified), PieceFailed (rejected data), then
//                            FetchFromOnePeer when the task knows who delivered the piece
//   every second             PruneSharedBlocks; TakeHaveAnnouncements when it announces;
//                            ClearStickyEndGame after applying its pending changes
//   every 32 seconds         SharedBlockUpkeep
//   on a read request        SetPreferredPiece
//   peer departure           OnPeerLeaving (releases the range, returns the queued requests)
//   piece map rebuilt        OnPieceMapRebuilt; task reset: Reset
// What the peers reach through the task's faces: InEndGame, ReturnBlocks, RemoveSharedBlock and
// the shared list, BT peers PlanBtRequests / NextBtPiece (TaskContent); NextServerPiece,
// ReleaseRange, FinishRange, TakeRangeAtPreferred (TaskRanges).
class BlockScheduler {
  public:
    // Retry interval of a BT peer that found nothing to fetch.
    static constexpr int64_t kNothingToPickRetry = 60;
    // Shortest private run a BT peer cuts from the tail of a server range, in blocks.
    static constexpr int64_t kPrivateRunBlocks = 24;
    // BT peers wait this long after the task started for the server sources to lay out ranges.
    static constexpr int64_t kRangeLayoutWait = 60;
    // How long a piece fetched from one peer waits for a peer that did not spoil it before.
    static constexpr int64_t kSoloSuspectWait = 5;

    explicit BlockScheduler(SchedulingContext& context);
    BlockScheduler(const BlockScheduler&) = delete;
    BlockScheduler& operator=(const BlockScheduler&) = delete;
    ~BlockScheduler();

    // Forgets everything: engagements, shared blocks, ranges (their holders lose them, queued
    // requests of server connections are dropped), the preferred piece and the announcements.
    void Reset();
    // The piece map was replaced. With a new layout (piece length or piece count) the server
    // connections give up their ranges, the ranges are built again on the next request for work,
    // and engagements, announcements and the preferred piece are forgotten; BT peers must then
    // drop their private runs (ReleaseRange) as their piece numbers mean other bytes now.
    void OnPieceMapRebuilt(bool layout_changed);

    // --- Pieces and engagement ------------------------------------------------------------
    // The piece map has p, is not finishing it and has not verified it.
    bool IsPieceNeeded(PieceIndex piece);
    // IsPieceNeeded and (end game or not engaged). Refreshes the end-game flag.
    bool WantsPiece(PieceIndex piece);
    // Adds one engagement of p when it has fewer than the cap
    // max(max(active connections / 3, 64) - remaining pieces, 1) + 1. Outside end game a piece
    // that is already engaged is refused.
    bool EngagePiece(PieceIndex piece);
    void ReleasePiece(PieceIndex piece);
    int32_t EngagedCount(PieceIndex piece) const;
    int64_t EngagedTotal() const { return engaged_total_; }
    // End game now (engaged entries >= remaining pieces) or at any moment since the last
    // ClearStickyEndGame.
    bool InEndGame();
    void ClearStickyEndGame();

    // A verified piece: all engagements go and the piece waits for its "have" announcement.
    void OnPieceVerified(PieceIndex piece);
    // Data written for p was rejected: one engagement of p goes. (The task counts the failure
    // against the connection.)
    void PieceFailed(PieceIndex piece);
    // The failed `piece` goes to one BT peer alone from now on, every block of it (never shared,
    // never doubled in end game), so that a second failure names the peer at fault; its shared
    // blocks and engagements go (the task has the peers drop their requests for it). Peers at an
    // address in `suspects` (added to those of earlier failures) get it only once it has waited
    // kSoloSuspectWait seconds without another taker. Ends when the piece is verified.
    void FetchFromOnePeer(PieceIndex piece, const std::vector<uint32_t>& suspects);
    bool IsSoloPiece(PieceIndex piece) const;
    // A peer was banned for bad data: the pieces it is a suspect of are put down to it, and any
    // peer may fetch them at once.
    void OnPeerBanned(uint32_t address);
    // The verified pieces queued since the last call, oldest first; the queue is emptied.
    std::vector<PieceIndex> TakeHaveAnnouncements();

    std::optional<PieceIndex> PreferredPiece() const;
    // None (or a negative piece) clears it.
    void SetPreferredPiece(std::optional<PieceIndex> piece);

    // --- Shared block list ----------------------------------------------------------------
    // Moves the blocks of the first piece in the shared list that the peer has, is not excluded
    // from and is still needed into its queue, until the queue holds `limit` requests (16 when
    // limit <= 0). Blocks already held by the piece map are dropped on the way. Answers whether
    // any block was taken.
    bool TakeSharedBlocks(PeerWork& peer, int32_t limit);
    // Puts the requests in front of the shared list (drops them while the task stops).
    void ReturnBlocks(std::deque<BlockRequest> blocks);
    // Removes one equal request from the shared list (a block delivered against it).
    bool RemoveSharedBlock(const BlockRequest& request);
    // Drops the requests whose block the piece map already holds (once per second).
    void PruneSharedBlocks();
    // Every 32 seconds: empties the list once the task is complete; outside end game sorts a long
    // list by block number.
    void SharedBlockUpkeep();
    const std::deque<BlockRequest>& SharedBlocks() const { return shared_; }

    // --- HTTP and FTP ranges --------------------------------------------------------------
    // Splits the pieces among the server candidates (replacing any ranges); updates each slot's
    // max_connections to its number of sub-ranges.
    void BuildRanges(std::vector<ServerSlot>& slots);
    // Gives the connection a range (free, redo, stalled, or stolen from a slower holder); null
    // when none can be had. A range it already holds is released first.
    Range* AssignRange(PeerWork& peer);
    // The next piece for a server connection, assigning a range when it holds none, if any.
    std::optional<PieceIndex> NextServerPiece(PeerWork& peer);
    // Gives up the held range: a private range releases its pieces not yet handed out and is
    // deleted; a list range loses its holder and the connection's queued requests are dropped.
    void ReleaseRange(PeerWork& peer);
    // A connection leaves or is dropped: its range is given up and its queued requests are
    // returned (ReturnBlocks). Must run before its PeerWork is destroyed.
    void OnPeerLeaving(PeerWork& peer);
    // The connection has finished its range: its queued requests are dropped and the range is
    // marked done, then kept for another pass (redo) or removed.
    void FinishRange(PeerWork& peer);
    // Splits the range holding the preferred piece and gives the part from that piece on to the
    // connection (never a piece another connection is working on). Answers its first piece, if
    // any.
    std::optional<PieceIndex> TakeRangeAtPreferred(PeerWork& peer);
    bool HasRanges() const { return !ranges_.empty(); }
    bool RangesBuilt() const { return ranges_built_; }
    size_t RangeCount() const { return ranges_.size(); }
    const Range& RangeAt(size_t index) const { return *ranges_[index]; }

    // --- BitTorrent -------------------------------------------------------------------------
    // BT piece choice for a connected peer; the chosen piece is engaged. None when nothing can be
    // had; a peer that found nothing gets its nothing-to-pick flag.
    std::optional<PieceIndex> NextBtPiece(PeerWork& peer);
    // Whether the peer may plan now: its nothing-to-pick flag is clear, the last try was at
    // least kNothingToPickRetry seconds ago, or work was offered since (blocks given back, a
    // piece that failed its check).
    bool PickAllowed(const PeerWork& peer);
    // The remote announced a piece: remembered for the piece choice; a piece the task still
    // needs clears the nothing-to-pick flag.
    void OnPeerAnnounced(PeerWork& peer, PieceIndex piece);

    struct BtPlan {
        bool ran = false;       // the planning step ran (queue short, allowed)
        bool complete = false;  // the task has every piece: cancel what is queued
        int32_t queued = 0;     // requests added to the peer's queue
        int32_t shared = 0;     // requests added to the shared list
    };
    // One planning turn of a connected BT peer: shared blocks first, then up to three piece
    // choices; blocks beyond the take limit go to the shared list.
    BtPlan PlanBtRequests(PeerWork& peer);

  private:
    // The private choices count pieces in int32_t as the ranges do (-1: none); the public calls
    // take and answer PieceIndex.

    // Pieces and end game.
    bool RefreshEndGame();
    bool CanEngage(PieceIndex piece);
    int64_t RemainingPieces();
    bool Ready();
    bool IsComplete();
    void EnsureEngagedSize();

    // Ranges.
    Range* ListRangeContaining(int32_t piece);
    void Hold(PeerWork& peer, Range& range);
    void Free(Range& range);
    void TakeAway(Range& range);
    void RemoveRange(Range* range);
    void DropAllRanges();
    void EndOfRange(PeerWork& peer);
    void TrimEnd(Range& range);
    bool AnyWanted(const Range& range);
    bool AnyNeeded(const Range& range);
    int32_t FirstWanted(const PeerWork& peer, int32_t from, int32_t to);
    PieceIndex TakeFromRange(PeerWork& peer, Range& range, int32_t piece);
    Range* StealRange(PeerWork& peer);
    Range* OwnChoice(PeerWork& peer);
    size_t IndexOf(const Range* range) const;
    void CheckRanges() const;

    // Pieces fetched from one peer. A holder holds its piece while it has requests for it queued.
    struct SoloPiece {
        int32_t piece = -1;
        const PeerWork* holder = nullptr;
        std::vector<uint32_t> suspects;
        int64_t since = 0;  // when it last failed
    };
    SoloPiece* FindSolo(int32_t piece);
    bool IsHeld(const SoloPiece& solo);
    // The peer may fetch the piece now; it becomes the holder (one engagement).
    bool ClaimSolo(const PeerWork& peer, SoloPiece& solo);
    // ClaimSolo for a piece the peer has, may be asked for, has nothing queued of and is needed.
    bool TakeSolo(PeerWork& peer, SoloPiece& solo);
    int32_t SoloChoice(PeerWork& peer);
    // A piece fetched from one peer that `peer` may take once its suspect wait is over.
    bool SoloWaitsFor(const PeerWork& peer);
    void EndSolo(int32_t piece);
    void ClearSolo();

    // BT piece choice.
    bool Qualifies(PeerWork& peer, int32_t piece);
    bool InServerSpan(int32_t piece) const;
    int32_t RangeAwareChoice(PeerWork& peer);
    int32_t TakePrivateRun(PeerWork& peer);
    int32_t WalkPrivateRange(PeerWork& peer);
    int32_t TakeFromTails(PeerWork& peer);
    int32_t ChooseByPriority(PeerWork& peer);
    int32_t ChooseInFile(PeerWork& peer, const SchedulingFile& file);
    int32_t QueueBlocks(PeerWork& peer, int32_t piece, int32_t take_limit, BtPlan& plan);

    SchedulingContext& context_;

    std::vector<int32_t> engaged_;  // engagements per piece
    int64_t engaged_total_ = 0;
    bool end_game_ = false;
    bool end_game_sticky_ = false;

    std::deque<BlockRequest> shared_;
    uint64_t offers_ = 0;  // raised whenever work comes back (PickAllowed)
    int32_t preferred_piece_ = -1;
    std::vector<PieceIndex> have_queue_;

    std::vector<SoloPiece> solo_;
    std::vector<bool> is_solo_;  // per piece, sized on the first FetchFromOnePeer

    std::vector<std::unique_ptr<Range>> ranges_;
    bool ranges_built_ = false;

    // Set while a BT choice falls back to the whole content with ranges present: pieces inside a
    // server's working span are then left to the servers.
    bool skip_server_spans_ = false;
    // Mixed into the next file start so that consecutive choices spread over the files.
    int32_t last_tried_piece_ = 0;
    int32_t previous_start_ = 0;
    int32_t last_priority_ = 0;
};

}  // namespace kf
