#include "engine/os/DiskSpace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace kf {

std::optional<int64_t> FreeBytesAt(const std::string& path) {
    struct statvfs volume {};
    if (statvfs(path.c_str(), &volume) != 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(volume.f_bavail) * static_cast<int64_t>(volume.f_frsize);
}

int64_t AllocatedBytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open((path + ".kftmp").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            return 0;
        }
    }
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    const int result = fstat(fd, &info);
    close(fd);
    if (result != 0) {
        return -2;
    }
    return static_cast<int64_t>(info.st_blocks) * 512;
}

}  // namespace kf
