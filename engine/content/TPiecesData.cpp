// TPieces: received data, verification, reads for upload and the piece state queries.

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/content/TPieces.h"

namespace kf {

int64_t TPieces::AddData(int64_t offset, std::span<const uint8_t> data, DataSource* source,
                         bool* completed) {
    if (completed != nullptr) {
        *completed = false;
    }
    if (!valid_ || offset < 0 || offset >= total_length_) {
        return kOutside;
    }
    const int64_t index = offset / piece_length_;
    PieceSlot& slot = slots_[static_cast<size_t>(index)];
    const int32_t inside = static_cast<int32_t>(offset - index * piece_length_);
    const size_t room = static_cast<size_t>(slot.size() - inside);
    data = data.first(std::min(data.size(), room));
    if (IsVerified(slot.index()) || slot.complete) {
        return static_cast<int64_t>(data.size());
    }
    const int64_t before = slot.cached_bytes();
    const int32_t taken = slot.Store(inside, data, pool_);
    return AfterStore(slot, before, taken, source, completed);
}

std::span<uint8_t> TPieces::ReceiveRoom(int64_t offset) {
    if (!valid_ || offset < 0 || offset >= total_length_) {
        return {};
    }
    const int64_t index = offset / piece_length_;
    PieceSlot& slot = slots_[static_cast<size_t>(index)];
    if (IsVerified(slot.index()) || slot.complete) {
        return {};
    }
    return slot.ReceiveRoom(static_cast<int32_t>(offset - index * piece_length_), pool_);
}

int64_t TPieces::CommitReceived(int64_t offset, int32_t length, DataSource* source,
                                bool* completed) {
    if (completed != nullptr) {
        *completed = false;
    }
    if (!valid_ || offset < 0 || offset >= total_length_) {
        return kOutside;
    }
    const int64_t index = offset / piece_length_;
    PieceSlot& slot = slots_[static_cast<size_t>(index)];
    if (IsVerified(slot.index()) || slot.complete) {
        return 0;
    }
    const int64_t before = slot.cached_bytes();
    const int32_t taken =
        slot.CommitReceived(static_cast<int32_t>(offset - index * piece_length_), length);
    return AfterStore(slot, before, taken, source, completed);
}

int64_t TPieces::AfterStore(PieceSlot& slot, int64_t before, int32_t taken, DataSource* source,
                            bool* completed) {
    cached_bytes_ += slot.cached_bytes() - before;
    if (slot.cached_bytes() > 0) {
        Activate(slot);
    }
    slot.last_activity = Now();
    if (taken > 0) {
        const uintptr_t id = reinterpret_cast<uintptr_t>(source);
        if (slot.source != 0 && slot.source != id) {
            slot.single_source = false;
        }
        slot.source = id;
    }
    if (slot.ContiguousEnd() < slot.size()) {
        return taken;
    }
    if (source != nullptr && slot.single_source) {
        source->OnWholePiece(slot.index());
    }
    if (!VerifyInMemory(slot)) {
        const bool whole = slot.single_source;
        ResetPiece(slot);
        if (source != nullptr) {
            source->OnBadPiece(slot.index(), whole);
        }
        return kHashFailed;
    }
    BecomeHeld(slot);
    if (completed != nullptr) {
        *completed = true;
    }
    KeepMemoryBound();
    return taken;
}

bool TPieces::VerifyInMemory(PieceSlot& slot) {
    if (!has_digests_) {
        return true;
    }
    // A copy, so that a held piece keeps the state of its written part for the resume record.
    Sha1State sha = slot.has_sha1() ? *slot.sha1() : Sha1State();
    if (!slot.has_sha1() && slot.bytes_done() > 0) {
        // Written part without a state (never left so by this class): hash it from the disk.
        std::vector<uint8_t> head(static_cast<size_t>(slot.bytes_done()));
        if (!ReadStream(slot.index().value() * piece_length_, head)) {
            return false;
        }
        sha.Update(head);
    }
    slot.VisitRange(slot.bytes_done(), slot.size(),
                    [&](std::span<const uint8_t> part) { sha.Update(part); });
    const Sha1Digest digest = sha.Finish();
    return std::memcmp(digest.data(), slot.digest(), digest.size()) == 0;
}

void TPieces::BecomeHeld(PieceSlot& slot) {
    slot.complete = true;
    slot.held = true;
    slot.partial = false;
    slot.last_activity = Now() - params_.idle_seconds / 2 - 5;
    held_bytes_ += slot.cached_bytes();
    Activate(slot);
}

bool TPieces::WriteHeld(PieceSlot& slot) {
    if (slot.bytes_done() < slot.size() && !WriteRange(slot, slot.bytes_done(), slot.size())) {
        return false;
    }
    const int64_t freed = slot.Advance(slot.size(), pool_);
    cached_bytes_ -= freed;
    held_bytes_ -= freed;
    slot.held = false;
    MarkVerified(slot);
    return true;
}

bool TPieces::WriteContiguous(PieceSlot& slot) {
    const int32_t from = slot.bytes_done();
    const int32_t to = slot.ContiguousEnd();
    if (to <= from) {
        return true;
    }
    if (to == slot.size()) {
        // Complete: verify in memory first so that a bad piece is not written at all.
        if (!VerifyInMemory(slot)) {
            ResetPiece(slot);
            return false;
        }
        BecomeHeld(slot);
        return WriteHeld(slot);
    }
    if (!WriteRange(slot, from, to)) {
        return false;
    }
    Sha1State& sha = slot.EnsureSha1();
    slot.VisitRange(from, to, [&](std::span<const uint8_t> part) { sha.Update(part); });
    cached_bytes_ -= slot.Advance(to, pool_);
    return true;
}

void TPieces::MarkVerified(PieceSlot& slot) {
    slot.complete = true;
    slot.held = false;
    slot.partial = false;
    slot.MarkWritten();
    slot.ReleaseSha1();
    SetBit(slot.index().value(), true);
}

void TPieces::SetBit(int64_t piece, bool on) {
    uint8_t& byte = have_[static_cast<size_t>(piece / 8)];
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (piece % 8));
    if (((byte & mask) != 0) == on) {
        return;
    }
    const int64_t size = slots_[static_cast<size_t>(piece)].size();
    if (on) {
        byte |= mask;
        verified_bytes_ += size;
        ++verified_pieces_;
    } else {
        byte &= static_cast<uint8_t>(~mask);
        verified_bytes_ -= size;
        --verified_pieces_;
    }
    Notice(1, on ? 1 : 0, 4, piece);
}

void TPieces::ResetPiece(PieceSlot& slot) {
    if (slot.held) {
        held_bytes_ -= slot.cached_bytes();
    }
    cached_bytes_ -= slot.Reset(pool_);
    if (IsVerified(slot.index())) {
        SetBit(slot.index().value(), false);
    }
}

void TPieces::Activate(PieceSlot& slot) {
    const size_t i = static_cast<size_t>(slot.index().value());
    if (!is_active_[i]) {
        is_active_[i] = true;
        active_.push_back(slot.index().value());
    }
}

int64_t TPieces::ReadData(int64_t offset, std::span<uint8_t> out, int32_t read_ahead) {
    if (!valid_ || offset < 0 || offset + static_cast<int64_t>(out.size()) > total_length_) {
        return -1;
    }
    const int64_t now = Now();
    size_t done = 0;
    while (done < out.size()) {
        const int64_t at = offset + static_cast<int64_t>(done);
        const int64_t index = at / piece_length_;
        PieceSlot& slot = slots_[static_cast<size_t>(index)];
        const int32_t inside = static_cast<int32_t>(at - index * piece_length_);
        const int32_t n = static_cast<int32_t>(
            std::min<int64_t>(static_cast<int64_t>(out.size() - done), slot.size() - inside));
        if (!slot.held && !IsVerified(slot.index())) {
            return -1;
        }
        const int32_t first = inside / kBlockSize;
        const int32_t last = (inside + n - 1) / kBlockSize;
        bool cached = true;
        for (int32_t k = first; k <= last && cached; ++k) {
            cached = !slot.BlockData(BlockIndex(k)).empty();
        }
        if (!cached && slot.held) {
            // Part of a held piece is already on disk: write the rest, then read it as any
            // verified piece.
            if (!WriteHeld(slot)) {
                return -1;
            }
        }
        if (!cached) {
            // Whole blocks from the block boundary below, at least 64 KiB ahead.
            const int32_t start = first * kBlockSize;
            const int64_t ahead = std::max<int64_t>(65536, read_ahead);
            const int32_t end = static_cast<int32_t>(
                std::min<int64_t>(slot.size(), std::max<int64_t>(inside + n, start + ahead)));
            const int32_t end_block = (end + kBlockSize - 1) / kBlockSize;
            const int32_t stop = std::min(slot.size(), end_block * kBlockSize);
            read_buffer_.resize(static_cast<size_t>(stop - start));
            const std::span<uint8_t> buffer(read_buffer_);
            if (!ReadStream(index * piece_length_ + start, buffer)) {
                return -1;
            }
            const int64_t before = slot.cached_bytes();
            for (int32_t k = first; k < end_block; ++k) {
                const size_t pos = static_cast<size_t>(k * kBlockSize - start);
                slot.CacheBlock(BlockIndex(k),
                                std::span<const uint8_t>(buffer).subspan(
                                    pos, static_cast<size_t>(slot.BlockLength(BlockIndex(k)))),
                                pool_);
            }
            cached_bytes_ += slot.cached_bytes() - before;
            Activate(slot);
        }
        size_t pos = done;
        slot.VisitRange(inside, inside + n, [&](std::span<const uint8_t> part) {
            std::memcpy(out.data() + pos, part.data(), part.size());
            pos += part.size();
        });
        if (!slot.held) {
            slot.last_activity = now - params_.idle_seconds / 2;
        }
        done += static_cast<size_t>(n);
        DropReadBlocks(index);
    }
    return static_cast<int64_t>(done);
}

bool TPieces::IsVerified(PieceIndex piece) const {
    const int64_t i = piece.value();
    if (i < 0 || i >= piece_count()) {
        return false;
    }
    return (have_[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8))) != 0;
}

bool TPieces::IsComplete(PieceIndex piece) const {
    const int64_t i = piece.value();
    return i >= 0 && i < piece_count() && slots_[static_cast<size_t>(i)].complete;
}

bool TPieces::HasBlock(PieceIndex piece, BlockIndex block) const {
    const int64_t i = piece.value();
    if (i < 0 || i >= piece_count()) {
        return false;
    }
    const PieceSlot& slot = slots_[static_cast<size_t>(i)];
    if (slot.BlockLength(block) == 0) {
        return false;
    }
    return IsVerified(piece) || slot.complete || slot.HasBlock(block);
}

int32_t TPieces::BytesDone(PieceIndex piece) const {
    const int64_t i = piece.value();
    if (i < 0 || i >= piece_count()) {
        return 0;
    }
    return slots_[static_cast<size_t>(i)].bytes_done();
}

int32_t TPieces::PieceSize(PieceIndex piece) const {
    const int64_t i = piece.value();
    return i >= 0 && i < piece_count() ? slots_[static_cast<size_t>(i)].size() : 0;
}

std::pair<int32_t, int32_t> TPieces::MissingRange(PieceIndex piece) const {
    const int64_t i = piece.value();
    if (i < 0 || i >= piece_count() || IsVerified(piece)) {
        return {0, 0};
    }
    const PieceSlot& slot = slots_[static_cast<size_t>(i)];
    if (slot.complete) {
        return {0, 0};
    }
    int32_t k = slot.bytes_done() / kBlockSize;
    while (k < slot.BlockCount() && slot.HasBlock(BlockIndex(k))) {
        ++k;
    }
    if (k >= slot.BlockCount()) {
        return {0, 0};
    }
    int32_t end = k;
    while (end < slot.BlockCount() && !slot.HasBlock(BlockIndex(end))) {
        ++end;
    }
    return {k * kBlockSize, std::min(slot.size(), end * kBlockSize)};
}

std::vector<PieceIndex> TPieces::PartialPieces() const {
    std::vector<PieceIndex> out;
    for (const PieceSlot& slot : slots_) {
        if (slot.partial && !slot.complete) {
            out.push_back(slot.index());
        }
    }
    return out;
}

PiecesProgress TPieces::Progress() const {
    PiecesProgress p;
    p.total_length = total_length_;
    p.piece_count = piece_count();
    p.piece_length = piece_length_;
    p.checked_bytes = checked_bytes_;
    p.verified_bytes = verified_bytes_;
    p.verified_pieces = verified_pieces_;
    p.bytes_left = total_length_ - verified_bytes_;
    p.pieces_left = piece_count() - verified_pieces_;
    p.cached_bytes = cached_bytes_;
    p.held_bytes = held_bytes_;
    return p;
}

bool TPieces::IsFileComplete(FileIndex file) const {
    const FileEntry& entry = files_[static_cast<size_t>(file.value())];
    for (int64_t p = entry.first_piece; p < entry.first_piece + entry.piece_span; ++p) {
        if (!IsVerified(PieceIndex(p))) {
            return false;
        }
    }
    return true;
}

void TPieces::MarkDrop(PieceIndex piece) {
    const int64_t i = piece.value();
    if (i >= 0 && i < piece_count() && !IsVerified(piece)) {
        slots_[static_cast<size_t>(i)].drop = true;
    }
}

}  // namespace kf
