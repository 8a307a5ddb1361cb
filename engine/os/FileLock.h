#pragma once

#include <string>

namespace kf::os {

// An exclusive advisory lock held through a lock file: an open-file-description lock, so that two
// holders in one process exclude each other as two processes do, and the kernel lets go when the
// holder dies. The lock file is made when missing and removed by Release; a holder that finds the
// file was removed or replaced under it while it took the lock tries again, so two holders never
// lock different files of one name.
//
// Owner: one task; not thread-safe. Release is idempotent and the destructor calls it.
class FileLock {
  public:
    enum class Result {
        kTaken,
        kHeldElsewhere,  // another holder has it; nothing was changed
        kFailed,         // the lock file could not be made or locked (errno says why)
    };

    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Takes the lock on `path` without waiting; a lock already held is released first.
    Result Take(const std::string& path);
    // Removes the lock file, then lets go of the lock.
    void Release();
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace kf::os
