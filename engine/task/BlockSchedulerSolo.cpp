// Pieces fetched again from one BT peer alone after a failed check: a second failure then names
// the peer at fault, and a peer that spoiled a piece is not the first one asked for it.

#include <algorithm>

#include "engine/task/BlockScheduler.h"

namespace kf {

BlockScheduler::SoloPiece* BlockScheduler::FindSolo(int32_t piece) {
    if (!IsSoloPiece(PieceIndex(piece))) {
        return nullptr;
    }
    const auto found = std::find_if(solo_.begin(), solo_.end(),
                                    [piece](const SoloPiece& solo) { return solo.piece == piece; });
    return found != solo_.end() ? &*found : nullptr;
}

bool BlockScheduler::IsSoloPiece(PieceIndex piece) const {
    const int64_t p = piece.value();
    return p >= 0 && static_cast<size_t>(p) < is_solo_.size() && is_solo_[static_cast<size_t>(p)];
}

void BlockScheduler::FetchFromOnePeer(PieceIndex piece, const std::vector<uint32_t>& suspects) {
    if (!Ready() || piece.value() < 0 || piece.value() >= context_.PieceCount()) {
        return;
    }
    const auto p = static_cast<int32_t>(piece.value());
    const int32_t piece_length = context_.PieceLength();
    std::erase_if(shared_, [&](const BlockRequest& request) {
        return int64_t{request.block} * kBlockSize / piece_length == p;
    });
    EnsureEngagedSize();
    engaged_total_ -= engaged_[static_cast<size_t>(p)];
    engaged_[static_cast<size_t>(p)] = 0;
    is_solo_.resize(engaged_.size(), false);
    SoloPiece* solo = FindSolo(p);
    if (solo == nullptr) {
        is_solo_[static_cast<size_t>(p)] = true;
        solo = &solo_.emplace_back();
        solo->piece = p;
    }
    solo->holder = nullptr;
    solo->since = context_.Now();
    for (const uint32_t suspect : suspects) {
        if (suspect != 0 && std::find(solo->suspects.begin(), solo->suspects.end(), suspect) ==
                                solo->suspects.end()) {
            solo->suspects.push_back(suspect);
        }
    }
}

void BlockScheduler::OnPeerBanned(uint32_t address) {
    for (SoloPiece& solo : solo_) {
        if (std::find(solo.suspects.begin(), solo.suspects.end(), address) != solo.suspects.end()) {
            solo.suspects.clear();
        }
    }
    ++offers_;
}

void BlockScheduler::EndSolo(int32_t piece) {
    if (FindSolo(piece) != nullptr) {
        is_solo_[static_cast<size_t>(piece)] = false;
        std::erase_if(solo_, [piece](const SoloPiece& solo) { return solo.piece == piece; });
    }
}

void BlockScheduler::ClearSolo() {
    solo_.clear();
    is_solo_.clear();
}

bool BlockScheduler::IsHeld(const SoloPiece& solo) {
    // A holder with nothing of the piece queued (choked, say) has let it go.
    return solo.holder != nullptr && solo.holder->HasRequestFor(solo.piece, context_.PieceLength());
}

bool BlockScheduler::ClaimSolo(const PeerWork& peer, SoloPiece& solo) {
    if (solo.holder != &peer) {
        if (IsHeld(solo)) {
            return false;
        }
        const bool suspect = peer.address != 0 &&
                             std::find(solo.suspects.begin(), solo.suspects.end(), peer.address) !=
                                 solo.suspects.end();
        if (suspect && context_.Now() - solo.since < kSoloSuspectWait) {
            return false;
        }
        solo.holder = &peer;
    }
    const auto p = static_cast<size_t>(solo.piece);
    engaged_total_ += 1 - engaged_[p];
    engaged_[p] = 1;
    return true;
}

bool BlockScheduler::TakeSolo(PeerWork& peer, SoloPiece& solo) {
    const int32_t p = solo.piece;
    return peer.Has(p) && !peer.IsExcluded(p) && IsPieceNeeded(PieceIndex(p)) &&
           !peer.HasRequestFor(p, context_.PieceLength()) && ClaimSolo(peer, solo);
}

bool BlockScheduler::SoloWaitsFor(const PeerWork& peer) {
    return std::any_of(solo_.begin(), solo_.end(), [&](const SoloPiece& solo) {
        return !IsHeld(solo) && peer.Has(solo.piece) && !peer.IsExcluded(solo.piece) &&
               IsPieceNeeded(PieceIndex(solo.piece));
    });
}

int32_t BlockScheduler::SoloChoice(PeerWork& peer) {
    for (SoloPiece& solo : solo_) {
        if (TakeSolo(peer, solo)) {
            return solo.piece;
        }
    }
    return -1;
}

}  // namespace kf
