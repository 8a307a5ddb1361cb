// TPieces: the start check (previous map, quick check, resume record, full recheck).

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/content/TPieces.h"

namespace kf {
namespace {

// The full recheck reads a piece in runs of this size.
constexpr int64_t kRecheckRun = 64 << 10;

}  // namespace

void TPieces::ClearAllStates() {
    for (PieceSlot& slot : slots_) {
        slot.Reset(pool_);
    }
    std::fill(have_.begin(), have_.end(), 0);
    active_.clear();
    std::fill(is_active_.begin(), is_active_.end(), false);
    verified_bytes_ = verified_pieces_ = 0;
    cached_bytes_ = held_bytes_ = 0;
    checked_bytes_ = 0;
}

bool TPieces::StartCheck() {
    if (!valid_) {
        return false;
    }
    if (check_done_) {
        // A repeated check starts from the disk: what is only in memory goes there first.
        WriteHeldPieces();
        SyncFiles();
    }
    check_done_ = false;
    ClearAllStates();
    Notice(3, 1, 0, 0);
    bool ok = true;
    bool decided = TakeOverPrevious();
    if (!decided && params_.quick_check) {
        ok = QuickCheck(&decided);
    }
    if (ok && !decided) {
        bool accepted = false;
        if (params_.use_resume && params_.engine_resume && !params_.force_recheck &&
            !params_.resume_bytes.empty()) {
            accepted = AcceptResumeRecord();
        }
        if (!accepted) {
            ClearAllStates();
            ok = FullRecheck();
        } else if (written_after_record_) {
            ok = CheckUnclaimedPieces();
        }
    }
    bool failed = false;
    for (FileEntry& entry : files_) {
        CloseFile(entry, &failed);
    }
    if (!ok || StopRequested()) {
        return false;
    }
    checked_bytes_ = total_length_;
    check_done_ = true;
    return true;
}

bool TPieces::TakeOverPrevious() {
    if (!previous_ || !previous_->valid_ || !previous_->check_done_ || previous_.get() == this) {
        return false;
    }
    TPieces& old = *previous_;
    // Only the same content in the same files: otherwise the old states say nothing about ours.
    if (old.piece_length_ != piece_length_ || old.total_length_ != total_length_ ||
        old.slots_.size() != slots_.size() || old.has_digests_ != has_digests_ ||
        old.digests_ != digests_ || old.files_.size() != files_.size()) {
        return false;
    }
    for (size_t i = 0; i < files_.size(); ++i) {
        if (old.files_[i].path != files_[i].path || old.files_[i].size != files_[i].size) {
            return false;
        }
    }
    old.SyncFiles();
    for (size_t i = 0; i < slots_.size(); ++i) {
        PieceSlot& slot = slots_[i];
        if (old.IsVerified(slot.index())) {
            MarkVerified(slot);
            continue;
        }
        PieceSlot& from = old.slots_[i];
        if (from.held) {
            old.held_bytes_ -= from.cached_bytes();
        }
        old.cached_bytes_ -= from.cached_bytes();
        slot.AdoptState(from);
        cached_bytes_ += slot.cached_bytes();
        if (slot.held) {
            held_bytes_ += slot.cached_bytes();
        }
        if (slot.cached_bytes() > 0 || slot.held) {
            Activate(slot);
        }
    }
    return true;
}

bool TPieces::VerifyFromDisk(PieceSlot& slot, std::span<uint8_t> buffer) {
    const std::span<uint8_t> data = buffer.first(static_cast<size_t>(slot.size()));
    if (!ReadStream(slot.index().value() * piece_length_, data)) {
        return false;
    }
    const Sha1Digest digest = Sha1State::Of(data);
    return std::memcmp(digest.data(), slot.digest(), digest.size()) == 0;
}

bool TPieces::QuickCheck(bool* decided) {
    *decided = false;
    if (StopRequested()) {
        return false;
    }
    bool all_present = true;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (i % 100 == 0 && i > 0 && StopRequested()) {
            return false;
        }
        if (fs_.SizeOf(files_[i].path) == files_[i].size) {
            checked_bytes_ += files_[i].size;
        } else {
            all_present = false;
        }
    }
    // Files missing or of another size: the quick answer does not apply, so the resume record
    // or the full recheck decides instead of nothing being found.
    if (!all_present || !has_digests_) {
        checked_bytes_ = 0;
        return true;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(piece_length_));
    const int64_t count = piece_count();
    for (int64_t p : {int64_t{0}, count - 1, count / 2}) {
        if (!VerifyFromDisk(slots_[static_cast<size_t>(p)], buffer)) {
            checked_bytes_ = 0;
            return false;
        }
    }
    std::fill(have_.begin(), have_.end(), 0xff);
    if (count % 8 != 0) {
        have_.back() = static_cast<uint8_t>(0xff << (8 - count % 8));
    }
    for (PieceSlot& slot : slots_) {
        slot.complete = true;
        slot.MarkWritten();
    }
    checked_bytes_ = verified_bytes_ = total_length_;
    verified_pieces_ = count;
    Notice(2, 1, 0, 0);
    *decided = true;
    return true;
}

bool TPieces::FullRecheck() {
    checked_bytes_ = 0;
    if (!has_digests_) {
        // Nothing on disk can be checked without digests; only written data counts.
        return !StopRequested();
    }
    // Each piece is read and hashed in runs small enough to stay in the processor's cache: the
    // copy out of the page cache and the hash then cost little more than the hash alone.
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(kRecheckRun, piece_length_)));
    for (PieceSlot& slot : slots_) {
        if (slot.index().value() % 10 == 0 && StopRequested()) {
            return false;
        }
        // Space that was only reserved reads as zeros: no need to hash it.
        if (PieceMayBeOnDisk(slot) && PieceMatchesDisk(slot, buffer)) {
            MarkVerified(slot);
        }
        checked_bytes_ += slot.size();
    }
    return !StopRequested();
}

bool TPieces::CheckUnclaimedPieces() {
    if (!has_digests_) {
        return !StopRequested();
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(kRecheckRun, piece_length_)));
    for (PieceSlot& slot : slots_) {
        if (slot.index().value() % 10 == 0 && StopRequested()) {
            return false;
        }
        // Space that was only reserved reads as zeros: no need to hash it.
        if (IsVerified(slot.index()) || !PieceMayBeOnDisk(slot)) {
            continue;
        }
        if (PieceMatchesDisk(slot, buffer)) {
            ResetPiece(slot);  // a partial state from the record is superseded
            MarkVerified(slot);
        }
    }
    return !StopRequested();
}

bool TPieces::PieceMatchesDisk(const PieceSlot& slot, std::span<uint8_t> buffer) {
    const int64_t start = slot.index().value() * piece_length_;
    Sha1State sha;
    for (int64_t done = 0; done < slot.size(); done += static_cast<int64_t>(buffer.size())) {
        const auto run = buffer.first(static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(buffer.size()), slot.size() - done)));
        // A missing or short file leaves the piece unverified; the next piece reads on.
        if (!ReadStream(start + done, run)) {
            return false;
        }
        sha.Update(run);
    }
    const Sha1Digest digest = sha.Finish();
    return std::memcmp(digest.data(), slot.digest(), digest.size()) == 0;
}

}  // namespace kf
