#include "engine/task/BlockScheduler.h"

#include <algorithm>
#include <cassert>

namespace kf {

namespace {

// Requests moved by TakeSharedBlocks when the caller gives no limit.
constexpr int32_t kDefaultTakeLimit = 16;

int32_t PieceOfBlock(int32_t block, int32_t piece_length) {
    return static_cast<int32_t>(static_cast<int64_t>(block) * kBlockSize / piece_length);
}

bool Queued(const std::deque<BlockRequest>& queue, const BlockRequest& request) {
    return std::find(queue.begin(), queue.end(), request) != queue.end();
}

}  // namespace

BlockScheduler::BlockScheduler(SchedulingContext& context) : context_(context) {}

// Holders are not touched here: at task teardown the peers may be gone already. A task whose peers
// outlive the scheduler runs Reset() first.
BlockScheduler::~BlockScheduler() = default;

void BlockScheduler::Reset() {
    DropAllRanges();
    engaged_.clear();
    engaged_total_ = 0;
    end_game_ = false;
    end_game_sticky_ = false;
    shared_.clear();
    preferred_piece_ = -1;
    have_queue_.clear();
    ClearSolo();
    last_tried_piece_ = 0;
    previous_start_ = 0;
    last_priority_ = 0;
}

void BlockScheduler::OnPieceMapRebuilt(bool layout_changed) {
    ClearSolo();
    if (layout_changed) {
        // Piece numbers of the old layout mean other bytes now.
        DropAllRanges();
        engaged_.clear();
        engaged_total_ = 0;
        have_queue_.clear();
        preferred_piece_ = -1;
    }
    EnsureEngagedSize();
}

// --- Pieces and engagement ----------------------------------------------------------------

bool BlockScheduler::Ready() {
    return context_.PieceMapReady() && context_.PieceCount() > 0 && context_.PieceLength() > 0;
}

bool BlockScheduler::IsComplete() {
    const int32_t count = context_.PieceCount();
    return count > 0 && context_.VerifiedCount() >= count;
}

int64_t BlockScheduler::RemainingPieces() {
    return static_cast<int64_t>(context_.PieceCount()) - context_.VerifiedCount();
}

void BlockScheduler::EnsureEngagedSize() {
    if (!context_.PieceMapReady()) {
        return;
    }
    const int32_t count = context_.PieceCount();
    if (count >= 0 && engaged_.size() != static_cast<size_t>(count)) {
        if (engaged_.size() > static_cast<size_t>(count)) {
            for (size_t i = static_cast<size_t>(count); i < engaged_.size(); ++i) {
                engaged_total_ -= engaged_[i];
            }
        }
        engaged_.resize(static_cast<size_t>(count), 0);
    }
}

bool BlockScheduler::IsPieceNeeded(PieceIndex piece) {
    if (!context_.PieceMapReady() || piece.value() < 0 || piece.value() >= context_.PieceCount()) {
        return false;
    }
    return !context_.IsVerified(piece) && !context_.IsBeingFinished(piece);
}

bool BlockScheduler::RefreshEndGame() {
    end_game_ = Ready() && engaged_total_ >= RemainingPieces();
    if (end_game_) {
        end_game_sticky_ = true;
    }
    return end_game_;
}

bool BlockScheduler::WantsPiece(PieceIndex piece) {
    const bool end_game = RefreshEndGame();
    if (!IsPieceNeeded(piece)) {
        return false;
    }
    return end_game || EngagedCount(piece) == 0;
}

bool BlockScheduler::CanEngage(PieceIndex piece) {
    if (!Ready() || piece.value() < 0 || piece.value() >= context_.PieceCount()) {
        return false;
    }
    EnsureEngagedSize();
    const int64_t count = engaged_[static_cast<size_t>(piece.value())];
    // A second connection on one piece is the end game's business only.
    if (count > 0 && !RefreshEndGame()) {
        return false;
    }
    const int64_t base = std::max<int64_t>(context_.ActiveConnections() / 3, 64);
    const int64_t cap = std::max<int64_t>(base - RemainingPieces(), 1);
    return count <= cap;
}

bool BlockScheduler::EngagePiece(PieceIndex piece) {
    if (!CanEngage(piece)) {
        return false;
    }
    ++engaged_[static_cast<size_t>(piece.value())];
    ++engaged_total_;
    return true;
}

void BlockScheduler::ReleasePiece(PieceIndex piece) {
    if (piece.value() < 0 || static_cast<size_t>(piece.value()) >= engaged_.size()) {
        return;
    }
    int32_t& count = engaged_[static_cast<size_t>(piece.value())];
    if (count > 0) {
        --count;
        --engaged_total_;
    }
    assert(engaged_total_ >= 0 && "engagement total went negative");
}

int32_t BlockScheduler::EngagedCount(PieceIndex piece) const {
    if (piece.value() < 0 || static_cast<size_t>(piece.value()) >= engaged_.size()) {
        return 0;
    }
    return engaged_[static_cast<size_t>(piece.value())];
}

bool BlockScheduler::InEndGame() {
    RefreshEndGame();
    return end_game_sticky_;
}

void BlockScheduler::ClearStickyEndGame() {
    end_game_sticky_ = RefreshEndGame();
}

void BlockScheduler::OnPieceVerified(PieceIndex piece) {
    if (piece.value() < 0) {
        return;
    }
    if (static_cast<size_t>(piece.value()) < engaged_.size()) {
        engaged_total_ -= engaged_[static_cast<size_t>(piece.value())];
        engaged_[static_cast<size_t>(piece.value())] = 0;
    }
    EndSolo(static_cast<int32_t>(piece.value()));
    have_queue_.push_back(piece);
}

void BlockScheduler::PieceFailed(PieceIndex piece) {
    ReleasePiece(piece);
    ++offers_;
}

std::vector<PieceIndex> BlockScheduler::TakeHaveAnnouncements() {
    std::vector<PieceIndex> out;
    out.swap(have_queue_);
    return out;
}

std::optional<PieceIndex> BlockScheduler::PreferredPiece() const {
    return preferred_piece_ >= 0 ? std::optional<PieceIndex>(PieceIndex(preferred_piece_))
                                 : std::nullopt;
}

void BlockScheduler::SetPreferredPiece(std::optional<PieceIndex> piece) {
    preferred_piece_ = piece && piece->value() >= 0 ? static_cast<int32_t>(piece->value()) : -1;
}

// --- Shared block list --------------------------------------------------------------------

bool BlockScheduler::TakeSharedBlocks(PeerWork& peer, int32_t limit) {
    if (!Ready() || shared_.empty()) {
        return false;
    }
    const int32_t piece_length = context_.PieceLength();
    const size_t cap = static_cast<size_t>(limit <= 0 ? kDefaultTakeLimit : limit);
    int32_t chosen = -1;
    int32_t tested = -1;
    for (const BlockRequest& request : shared_) {
        const int32_t piece = PieceOfBlock(request.block, piece_length);
        if (piece == tested) {
            continue;
        }
        tested = piece;
        SoloPiece* solo = FindSolo(piece);
        if (peer.Has(piece) && !peer.IsExcluded(piece) && IsPieceNeeded(PieceIndex(piece)) &&
            (solo == nullptr || ClaimSolo(peer, *solo))) {
            chosen = piece;
            break;
        }
    }
    if (chosen < 0) {
        return false;
    }
    const uint32_t now = context_.QueueClock();
    bool taken = false;
    for (auto it = shared_.begin(); it != shared_.end() && peer.requests.size() < cap;) {
        if (PieceOfBlock(it->block, piece_length) != chosen || peer.requests.Contains(*it)) {
            ++it;
            continue;
        }
        if (!context_.IsBlockDone(ContentBlock(it->block), it->length)) {
            BlockRequest request = *it;
            request.queued_at = now;
            peer.requests.Push(request);
            taken = true;
        }
        it = shared_.erase(it);
    }
    return taken;
}

void BlockScheduler::ReturnBlocks(std::deque<BlockRequest> blocks) {
    if (!context_.IsStopping() && !blocks.empty()) {
        shared_.insert(shared_.begin(), blocks.begin(), blocks.end());
        ++offers_;
    }
}

bool BlockScheduler::RemoveSharedBlock(const BlockRequest& request) {
    auto it = std::find(shared_.begin(), shared_.end(), request);
    if (it == shared_.end()) {
        return false;
    }
    shared_.erase(it);
    return true;
}

void BlockScheduler::PruneSharedBlocks() {
    if (!Ready()) {
        return;
    }
    std::erase_if(shared_, [this](const BlockRequest& request) {
        return context_.IsBlockDone(ContentBlock(request.block), request.length);
    });
}

void BlockScheduler::SharedBlockUpkeep() {
    if (IsComplete()) {
        shared_.clear();
        return;
    }
    if (!Ready() || RefreshEndGame()) {
        return;
    }
    const size_t threshold = static_cast<size_t>(context_.PieceLength() / kBlockSize) * 64 + 64;
    if (shared_.size() > threshold) {
        std::stable_sort(
            shared_.begin(), shared_.end(),
            [](const BlockRequest& a, const BlockRequest& b) { return a.block < b.block; });
    }
}

// --- BT block requests --------------------------------------------------------------------

bool BlockScheduler::PickAllowed(const PeerWork& peer) {
    return !peer.nothing_to_pick || peer.nothing_to_pick_offers != offers_ ||
           context_.Now() - peer.nothing_to_pick_tried >= kNothingToPickRetry;
}

void BlockScheduler::OnPeerAnnounced(PeerWork& peer, PieceIndex piece) {
    peer.last_announced = static_cast<int32_t>(piece.value());
    if (peer.nothing_to_pick && IsPieceNeeded(piece)) {
        peer.nothing_to_pick = false;
    }
}

BlockScheduler::BtPlan BlockScheduler::PlanBtRequests(PeerWork& peer) {
    BtPlan plan;
    if (!Ready()) {
        return plan;
    }
    if (IsComplete()) {
        plan.complete = true;
        return plan;
    }
    const int64_t per_block =
        static_cast<int64_t>(peer.download_rate > 0 ? peer.download_rate : 0) * 2 / kBlockSize;
    const size_t queue_limit = static_cast<size_t>(std::max<int64_t>(per_block, 2));
    const int32_t take_limit = static_cast<int32_t>(std::min<int64_t>(per_block + 2, INT32_MAX));
    if (peer.requests.size() >= queue_limit || peer.has.empty() || !PickAllowed(peer)) {
        return plan;
    }
    plan.ran = true;
    const size_t before = peer.requests.size();
    const bool took = TakeSharedBlocks(peer, take_limit);
    plan.queued += static_cast<int32_t>(peer.requests.size() - before);
    if (took && peer.requests.size() >= queue_limit) {
        return plan;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::optional<PieceIndex> piece = NextBtPiece(peer);
        if (!piece) {
            break;
        }
        if (QueueBlocks(peer, static_cast<int32_t>(piece->value()), take_limit, plan) >= 0) {
            break;
        }
    }
    return plan;
}

// Queues (and shares beyond the take limit) the missing blocks of an engaged piece. Answers -1
// when the piece had no bytes left to ask for, else the number of blocks queued or shared. The
// engagement goes when nothing was queued or shared for the piece.
int32_t BlockScheduler::QueueBlocks(PeerWork& peer, int32_t piece, int32_t take_limit,
                                    BtPlan& plan) {
    const int32_t piece_length = context_.PieceLength();
    const int32_t size = context_.PieceSize(PieceIndex(piece));
    const int32_t from = context_.BytesDone(PieceIndex(piece)) / kBlockSize * kBlockSize;
    if (from >= size) {
        // Chosen (and engaged) but nothing is left to fetch: do not keep it engaged.
        ReleasePiece(PieceIndex(piece));
        return -1;
    }
    const bool end_game = RefreshEndGame();
    // A piece fetched from one peer goes to it whole.
    const bool solo = IsSoloPiece(PieceIndex(piece));
    const uint32_t now = context_.QueueClock();
    int32_t placed = 0;
    for (int32_t offset = from; offset < size; offset += kBlockSize) {
        const int64_t block = (static_cast<int64_t>(piece) * piece_length + offset) / kBlockSize;
        if (block > INT32_MAX) {
            break;
        }
        BlockRequest request;
        request.block = static_cast<int32_t>(block);
        request.length = std::min(kBlockSize, size - offset);
        request.queued_at = now;
        // Blocks already held are never asked for again, in end game or not: the bytes would
        // only be thrown away.
        if (peer.requests.Contains(request) ||
            context_.IsBlockDone(ContentBlock(request.block), request.length)) {
            continue;
        }
        if (solo || peer.requests.size() < static_cast<size_t>(take_limit)) {
            peer.requests.Push(request);
            ++plan.queued;
        } else {
            if (end_game && Queued(shared_, request)) {
                continue;
            }
            shared_.push_back(request);
            ++plan.shared;
        }
        ++placed;
    }
    if (placed == 0) {
        ReleasePiece(PieceIndex(piece));
    }
    return placed;
}

}  // namespace kf
