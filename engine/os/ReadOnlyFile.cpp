#include "engine/os/ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace kf {

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

bool ReadOnlyFile::Open(const std::string& path) {
    Close();
    if (path.empty() || path.size() > kMaxPathBytes) {
        return false;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    // A folder opens fine on Linux but every read fails; a FIFO could block forever.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void ReadOnlyFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int64_t ReadOnlyFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int64_t ReadOnlyFile::Read(std::span<uint8_t> buffer) {
    if (fd_ < 0) {
        return -1;
    }
    if (buffer.empty()) {
        return 0;
    }
    ssize_t n;
    do {
        n = ::read(fd_, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int64_t>(n);
}

int64_t ReadOnlyFile::ReadFull(std::span<uint8_t> buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        const int64_t n = Read(buffer.subspan(done));
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace kf
