#include "app/SystemDisk.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "app/platform/ReleaseFile.h"
#include "engine/kestrelfetch.h"

namespace kf::app {
namespace {

constexpr uint64_t kUnixEpochIn1601Seconds = 11644473600ull;

// The path itself when it exists, else its nearest existing ancestor; empty for a relative path.
std::string ExistingAncestor(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        return {};
    }
    std::filesystem::path at = std::filesystem::path(path).lexically_normal();
    for (int depth = 0; depth < 256; ++depth) {
        struct stat facts {};
        if (stat(at.c_str(), &facts) == 0) {
            return at.string();
        }
        if (!at.has_relative_path()) {
            break;
        }
        at = at.parent_path();
    }
    return "/";
}

}  // namespace

DiskInfo::FileFacts SystemDisk::Stat(const std::string& path) {
    FileFacts facts;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return facts;
    }
    facts.exists = true;
    facts.is_folder = S_ISDIR(info.st_mode);
    facts.size = static_cast<int64_t>(info.st_size);
    // The offset in force at the write time, so that a daylight-saving change alone does not
    // make a finished file look touched.
    tm local{};
    const time_t seconds = info.st_mtim.tv_sec;
    localtime_r(&seconds, &local);
    const int64_t shifted = static_cast<int64_t>(info.st_mtim.tv_sec) + local.tm_gmtoff +
                            static_cast<int64_t>(kUnixEpochIn1601Seconds);
    facts.write_time_local = static_cast<uint64_t>(shifted) * 10000000ull +
                             static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100u;
    return facts;
}

int64_t SystemDisk::FreeBytes(const std::string& path) {
    const std::string existing = ExistingAncestor(path);
    return existing.empty() ? 0 : GetDiskFreeBytes(existing.c_str());
}

int64_t SystemDisk::AllocatedBytes(const std::string& path) {
    return GetFileAllocatedSize(path.c_str());
}

DiskInfo::VolumeMode SystemDisk::ProbeVolume(const std::string& folder) {
    const std::string existing = ExistingAncestor(folder);
    if (existing.empty()) {
        return VolumeMode::kUnknown;
    }
    std::string probe = existing + "/.kfprobe-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        return VolumeMode::kUnknown;
    }
    VolumeMode mode = VolumeMode::kUnknown;
    if (fallocate(fd, 0, 0, 4096) == 0) {
        mode = VolumeMode::kPreallocates;
    } else if (errno == EOPNOTSUPP) {
        struct statfs volume {};
        if (fstatfs(fd, &volume) == 0) {
            const auto type = static_cast<unsigned long>(volume.f_type);
            mode = type == MSDOS_SUPER_MAGIC || type == EXFAT_SUPER_MAGIC ? VolumeMode::kNotSparse
                                                                          : VolumeMode::kSparse;
        }
    }
    close(fd);
    unlink(probe.c_str());
    return mode;
}

bool SystemDisk::CreateFolders(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return std::filesystem::is_directory(folder, ignored);
}

bool SystemDisk::RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

int SystemDisk::Release(const std::string& folder, const std::string& name,
                        const std::string& bytes) {
    return ReleaseFile(folder, name, bytes);
}

}  // namespace kf::app
