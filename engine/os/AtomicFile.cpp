#include "engine/os/AtomicFile.h"

#include <utility>

namespace kf::os {

AtomicFile::AtomicFile(FileSystem& fs, std::string path)
    : fs_(fs), path_(std::move(path)), temporary_(TemporaryPath(path_)) {}

AtomicFile::~AtomicFile() {
    if (!committed_ && file_.IsOpen()) {
        file_.Close();
        fs_.Remove(temporary_);
    }
}

bool AtomicFile::Open() {
    fs_.CreateFolders(FolderOf(path_));
    file_ = fs_.Open(temporary_, FileSystem::Mode::kReadWrite);
    written_ = 0;
    return file_.IsOpen() && file_.Truncate(0);
}

bool AtomicFile::Append(std::span<const uint8_t> data) {
    if (!file_.IsOpen()) {
        return false;
    }
    const int64_t n = file_.WriteAt(written_, data);
    if (n > 0) {
        written_ += n;
    }
    return n == static_cast<int64_t>(data.size());
}

bool AtomicFile::TruncateTo(int64_t size) {
    if (!file_.IsOpen() || size > written_ || !file_.Truncate(size)) {
        return false;
    }
    written_ = size;
    return true;
}

bool AtomicFile::Commit() {
    if (!file_.IsOpen()) {
        return false;
    }
    if (!file_.SyncData() || !file_.Close() || !fs_.Rename(temporary_, path_, true)) {
        file_.Close();
        fs_.Remove(temporary_);
        return false;
    }
    committed_ = true;
    fs_.SyncFolder(FolderOf(path_));
    return true;
}

}  // namespace kf::os
