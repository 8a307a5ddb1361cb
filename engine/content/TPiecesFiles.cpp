// TPieces: opening, growing, writing and reading the target files.

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "engine/content/TPieces.h"

namespace kf {
namespace {

// Free space assumed when the volume cannot be asked.
constexpr int64_t kUnknownFreeSpace = 2147483647;
constexpr int64_t kGrowStep = 1 << 20;

bool IsSpaceError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

}  // namespace

bool TPieces::OpenForAccess(FileEntry& entry, int64_t offset, Access access) {
    const bool write = access != Access::kRead;
    if (offset < 0 || offset > entry.size || (offset == entry.size && access != Access::kPrepare)) {
        return false;
    }
    if (!entry.file.IsOpen() || (write && !entry.writable)) {
        entry.file.Close();
        if (write) {
            if (fs_.Exists(entry.path)) {
                fs_.MakeWritable(entry.path);
            }
            entry.file = fs_.Open(entry.path, os::FileSystem::Mode::kReadWrite);
            if (!entry.file.IsOpen()) {
                fs_.CreateFolders(os::FolderOf(entry.path));
                entry.file = fs_.Open(entry.path, os::FileSystem::Mode::kReadWrite);
            }
            if (!entry.file.IsOpen()) {
                Notice(1004, 1, 0, 0);
                return false;
            }
        } else {
            entry.file = fs_.Open(entry.path, os::FileSystem::Mode::kRead);
            if (!entry.file.IsOpen()) {
                return false;
            }
        }
        entry.writable = write;
        entry.disk_size = entry.file.Size();
        if (entry.disk_size < 0) {
            entry.file.Close();
            Notice(1004, 1, 0, 0);
            return false;
        }
    }
    if (!write) {
        return true;
    }
    if (entry.disk_size > entry.size) {
        if (!entry.file.Truncate(entry.size)) {
            Notice(1004, 1, 0, 0);
            return false;
        }
        entry.disk_size = entry.file.Size();
        if (entry.disk_size != entry.size) {
            return false;
        }
    }
    int64_t wanted;
    if (access == Access::kPrepare || entry.skipped()) {
        wanted = offset;
    } else if (params_.preallocate) {
        wanted = entry.size;
    } else {
        wanted = std::min(entry.size, offset + kGrowStep + piece_length_);
    }
    if (wanted > entry.disk_size) {
        if (!WaitForSpace(os::FolderOf(entry.path), wanted - entry.disk_size)) {
            return false;
        }
        if (access != Access::kPrepare && !Grow(entry, wanted)) {
            return false;
        }
    }
    return access == Access::kPrepare || entry.disk_size >= offset;
}

bool TPieces::WaitForSpace(const std::string& folder, int64_t needed) {
    for (;;) {
        int64_t free = fs_.FreeBytes(folder);
        if (free < 0) {
            free = kUnknownFreeSpace;
        }
        if (free >= needed) {
            break;
        }
        if (!space_short_) {
            space_short_ = true;
            Notice(1002, 1, 0, 0);
        }
        // The task stops on notice 1002; testing first spares a pointless pause.
        if (StopRequested()) {
            return false;
        }
        params_.sleep(params_.space_wait_ms);
    }
    if (space_short_) {
        space_short_ = false;
        Notice(1003, 1, 0, 0);
    }
    return true;
}

bool TPieces::Grow(FileEntry& entry, int64_t wanted) {
    if (entry.file.Allocate(entry.disk_size, wanted)) {
        entry.disk_size = wanted;
        return true;
    }
    const int error = errno;
    if (IsSpaceError(error)) {
        ReportWriteFailure(error);
        return false;
    }
    // No preallocation on this file system: the file grows sparse.
    if (!entry.file.Truncate(wanted)) {
        ReportWriteFailure(errno);
        return false;
    }
    entry.disk_size = wanted;
    return true;
}

void TPieces::ReportWriteFailure(int error) {
    if (IsSpaceError(error)) {
        if (!space_short_) {
            space_short_ = true;
            Notice(1002, 1, 0, 0);
        }
        return;
    }
    if (!write_failure_reported_) {
        write_failure_reported_ = true;
        Notice(1004, 1, 0, 0);
    }
}

void TPieces::CloseFile(FileEntry& entry, bool* failed) {
    if (!entry.file.IsOpen()) {
        return;
    }
    if (entry.dirty) {
        if (!entry.file.SyncData()) {
            *failed = true;
        }
        entry.dirty = false;
    }
    if (!entry.file.Close()) {
        *failed = true;
    }
    if (*failed) {
        close_failed_ = true;
    }
    entry.writable = false;
    entry.disk_size = -1;
}

bool TPieces::SyncFiles() {
    bool ok = true;
    for (FileEntry& entry : files_) {
        if (entry.dirty && entry.file.IsOpen()) {
            ok = entry.file.SyncData() && ok;
            entry.dirty = false;
        }
    }
    return ok;
}

template <class Fn>
bool TPieces::ForEachFilePart(int64_t offset, int64_t length, Fn&& part) {
    // First file whose end lies beyond `offset`.
    auto it = std::upper_bound(
        files_.begin(), files_.end(), offset,
        [](int64_t value, const FileEntry& entry) { return value < entry.offset + entry.size; });
    int64_t done = 0;
    for (; it != files_.end() && done < length; ++it) {
        FileEntry& entry = *it;
        if (entry.size == 0) {
            continue;
        }
        const int64_t at = offset + done - entry.offset;
        const int64_t n = std::min(length - done, entry.size - at);
        if (!part(entry, at, done, n)) {
            return false;
        }
        done += n;
    }
    return done == length;
}

bool TPieces::WriteRange(PieceSlot& slot, int32_t from, int32_t to) {
    const int64_t start = slot.index().value() * piece_length_ + from;
    std::vector<iovec> parts;
    return ForEachFilePart(
        start, to - from, [&](FileEntry& entry, int64_t at, int64_t pos, int64_t n) {
            if (!OpenForAccess(entry, at, Access::kWrite)) {
                return false;
            }
            parts.clear();
            slot.VisitRange(from + static_cast<int32_t>(pos), from + static_cast<int32_t>(pos + n),
                            [&](std::span<const uint8_t> data) {
                                parts.push_back({const_cast<uint8_t*>(data.data()), data.size()});
                            });
            const int64_t written = entry.file.WriteVecAt(at, parts);
            if (written != n) {
                ReportWriteFailure(written < 0 ? errno : (errno != 0 ? errno : ENOSPC));
                return false;
            }
            write_failure_reported_ = false;
            // The device starts on the data now rather than all at once at the next flush.
            entry.file.StartWriteback(at, n);
            entry.dirty = true;
            written_ = true;
            entry.disk_size = std::max(entry.disk_size, at + n);
            return true;
        });
}

bool TPieces::RangeOnDisk(int64_t offset, int64_t length, const std::vector<int64_t>& disk_sizes) {
    return ForEachFilePart(offset, length, [&](FileEntry& entry, int64_t at, int64_t, int64_t n) {
        return disk_sizes[static_cast<size_t>(entry.index.value())] >= at + n;
    });
}

bool TPieces::ReadStream(int64_t offset, std::span<uint8_t> out) {
    return ForEachFilePart(
        offset, static_cast<int64_t>(out.size()),
        [&](FileEntry& entry, int64_t at, int64_t pos, int64_t n) {
            if (!OpenForAccess(entry, at, Access::kRead)) {
                return false;
            }
            return entry.file.ReadAt(
                       at, out.subspan(static_cast<size_t>(pos), static_cast<size_t>(n))) == n;
        });
}

bool TPieces::PieceMayBeOnDisk(const PieceSlot& slot) {
    bool found = false;
    ForEachFilePart(slot.index().value() * piece_length_, slot.size(),
                    [&](FileEntry& entry, int64_t at, int64_t /*pos*/, int64_t n) {
                        if (!OpenForAccess(entry, at, Access::kRead)) {
                            return false;
                        }
                        found = found || entry.file.MayHoldData(at, n);
                        return !found;
                    });
    return found;
}

}  // namespace kf
