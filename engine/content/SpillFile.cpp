#include "engine/content/SpillFile.h"

#include <algorithm>

#include "engine/base/Adler32.h"
#include "engine/os/ByteOrder.h"

namespace kf {

uint32_t SpillFile::Checksum(int64_t index, const Sha1Digest& info_hash,
                             std::span<const uint8_t> data) {
    return Adler32(Adler32(static_cast<uint32_t>(index), info_hash), data);
}

SpillFile::Writer::Writer(os::FileSystem& fs, const std::string& path, const Sha1Digest& info_hash)
    : file_(fs, path), info_hash_(info_hash) {}

bool SpillFile::Writer::Open() {
    return file_.Open();
}

bool SpillFile::Writer::Flush() {
    if (batch_.empty() || failed_) {
        batch_.clear();
        batch_ends_.clear();
        return !failed_;
    }
    const int64_t start = file_.Written();
    if (!file_.Append(batch_)) {
        failed_ = true;
        // Keep only the records that reached the file whole.
        int64_t keep = whole_;
        for (int64_t end : batch_ends_) {
            if (start + end <= file_.Written()) {
                keep = start + end;
            }
        }
        file_.TruncateTo(keep);
        whole_ = keep;
    } else {
        whole_ = file_.Written();
    }
    batch_.clear();
    batch_ends_.clear();
    return !failed_;
}

bool SpillFile::Writer::Add(int64_t index, std::span<const uint8_t> data) {
    if (failed_ || data.empty() || static_cast<int64_t>(data.size()) > kMaxData) {
        return !failed_;
    }
    uint8_t header[kHeaderSize] = {};
    StoreLe32(&header[0], static_cast<uint32_t>(data.size()));
    StoreLe32(&header[4], Checksum(index, info_hash_, data));
    StoreLe32(&header[8], static_cast<uint32_t>(index));
    batch_.insert(batch_.end(), header, header + kHeaderSize);
    batch_.insert(batch_.end(), data.begin(), data.end());
    batch_ends_.push_back(static_cast<int64_t>(batch_.size()));
    ++records_;
    if (static_cast<int64_t>(batch_.size()) >= kBatch) {
        return Flush();
    }
    return true;
}

bool SpillFile::Writer::Commit() {
    Flush();
    return file_.Commit() && !failed_;
}

SpillFile::Reader::Reader(os::FileSystem& fs, const std::string& path, const Sha1Digest& info_hash,
                          int32_t piece_length, int64_t piece_count)
    : fs_(fs),
      path_(path),
      info_hash_(info_hash),
      piece_length_(piece_length),
      piece_count_(piece_count) {}

bool SpillFile::Reader::Open() {
    file_ = fs_.Open(path_, os::FileSystem::Mode::kRead);
    offset_ = 0;
    return file_.IsOpen();
}

bool SpillFile::Reader::Next(int64_t* index, std::vector<uint8_t>* data) {
    uint8_t header[kHeaderSize];
    if (!file_.IsOpen() || file_.ReadAt(offset_, header) != static_cast<int64_t>(kHeaderSize)) {
        return false;
    }
    const int64_t length = LoadLe32(&header[0]);
    const uint32_t checksum = LoadLe32(&header[4]);
    const int64_t piece = LoadLe32(&header[8]);
    const int64_t limit =
        std::min<int64_t>(kMaxData, static_cast<int64_t>(piece_length_) + (1 << 20) - 1);
    if (length < 1 || length > limit || piece >= piece_count_) {
        return false;
    }
    data->resize(static_cast<size_t>(length));
    if (file_.ReadAt(offset_ + static_cast<int64_t>(kHeaderSize), *data) != length ||
        Checksum(piece, info_hash_, *data) != checksum) {
        return false;
    }
    offset_ += static_cast<int64_t>(kHeaderSize) + length;
    *index = piece;
    return true;
}

}  // namespace kf
