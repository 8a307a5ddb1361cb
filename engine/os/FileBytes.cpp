#include "engine/os/FileBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kf {

std::optional<std::string> ReadFileBytes(const std::string& path, int64_t max_bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= max_bytes) {
        std::string bytes(static_cast<size_t>(info.st_size), '\0');
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        if (done == bytes.size()) {
            result = std::move(bytes);
        }
    }
    close(fd);
    return result;
}

}  // namespace kf
