// BitTorrent piece choice: the preferred piece, private runs and tails of the server ranges,
// partially present pieces, and file priorities with a random start inside each file.

#include <algorithm>
#include <array>
#include <cassert>

#include "engine/task/BlockScheduler.h"

namespace kf {

namespace {

constexpr int32_t kHighestPriority = 2;
constexpr int32_t kLowestPriority = -2;

int64_t Blocks(int64_t piece_length, int32_t hi, int32_t lo) {
    return piece_length * (static_cast<int64_t>(hi) - lo + 1) / kBlockSize;
}

}  // namespace

bool BlockScheduler::InServerSpan(int32_t piece) const {
    for (const auto& range : ranges_) {
        if (range->holder != nullptr && piece >= range->current && piece <= range->end) {
            return true;
        }
    }
    return false;
}

// The peer has the piece, may be asked for it, the task wants it, the peer has not queued it yet,
// and it could be engaged (which happens here).
bool BlockScheduler::Qualifies(PeerWork& peer, int32_t piece) {
    if (SoloPiece* solo = FindSolo(piece)) {
        return TakeSolo(peer, *solo);
    }
    if (!peer.Has(piece) || peer.IsExcluded(piece) || !WantsPiece(PieceIndex(piece)) ||
        peer.HasRequestFor(piece, context_.PieceLength())) {
        return false;
    }
    if (skip_server_spans_ && InServerSpan(piece)) {
        return false;
    }
    return EngagePiece(PieceIndex(piece));
}

std::optional<PieceIndex> BlockScheduler::NextBtPiece(PeerWork& peer) {
    if (!Ready() || !context_.P2PEnabled()) {
        return std::nullopt;
    }
    const bool had_nothing = peer.nothing_to_pick;
    peer.nothing_to_pick = false;
    const int32_t count = context_.PieceCount();

    // Failed pieces first: the sooner one peer fetches them again, the sooner the one at fault
    // is known.
    if (const int32_t solo = SoloChoice(peer); solo >= 0) {
        return PieceIndex(solo);
    }

    if (preferred_piece_ >= 0) {
        for (int32_t p = preferred_piece_; p < count; ++p) {
            if (Qualifies(peer, p)) {
                return PieceIndex(p);
            }
        }
    }
    if (!ranges_built_ && context_.HasServerCandidates() &&
        context_.ThreadSeconds() <= kRangeLayoutWait) {
        // The server sources lay out their ranges first; nothing was learnt about this peer.
        peer.nothing_to_pick = had_nothing;
        return std::nullopt;
    }
    // A private run is walked to its end even when the server ranges have gone meanwhile: its
    // pieces are engaged for this peer and nobody else would fetch them.
    int32_t piece = peer.private_range != nullptr ? WalkPrivateRange(peer) : -1;
    if (piece < 0 && !ranges_.empty()) {
        piece = RangeAwareChoice(peer);
        // What the ranges cannot give (pieces their servers passed over or left behind) is
        // still open to this peer, but not what a server connection is working towards.
        skip_server_spans_ = true;
    }
    if (piece < 0) {
        for (const PieceIndex partial : context_.PartialPieces()) {
            const auto p = static_cast<int32_t>(partial.value());
            if (Qualifies(peer, p)) {
                piece = p;
                break;
            }
        }
    }
    if (piece < 0) {
        piece = ChooseByPriority(peer);
    }
    skip_server_spans_ = false;
    if (piece >= 0) {
        return PieceIndex(piece);
    }
    if (SoloWaitsFor(peer)) {
        return std::nullopt;  // asked again on its next turn
    }
    const int64_t now = context_.Now();
    if (!had_nothing) {
        peer.nothing_to_pick_since = now;
    }
    peer.nothing_to_pick = true;
    peer.nothing_to_pick_tried = now;
    peer.nothing_to_pick_offers = offers_;
    return std::nullopt;
}

// --- Range-aware choice -------------------------------------------------------------------

int32_t BlockScheduler::RangeAwareChoice(PeerWork& peer) {
    const int32_t piece = TakePrivateRun(peer);
    if (piece >= 0) {
        return piece;
    }
    return TakeFromTails(peer);
}

// Hands out the private run downward. Pieces finished meanwhile by others are passed over (and
// their engagement dropped); a used-up run is dropped.
int32_t BlockScheduler::WalkPrivateRange(PeerWork& peer) {
    Range& run = *peer.private_range;
    while (run.current > run.start) {
        --run.current;
        const int32_t piece = run.current;
        if (IsSoloPiece(PieceIndex(piece))) {
            continue;  // its engagement went with its failure: one peer fetches it again
        }
        if (IsPieceNeeded(PieceIndex(piece)) && !peer.IsExcluded(piece)) {
            peer.last_piece = piece;
            return piece;
        }
        ReleasePiece(PieceIndex(piece));
    }
    run.done = true;
    if (peer.range == &run) {
        peer.range = nullptr;
    }
    peer.private_range.reset();
    return -1;
}

// Looks for a run of at least kPrivateRunBlocks consecutive pieces at the tail of a server range
// that this peer alone can fetch, at most half of the range's rest, and makes it the peer's
// private range.
int32_t BlockScheduler::TakePrivateRun(PeerWork& peer) {
    if (peer.private_range != nullptr || peer.range != nullptr || ranges_.empty()) {
        return -1;
    }
    const int64_t piece_length = context_.PieceLength();
    const size_t n = ranges_.size();
    const size_t origin = context_.Tick() % n;
    for (size_t i = 0; i < n; ++i) {
        Range& range = *ranges_[(origin + i) % n];
        if (range.done || range.is_private) {
            continue;
        }
        // A server connection on the range keeps its current piece.
        const int32_t low = range.current + (range.holder != nullptr ? 1 : 0);
        int32_t hi = -1;
        int32_t lo = -1;
        for (int32_t p = range.end; p >= low; --p) {
            if (peer.Has(p) && !peer.IsExcluded(p) && WantsPiece(PieceIndex(p)) &&
                !IsSoloPiece(PieceIndex(p)) &&
                !peer.HasRequestFor(p, static_cast<int32_t>(piece_length)) &&
                CanEngage(PieceIndex(p))) {
                if (hi < 0) {
                    hi = p;
                }
                lo = p;
                continue;
            }
            if (hi >= 0) {
                // The run ends here. A long enough run is taken as it is: scanning on would
                // join pieces below the gap to it, and the gap's pieces are not ours to take.
                if (Blocks(piece_length, hi, lo) >= kPrivateRunBlocks) {
                    break;
                }
                hi = lo = -1;
            }
        }
        // The run takes at most the upper half of what lies between the range's next piece and
        // its top: a run down to the holder's current piece would leave the server connection
        // nothing after it, and a range unheld now keeps work for the next server connection.
        if (hi >= 0) {
            lo = std::max(lo, hi - (hi - low + 1) / 2 + 1);
        }
        if (hi < 0 || lo > hi || Blocks(piece_length, hi, lo) < kPrivateRunBlocks) {
            continue;
        }
        auto run = std::make_unique<Range>();
        run->start = lo;
        run->end = hi;
        run->current = hi;
        run->is_private = true;
        run->assigned_at = context_.Now();
        range.assigned_at = run->assigned_at;
        for (int32_t p = hi; p >= lo; --p) {
            const bool engaged = EngagePiece(PieceIndex(p));
            assert(engaged && "a piece of a private run could not be engaged");
            (void)engaged;
        }
        peer.private_range = std::move(run);
        peer.range = peer.private_range.get();
        peer.last_piece = hi;
        return hi;
    }
    return -1;
}

// Takes a piece from the tail of a server range: from the end down to the lowest piece a server
// connection would not mind losing.
int32_t BlockScheduler::TakeFromTails(PeerWork& peer) {
    if (ranges_.empty()) {
        return -1;
    }
    const int32_t piece_length = context_.PieceLength();
    const size_t n = ranges_.size();
    const size_t origin = context_.Tick() % n;
    auto takes = [&](int32_t p) {
        return peer.Has(p) && !peer.IsExcluded(p) && !IsSoloPiece(PieceIndex(p)) &&
               !peer.HasRequestFor(p, piece_length) && EngagePiece(PieceIndex(p));
    };
    for (size_t i = 0; i < n; ++i) {
        Range& range = *ranges_[(origin + i) % n];
        if ((range.done && !range.taken_by_stall) || range.is_private) {
            continue;
        }
        int32_t lowest = range.current;
        if (range.holder != nullptr &&
            static_cast<int64_t>(range.holder->download_rate) * 3 > peer.download_rate) {
            lowest = range.current + 1;
        }
        TrimEnd(range);
        int32_t p = range.end;
        for (; p >= lowest; --p) {
            if (!WantsPiece(PieceIndex(p))) {
                continue;
            }
            if (takes(p)) {
                return p;
            }
            break;
        }
        for (int32_t q = p - 1; q >= lowest; --q) {
            if (WantsPiece(PieceIndex(q)) && !WantsPiece(PieceIndex(q - 1)) &&
                !WantsPiece(PieceIndex(q + 1)) && takes(q)) {
                return q;
            }
        }
    }
    return -1;
}

// --- File priorities ----------------------------------------------------------------------

int32_t BlockScheduler::ChooseByPriority(PeerWork& peer) {
    const int32_t files = context_.FileCount();
    if (files <= 0) {
        return -1;
    }
    int64_t seed = static_cast<int64_t>(context_.Tick()) + last_tried_piece_ + previous_start_ +
                   last_priority_;
    int64_t start = seed % files;
    if (start < 0) {
        start += files;
    }
    previous_start_ = static_cast<int32_t>(start);

    // Levels 2..-2 at indexes 0..4; a level is searched once some file has shown it.
    std::array<bool, 5> marked{};
    marked[0] = true;
    for (int32_t level = kHighestPriority; level >= kLowestPriority; --level) {
        if (!marked[static_cast<size_t>(kHighestPriority - level)]) {
            continue;
        }
        for (int32_t j = 0; j < files; ++j) {
            const int32_t index = static_cast<int32_t>((start + j) % files);
            const SchedulingFile file = context_.File(FileIndex(index));
            if (file.size <= 0 || file.skipped) {
                continue;
            }
            if (file.priority == level) {
                last_priority_ = level;
                const int32_t piece = ChooseInFile(peer, file);
                if (piece >= 0) {
                    return piece;
                }
            } else if (file.priority >= kLowestPriority && file.priority <= kHighestPriority) {
                marked[static_cast<size_t>(kHighestPriority - file.priority)] = true;
            }
        }
    }
    return -1;
}

// Inside one file: the piece the peer announced last, else a random start that avoids the file's
// first piece (often shared with the file before) until every other piece has failed.
int32_t BlockScheduler::ChooseInFile(PeerWork& peer, const SchedulingFile& file) {
    const int32_t count = context_.PieceCount();
    const int32_t first = file.first_piece;
    if (first < 0 || first >= count || file.piece_span <= 0) {
        return -1;
    }
    const int32_t span = static_cast<int32_t>(std::min<int64_t>(file.piece_span, count - first));
    const int32_t end = first + span;  // exclusive
    const bool random_start = context_.RandomStart();

    const int32_t announced = peer.last_announced;
    if (random_start && announced > first && announced < end && Qualifies(peer, announced)) {
        peer.last_announced = -1;
        last_tried_piece_ = announced;
        return announced;
    }

    const int64_t verified = std::max(context_.VerifiedCount(), 0);
    int64_t r = static_cast<int64_t>(context_.Tick()) % (20 * verified + 6);
    r %= count;
    if (verified > 1) {
        r += verified;
    }
    r %= span;
    if (random_start && r == 0) {
        r = 1;
    }
    const int32_t offset = static_cast<int32_t>(r);
    last_tried_piece_ = first + offset;
    for (int32_t p = first + offset; p < end; ++p) {
        if (Qualifies(peer, p)) {
            return p;
        }
    }
    // Wrap around; with the random start the first piece comes last of all.
    const int32_t wrap_from = random_start ? first + 1 : first;
    for (int32_t p = wrap_from; p < std::min(first + offset, end); ++p) {
        if (Qualifies(peer, p)) {
            return p;
        }
    }
    if (random_start && Qualifies(peer, first)) {
        return first;
    }
    return -1;
}

}  // namespace kf
