#include "engine/os/FileLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kf::os {
namespace {

// A removal and re-creation between our open and our lock is rare; a few tries settle it.
constexpr int kTries = 5;

bool SameFile(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

FileLock::~FileLock() {
    Release();
}

FileLock::Result FileLock::Take(const std::string& path) {
    Release();
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return Result::kFailed;
        }
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return error == EAGAIN || error == EACCES ? Result::kHeldElsewhere : Result::kFailed;
        }
        if (SameFile(fd, path)) {
            fd_ = fd;
            path_ = path;
            return Result::kTaken;
        }
        close(fd);  // the previous holder removed it between our open and our lock
    }
    errno = EAGAIN;
    return Result::kHeldElsewhere;
}

void FileLock::Release() {
    if (fd_ < 0) {
        return;
    }
    // Removed before the lock goes: a later opener makes a new file, and one that opened this
    // file meanwhile finds it gone once it holds the lock, and tries again.
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
    path_.clear();
}

}  // namespace kf::os
