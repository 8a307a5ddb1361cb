#include "engine/os/FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace kf::os {

File FileSystem::Open(const std::string& path, Mode mode) {
    const int flags = mode == Mode::kRead ? O_RDONLY : (O_RDWR | O_CREAT);
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return File(fd);
}

bool FileSystem::Exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileSystem::IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t FileSystem::SizeOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool FileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
    if (replace) {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    return ::unlink(from.c_str()) == 0;
}

bool FileSystem::Remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool FileSystem::CreateFolders(const std::string& folder) {
    if (folder.empty()) {
        return true;
    }
    std::string part;
    part.reserve(folder.size());
    for (size_t i = 0; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/') {
            if (!part.empty() && part != "/" && ::mkdir(part.c_str(), 0755) != 0 &&
                errno != EEXIST) {
                return false;
            }
        }
        if (i < folder.size()) {
            part.push_back(folder[i]);
        }
    }
    return IsFolder(folder);
}

bool FileSystem::MakeWritable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if ((st.st_mode & S_IWUSR) != 0) {
        return true;
    }
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

int64_t FileSystem::FreeBytes(const std::string& folder) {
    struct statvfs vfs {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &vfs) != 0) {
        return -1;
    }
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

bool FileSystem::SyncFolder(const std::string& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool FileSystem::ReadAll(const std::string& path, int64_t max_size, std::string* out) {
    File file = Open(path, Mode::kRead);
    const int64_t size = file.Size();
    if (size < 0 || size > max_size) {
        return false;
    }
    out->resize(static_cast<size_t>(size));
    const int64_t n =
        file.ReadAt(0, {reinterpret_cast<uint8_t*>(out->data()), static_cast<size_t>(size)});
    return n == size;
}

FileSystem& FileSystem::Default() {
    static FileSystem instance;
    return instance;
}

std::string FolderOf(const std::string& path) {
    const size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) {
        return ".";
    }
    if (cut == 0) {
        return "/";
    }
    return path.substr(0, cut);
}

}  // namespace kf::os
