// Server ranges: the split of the pieces among HTTP and FTP connections, their assignment,
// stealing from slow holders, and the piece choice of a server connection.

#include <algorithm>
#include <cassert>

#include "engine/task/BlockScheduler.h"

namespace kf {

namespace {

// A holder that has not left its first piece for this long may lose its range.
constexpr int64_t kStallSeconds = 10;
// A range whose holder finishes within this many seconds is not worth stealing from.
constexpr int64_t kFinishSoonSeconds = 10;
// With fewer pieces than this left in the task, even ranges about to finish are stolen from.
constexpr int64_t kFewPiecesLeft = 4;
// A newcomer's second pass leaves alone a range assigned this recently that is about to end.
constexpr int64_t kFreshRangeSeconds = 3;

bool Contains(const Range& range, int32_t piece) {
    return piece >= range.start && piece <= range.end;
}

bool HasRequestIn(const PeerWork& peer, const Range& range, int32_t piece_length) {
    for (const BlockRequest& request : peer.requests) {
        const int64_t piece = static_cast<int64_t>(request.block) * kBlockSize / piece_length;
        if (piece >= range.start && piece <= range.end) {
            return true;
        }
    }
    return false;
}

}  // namespace

size_t BlockScheduler::IndexOf(const Range* range) const {
    for (size_t i = 0; i < ranges_.size(); ++i) {
        if (ranges_[i].get() == range) {
            return i;
        }
    }
    return ranges_.size();
}

Range* BlockScheduler::ListRangeContaining(int32_t piece) {
    for (auto& range : ranges_) {
        if (Contains(*range, piece)) {
            return range.get();
        }
    }
    return nullptr;
}

void BlockScheduler::CheckRanges() const {
#ifndef NDEBUG
    for (size_t i = 0; i < ranges_.size(); ++i) {
        const Range& a = *ranges_[i];
        assert(a.start <= a.current && a.current <= a.end && "range bounds out of order");
        assert(!a.is_private && "a private range sits in the list");
        assert((a.holder == nullptr || a.holder->range == &a) && "range and holder disagree");
        for (size_t j = i + 1; j < ranges_.size(); ++j) {
            const Range& b = *ranges_[j];
            assert((a.end < b.start || b.end < a.start) && "server ranges overlap");
        }
    }
#endif
}

void BlockScheduler::Hold(PeerWork& peer, Range& range) {
    assert(range.holder == nullptr && peer.range == nullptr && "range handed out twice");
    range.holder = &peer;
    range.assigned_at = context_.Now();
    peer.range = &range;
    ++peer.ranges_held;
}

void BlockScheduler::Free(Range& range) {
    if (range.holder != nullptr) {
        if (range.holder->range == &range) {
            range.holder->range = nullptr;
        }
        range.holder = nullptr;
    }
}

// Takes the range from its holder, whose queued blocks all lie inside it and are dropped so that
// the next holder is the only connection on those pieces.
void BlockScheduler::TakeAway(Range& range) {
    if (range.holder != nullptr) {
        range.holder->requests.Clear();
    }
    Free(range);
}

void BlockScheduler::RemoveRange(Range* range) {
    const size_t index = IndexOf(range);
    if (index == ranges_.size()) {
        return;
    }
    Free(*range);
    ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(index));
}

void BlockScheduler::DropAllRanges() {
    for (auto& range : ranges_) {
        TakeAway(*range);
    }
    ranges_.clear();
    ranges_built_ = false;
}

void BlockScheduler::TrimEnd(Range& range) {
    while (range.end > range.current && !IsPieceNeeded(PieceIndex(range.end))) {
        --range.end;
    }
}

bool BlockScheduler::AnyWanted(const Range& range) {
    for (int32_t p = range.start; p <= range.end; ++p) {
        if (WantsPiece(PieceIndex(p))) {
            return true;
        }
    }
    return false;
}

bool BlockScheduler::AnyNeeded(const Range& range) {
    for (int32_t p = range.start; p <= range.end; ++p) {
        if (IsPieceNeeded(PieceIndex(p))) {
            return true;
        }
    }
    return false;
}

int32_t BlockScheduler::FirstWanted(const PeerWork& peer, int32_t from, int32_t to) {
    const int32_t piece_length = context_.PieceLength();
    for (int32_t p = std::max(from, 0); p <= to; ++p) {
        if (WantsPiece(PieceIndex(p)) && !peer.HasRequestFor(p, piece_length)) {
            return p;
        }
    }
    return -1;
}

PieceIndex BlockScheduler::TakeFromRange(PeerWork& peer, Range& range, int32_t piece) {
    range.current = piece;
    peer.last_piece = piece;
    return PieceIndex(piece);
}

// --- BuildRanges --------------------------------------------------------------------------

void BlockScheduler::BuildRanges(std::vector<ServerSlot>& slots) {
    DropAllRanges();
    if (!Ready()) {
        return;
    }
    const int64_t count = context_.PieceCount();
    // Counting and numbering use the same sources: a source counted but never numbered would
    // leave the last share unassigned, one numbered but not counted would run past the end.
    auto takes_share = [](const ServerSlot& slot) {
        return !slot.torrent_line && !slot.fetch_to_memory;
    };
    const int64_t n = std::count_if(slots.begin(), slots.end(), takes_share);
    if (n <= 0) {
        return;
    }
    const int64_t now = context_.Now();
    int64_t k = 0;
    for (ServerSlot& slot : slots) {
        if (!takes_share(slot)) {
            continue;
        }
        int64_t first = 0;
        int64_t last = 0;
        if (n < count) {
            first = count / n * k;
            last = k == n - 1 ? count - 1 : count / n * (k + 1) - 1;
        } else {
            if (k >= count) {
                break;
            }
            first = last = k;
        }
        ++k;
        const int64_t length = last - first + 1;
        const int64_t wanted = std::min<int64_t>(
            {(length + 5) / 5, std::max<int32_t>(slot.max_connections, 1), length});
        const int64_t parts = std::max<int64_t>(wanted, 1);
        const int64_t each = length / parts;
        for (int64_t part = 0; part < parts; ++part) {
            auto range = std::make_unique<Range>();
            range->start = static_cast<int32_t>(first + part * each);
            range->end =
                static_cast<int32_t>(part == parts - 1 ? last : first + (part + 1) * each - 1);
            range->current = range->start;
            range->assigned_at = now;
            range->source = slot.source;
            ranges_.push_back(std::move(range));
        }
        slot.max_connections = static_cast<int32_t>(parts);
    }
    ranges_built_ = !ranges_.empty();
    CheckRanges();
}

// --- AssignRange --------------------------------------------------------------------------

Range* BlockScheduler::AssignRange(PeerWork& peer) {
    if (peer.range != nullptr) {
        ReleaseRange(peer);
    }
    if (ranges_.empty()) {
        return nullptr;
    }
    // 1. The free range that continues where this connection stopped.
    for (auto& range : ranges_) {
        if (range->holder == nullptr && !range->done && range->current == peer.last_piece + 1) {
            Hold(peer, *range);
            return range.get();
        }
    }
    // 2. Any free range that has not been worked through, from a random place.
    const size_t n = ranges_.size();
    const size_t origin = context_.Tick() % n;
    for (size_t i = 0; i < n; ++i) {
        Range& range = *ranges_[(origin + i) % n];
        if (range.holder == nullptr && !range.done && !range.redo) {
            Hold(peer, range);
            return &range;
        }
    }
    // 3. A range worked through once that still has pieces left.
    for (auto& range : ranges_) {
        if (range->holder == nullptr && range->redo) {
            Hold(peer, *range);
            return range.get();
        }
    }
    // 4. A holder stuck on its first piece.
    const int64_t now = context_.Now();
    for (auto& range : ranges_) {
        if (range->holder != nullptr && range->holder != &peer && !range->done &&
            now - range->assigned_at > kStallSeconds && range->current == range->start) {
            TakeAway(*range);
            range->taken_by_stall = true;
            Hold(peer, *range);
            return range.get();
        }
    }
    // 5. Part of a slower holder's range.
    Range* stolen = StealRange(peer);
    CheckRanges();
    return stolen;
}

Range* BlockScheduler::StealRange(PeerWork& peer) {
    const int64_t asker = std::max<int32_t>(peer.download_rate, 0);
    const bool newcomer = peer.ranges_held == 0;
    if (asker == 0 && !newcomer) {
        return nullptr;
    }
    const int64_t now = context_.Now();
    const int64_t piece_length = context_.PieceLength();
    const bool few_left = RemainingPieces() < kFewPiecesLeft;

    // The end a range would have once its pieces no longer needed are passed over.
    auto effective_end = [this](const Range& range) {
        int32_t end = range.end;
        while (end > range.current && !IsPieceNeeded(PieceIndex(end))) {
            --end;
        }
        return end;
    };

    Range* victim = nullptr;
    int64_t longest = -1;
    for (auto& slot : ranges_) {
        Range& range = *slot;
        if (range.holder == nullptr || range.holder == &peer || range.done) {
            continue;
        }
        const int64_t holder = std::max<int32_t>(range.holder->download_rate, 0);
        if (now - range.assigned_at <= kStallSeconds && holder == 0) {
            continue;
        }
        const int64_t remaining = effective_end(range) - range.current + 1;
        if (remaining <= 1 && !(holder == 0 || asker >= 2 * holder)) {
            continue;
        }
        if (holder == 0) {
            victim = &range;
            break;
        }
        const int64_t seconds = remaining * piece_length / holder;
        if (seconds <= kFinishSoonSeconds && !few_left) {
            continue;
        }
        if (seconds > longest) {
            longest = seconds;
            victim = &range;
        }
    }
    if (victim == nullptr && newcomer) {
        int64_t most = 0;
        for (auto& slot : ranges_) {
            Range& range = *slot;
            if (range.holder == nullptr || range.holder == &peer || range.done) {
                continue;
            }
            const int64_t remaining = effective_end(range) - range.current + 1;
            if (now - range.assigned_at <= kFreshRangeSeconds && remaining <= 1) {
                continue;
            }
            if (remaining > most) {
                most = remaining;
                victim = &range;
            }
        }
    }
    if (victim == nullptr) {
        return nullptr;
    }

    TrimEnd(*victim);
    const int64_t holder = std::max<int32_t>(victim->holder->download_rate, 0);
    const int64_t remaining = victim->end - victim->current + 1;
    const bool holder_slow = holder * 2 < asker;
    int64_t percent = newcomer ? 50 : asker * 100 / (holder + asker);
    if (holder_slow && percent < 100) {
        ++percent;
    }
    int64_t share = std::max<int64_t>(remaining * percent / 100, 1);
    if (share < remaining && holder_slow) {
        ++share;
    }
    if (share >= remaining) {
        // The whole rest, including the piece the holder is on: only a much faster asker (or one
        // facing a stalled holder) takes it, and then the holder gives the range up entirely.
        // Anything else would put two connections on the holder's current piece.
        if (holder == 0 || asker >= 3 * holder) {
            TakeAway(*victim);
            Hold(peer, *victim);
            return victim;
        }
        share = remaining - 1;
        if (share <= 0) {
            return nullptr;
        }
    }
    auto tail = std::make_unique<Range>();
    tail->start = static_cast<int32_t>(victim->end - share + 1);
    tail->end = victim->end;
    tail->current = tail->start;
    tail->source = victim->source;
    victim->end = tail->start - 1;
    victim->assigned_at = now;
    assert(victim->end >= victim->current && "a steal reached the holder's current piece");
    Range* taken = tail.get();
    ranges_.insert(ranges_.begin() + static_cast<std::ptrdiff_t>(IndexOf(victim) + 1),
                   std::move(tail));
    Hold(peer, *taken);
    return taken;
}

// --- Server piece choice ------------------------------------------------------------------

// The connection's range is used up (or it says so): done, then another pass when something in it
// is still wanted, parked while only other connections' engaged pieces remain, else removed.
void BlockScheduler::EndOfRange(PeerWork& peer) {
    Range* range = peer.range;
    if (range == nullptr || range == peer.private_range.get()) {
        return;
    }
    range->done = true;
    Free(*range);
    if (AnyWanted(*range)) {
        range->redo = true;
    } else if (!AnyNeeded(*range)) {
        RemoveRange(range);
    }
    // Otherwise its pieces are engaged by BT peers: the range stays (done) so that the pieces
    // keep a server range should those peers let them go.
    CheckRanges();
}

Range* BlockScheduler::OwnChoice(PeerWork& peer) {
    const int32_t count = context_.PieceCount();
    const int32_t piece_length = context_.PieceLength();
    for (int32_t p = 0; p < count; ++p) {
        if (!WantsPiece(PieceIndex(p)) || peer.HasRequestFor(p, piece_length)) {
            continue;
        }
        Range* home = ListRangeContaining(p);
        if (home != nullptr) {
            if (home->holder != nullptr) {
                // That holder's piece or one it will come back to.
                p = home->end;
                continue;
            }
            home->done = false;
            home->redo = false;
            Hold(peer, *home);
            home->current = p;
            return home;
        }
        // A piece outside every range (its range was removed before the piece failed or was let
        // go): a new range over it and the uncovered pieces after it.
        int32_t end = p;
        while (end + 1 < count && ListRangeContaining(end + 1) == nullptr) {
            ++end;
        }
        auto range = std::make_unique<Range>();
        range->start = p;
        range->end = end;
        range->current = p;
        Range* made = range.get();
        auto at = std::find_if(ranges_.begin(), ranges_.end(),
                               [p](const std::unique_ptr<Range>& r) { return r->start > p; });
        ranges_.insert(at, std::move(range));
        Hold(peer, *made);
        return made;
    }
    return nullptr;
}

std::optional<PieceIndex> BlockScheduler::NextServerPiece(PeerWork& peer) {
    if (!Ready()) {
        return std::nullopt;
    }
    if (peer.range != nullptr && peer.range == peer.private_range.get()) {
        assert(false && "a server connection holds a private range");
        return std::nullopt;
    }
    if (!ranges_built_ && ranges_.empty()) {
        std::vector<ServerSlot> slots = context_.ServerSlots();
        BuildRanges(slots);
        context_.ApplyServerSlots(slots);
    }
    const int32_t piece_length = context_.PieceLength();
    if (peer.range != nullptr) {
        Range& range = *peer.range;
        const int32_t from = Contains(range, peer.last_piece) ? peer.last_piece + 1 : range.current;
        const int32_t piece = FirstWanted(peer, from, range.end);
        if (piece >= 0) {
            return TakeFromRange(peer, range, piece);
        }
        if (HasRequestIn(peer, range, piece_length)) {
            // Still fetching its last pieces: keep the range until they are in, so that nobody
            // else starts on them.
            return std::nullopt;
        }
        EndOfRange(peer);
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        Range* range = AssignRange(peer);
        if (range == nullptr) {
            break;
        }
        if (range->redo) {
            range->current = range->start;
            range->redo = false;
            range->done = false;
        } else if (range->current > range->start && WantsPiece(PieceIndex(range->current - 1)) &&
                   !peer.HasRequestFor(range->current - 1, piece_length)) {
            --range->current;
        }
        const int32_t piece = FirstWanted(peer, range->current, range->end);
        if (piece >= 0) {
            return TakeFromRange(peer, *range, piece);
        }
        EndOfRange(peer);
    }
    if (!IsComplete()) {
        Range* range = OwnChoice(peer);
        if (range != nullptr) {
            CheckRanges();
            return TakeFromRange(peer, *range, range->current);
        }
    }
    return std::nullopt;
}

void BlockScheduler::ReleaseRange(PeerWork& peer) {
    Range* range = peer.range;
    if (range == nullptr) {
        return;
    }
    if (range == peer.private_range.get()) {
        if (!range->done) {
            for (int32_t p = range->start; p < range->current; ++p) {
                ReleasePiece(PieceIndex(p));
            }
        }
        peer.range = nullptr;
        peer.private_range.reset();
        return;
    }
    // The queued blocks of a server connection all lie in its range; nobody takes them over.
    peer.requests.Clear();
    Free(*range);
    peer.range = nullptr;
    CheckRanges();
}

void BlockScheduler::OnPeerLeaving(PeerWork& peer) {
    for (SoloPiece& solo : solo_) {
        if (solo.holder == &peer) {
            solo.holder = nullptr;
        }
    }
    ReleaseRange(peer);
    ReturnBlocks(peer.requests.TakeAll());
}

void BlockScheduler::FinishRange(PeerWork& peer) {
    if (peer.range == nullptr || peer.range == peer.private_range.get()) {
        return;
    }
    peer.requests.Clear();
    EndOfRange(peer);
}

std::optional<PieceIndex> BlockScheduler::TakeRangeAtPreferred(PeerWork& peer) {
    if (peer.range != nullptr) {
        ReleaseRange(peer);
    }
    const int32_t preferred = preferred_piece_;
    if (!Ready() || preferred < 0) {
        return std::nullopt;
    }
    Range* range = ListRangeContaining(preferred);
    if (range == nullptr) {
        return std::nullopt;
    }
    int32_t split = preferred;
    if (range->holder != nullptr) {
        // The holder keeps everything up to its current piece.
        split = std::max(preferred, range->current + 1);
        if (split > range->end) {
            return std::nullopt;
        }
    }
    Range* taken = range;
    if (split == range->start) {
        range->done = false;
        range->redo = false;
        Hold(peer, *range);
    } else {
        auto tail = std::make_unique<Range>();
        tail->start = split;
        tail->end = range->end;
        tail->current = split;
        tail->source = range->source;
        range->end = split - 1;
        if (range->current > range->end) {
            // A free range that had been worked past the split: its next holder looks at all of
            // what is left of it.
            range->current = range->start;
        }
        taken = tail.get();
        ranges_.insert(ranges_.begin() + static_cast<std::ptrdiff_t>(IndexOf(range) + 1),
                       std::move(tail));
        Hold(peer, *taken);
    }
    taken->current = split;
    peer.last_piece = split;
    CheckRanges();
    return PieceIndex(split);
}

}  // namespace kf
