// TPieces: closing, the resume record and the spill file.

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/content/ResumeRecord.h"
#include "engine/content/SpillFile.h"
#include "engine/content/TPieces.h"

namespace kf {

bool TPieces::Close(bool has_written, bool completion) {
    if (completion && check_done_) {
        WriteHeldPieces();
    }
    bool failed = false;
    for (FileEntry& entry : files_) {
        CloseFile(entry, &failed);
    }
    if (completion && check_done_) {
        for (FileEntry& entry : files_) {
            if (!entry.temp_marked || entry.skipped() || !IsFileComplete(entry.index)) {
                continue;
            }
            // Never over an existing file, as the original move did not either.
            if (fs_.Rename(entry.path, entry.final_path, false)) {
                fs_.SyncFolder(os::FolderOf(entry.final_path));
                entry.temp_marked = false;
                entry.path = entry.final_path;
            }
        }
        if (verified_pieces_ == piece_count()) {
            for (PieceSlot& slot : slots_) {
                slot.ReleaseSha1();
            }
            if (!params_.spill_path.empty()) {
                fs_.Remove(params_.spill_path);
            }
        }
    }
    if ((has_written || written_ || failed) && check_done_) {
        if (ProduceResumeRecord()) {
            written_ = false;
        }
        WriteSpillFile();
    }
    return !failed;
}

bool TPieces::ProduceResumeRecord() {
    Notice(1001, 1, 0, 0);
    if (!valid_ || files_.empty() || files_.front().path.empty()) {
        return false;
    }
    bool failed = false;
    for (FileEntry& entry : files_) {
        CloseFile(entry, &failed);
    }
    // Data whose flush failed may be missing after a power loss; the record that is already in
    // the resume file claims only older pieces, so it stays.
    if (failed || std::exchange(close_failed_, false)) {
        return false;
    }
    ResumeRecord record;
    record.info_hash = info_hash_;
    for (const FileEntry& entry : files_) {
        if (entry.path.empty()) {
            break;
        }
        ResumeRecord::FileState state;
        state.path = entry.path;
        state.priority = entry.priority;
        os::File file = fs_.Open(entry.path, os::FileSystem::Mode::kRead);
        if (file.IsOpen()) {
            uint64_t time = 0;
            if (!file.LastWriteTime(&time)) {
                return false;
            }
            state.time_low = static_cast<uint32_t>(time);
            state.time_high = static_cast<uint32_t>(time >> 32);
            state.size = file.Size();
        }
        record.files.push_back(std::move(state));
    }
    for (PieceSlot& slot : slots_) {
        if (slot.bytes_done() > 0 && slot.has_sha1() && !IsVerified(slot.index())) {
            record.pieces.push_back(
                {slot.index().value(), slot.bytes_done(), slot.sha1()->Export()});
        }
    }
    record.bitfield = have_;
    const std::string bytes = record.Encode();
    if (bytes.empty()) {
        return false;
    }
    Notice(1001, 1, static_cast<int32_t>(bytes.size()), 0,
           {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    return true;
}

bool TPieces::AcceptResumeRecord() {
    written_after_record_ = false;
    if (!info_hash_ || files_.empty() || files_.front().path.empty()) {
        return false;
    }
    std::vector<ResumeRecord::FileQuery> queries;
    for (const FileEntry& entry : files_) {
        if (entry.path.empty()) {
            break;
        }
        queries.push_back({entry.path, entry.temp_marked ? entry.final_path : std::string()});
    }
    const auto& bytes = params_.resume_bytes;
    const auto decoded =
        ResumeRecord::Decode({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                             &*info_hash_, queries, piece_count());
    if (!decoded) {
        return false;
    }
    std::vector<int64_t> disk_sizes(files_.size(), -1);
    for (size_t i = 0; i < queries.size(); ++i) {
        const ResumeRecord::FileFound& found = decoded->files[i];
        const bool no_time = found.time_low == 0 && found.time_high == 0;
        os::File file = fs_.Open(files_[i].path, os::FileSystem::Mode::kRead);
        if (file.IsOpen() && no_time) {
            return false;
        }
        if (!file.IsOpen() && !no_time) {
            return false;
        }
        disk_sizes[i] = file.IsOpen() ? file.Size() : -1;
        if (disk_sizes[i] != found.size) {
            return false;
        }
        uint64_t time = 0;
        const uint64_t recorded = (uint64_t{found.time_high} << 32) | found.time_low;
        if (file.IsOpen() && (!file.LastWriteTime(&time) || time != recorded)) {
            written_after_record_ = true;
        }
    }
    for (size_t i = 0; i < queries.size(); ++i) {
        const auto& priority = decoded->files[i].priority;
        if (priority && !files_[i].skipped()) {
            files_[i].priority = *priority;
        }
    }
    const int64_t count = piece_count();
    for (int64_t p = 0; p < count; ++p) {
        const bool on = (decoded->bitfield[static_cast<size_t>(p / 8)] & (0x80 >> (p % 8))) != 0;
        PieceSlot& slot = slots_[static_cast<size_t>(p)];
        // A bit for data beyond the end of its file would claim what cannot be there.
        if (on && RangeOnDisk(p * piece_length_, slot.size(), disk_sizes)) {
            MarkVerified(slot);
        }
    }
    for (const ResumeRecord::PieceState& piece : decoded->pieces) {
        PieceSlot& slot = slots_[static_cast<size_t>(piece.index)];
        if (IsVerified(slot.index()) || piece.part >= slot.size() ||
            !RangeOnDisk(piece.index * piece_length_, piece.part, disk_sizes)) {
            continue;
        }
        std::optional<Sha1State> state = Sha1State::Import(piece.status);
        if (!state) {
            continue;
        }
        ResetPiece(slot);
        if (slot.RestorePartial(static_cast<int32_t>(piece.part), *state)) {
            slot.partial = true;
        }
    }
    checked_bytes_ = total_length_;
    if (verified_bytes_ > total_length_) {
        return false;
    }
    ApplySpillFile();
    Notice(3, 1, 0, 0);
    return true;
}

void TPieces::ApplySpillFile() {
    if (params_.spill_path.empty() || !info_hash_) {
        return;
    }
    if (verified_pieces_ == piece_count()) {
        fs_.Remove(params_.spill_path);
        return;
    }
    SpillFile::Reader reader(fs_, params_.spill_path, *info_hash_, piece_length_, piece_count());
    if (!reader.Open()) {
        return;
    }
    int64_t index = 0;
    std::vector<uint8_t> data;
    while (reader.Next(&index, &data)) {
        PieceSlot& slot = slots_[static_cast<size_t>(index)];
        if (IsVerified(slot.index()) || slot.complete) {
            continue;
        }
        const int64_t before = slot.cached_bytes();
        const int64_t restored = slot.RestoreBlocks(data, pool_);
        cached_bytes_ += slot.cached_bytes() - before;
        if (restored < 0) {
            continue;
        }
        if (restored != slot.bytes_done()) {
            ResetPiece(slot);
            break;
        }
        if (slot.cached_bytes() > 0) {
            Activate(slot);
            slot.partial = true;
            slot.last_activity = 0;
        }
        if (slot.ContiguousEnd() == slot.size()) {
            if (VerifyInMemory(slot)) {
                BecomeHeld(slot);
            } else {
                ResetPiece(slot);
            }
        }
    }
}

bool TPieces::WriteSpillFile() {
    if (params_.spill_path.empty() || !check_done_ || !info_hash_) {
        return false;
    }
    if (verified_pieces_ == piece_count()) {
        fs_.Remove(params_.spill_path);
        return true;
    }
    std::vector<int64_t> pieces;
    for (int64_t i : active_) {
        const PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (!IsVerified(slot.index()) && slot.cached_bytes() > 0) {
            pieces.push_back(i);
        }
    }
    std::sort(pieces.begin(), pieces.end());
    SpillFile::Writer writer(fs_, params_.spill_path, *info_hash_);
    if (!writer.Open()) {
        return false;
    }
    for (int64_t i : pieces) {
        const std::vector<uint8_t> data = slots_[static_cast<size_t>(i)].SerializeBlocks();
        if (!data.empty() && !writer.Add(i, data)) {
            break;
        }
    }
    return writer.Commit();
}

}  // namespace kf
