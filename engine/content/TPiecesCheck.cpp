// TPieces: the start check (previous map, quick check, resume record, full recheck).

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/content/TPieces.h"

namespace kf {
namespace {

// The full recheck reads up to 8 pieces at a time, but never more than this.
constexpr int64_t kRecheckBuffer = 4 << 20;

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
    const int64_t count = piece_count();
    const int64_t per_read = 8 * static_cast<int64_t>(piece_length_) > kRecheckBuffer ? 1 : 8;
    std::vector<uint8_t> buffer(static_cast<size_t>(per_read * piece_length_));
    for (int64_t first = 0; first < count; first += per_read) {
        const int64_t n = std::min(per_read, count - first);
        if ((first % 10 == 0 || (first + n - 1) / 10 != first / 10) && StopRequested()) {
            return false;
        }
        int64_t bytes = 0;
        for (int64_t p = first; p < first + n; ++p) {
            bytes += slots_[static_cast<size_t>(p)].size();
        }
        const std::span<uint8_t> chunk(buffer.data(), static_cast<size_t>(bytes));
        if (ReadStream(first * piece_length_, chunk)) {
            size_t pos = 0;
            for (int64_t p = first; p < first + n; ++p) {
                PieceSlot& slot = slots_[static_cast<size_t>(p)];
                const Sha1Digest digest =
                    Sha1State::Of(chunk.subspan(pos, static_cast<size_t>(slot.size())));
                if (std::memcmp(digest.data(), slot.digest(), digest.size()) == 0) {
                    MarkVerified(slot);
                }
                pos += static_cast<size_t>(slot.size());
            }
        } else {
            // Some file of the run is missing or short: piece by piece, skipping what fails.
            for (int64_t p = first; p < first + n; ++p) {
                PieceSlot& slot = slots_[static_cast<size_t>(p)];
                if (VerifyFromDisk(slot, buffer)) {
                    MarkVerified(slot);
                }
            }
        }
        checked_bytes_ += bytes;
    }
    return !StopRequested();
}

}  // namespace kf
