#include "app/platform/ReleaseFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/platform/AppPaths.h"
#include "app/platform/TextChecks.h"

namespace kf::app {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

bool WriteInto(const std::string& folder, const std::string& name, std::string_view bytes) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        return false;
    }
    const std::string target = folder + "/" + name;
    std::string scratch = folder + "/." + name + ".XXXXXX";
    const int fd = mkostemp(scratch.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, bytes) && fchmod(fd, 0644) == 0;
    const bool closed = close(fd) == 0;
    if (written && closed && rename(scratch.c_str(), target.c_str()) == 0) {
        return true;
    }
    unlink(scratch.c_str());
    return false;
}

}  // namespace

int ReleaseFile(const std::string& folder, const std::string& name, std::string_view bytes) {
    if (!IsPlainName(name)) {
        return -1;
    }
    if (!folder.empty() && WriteInto(folder, name, bytes)) {
        return 0;
    }
    return WriteInto(AppPaths::TemporaryFolder(), name, bytes) ? 1 : -1;
}

}  // namespace kf::app
