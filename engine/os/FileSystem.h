#pragma once

#include <cstdint>
#include <string>

#include "engine/os/File.h"

namespace kf::os {

// The engine's only access to files by name. The content layer takes a FileSystem& so that tests
// can inject faults (a short free-space answer, a file that will not open) without touching the
// real disk. Paths are narrow UTF-8 strings joined with '/'. Calls never throw; failures answer
// false / -1 / a closed File with errno set.
class FileSystem {
  public:
    enum class Mode { kRead, kReadWrite };

    virtual ~FileSystem() = default;

    // kReadWrite creates a missing file (mode 0644) but no missing folder.
    virtual File Open(const std::string& path, Mode mode);
    virtual bool Exists(const std::string& path);
    virtual bool IsFolder(const std::string& path);
    // Size of the file at `path`, or -1 when it cannot be examined.
    virtual int64_t SizeOf(const std::string& path);
    // Renames; with `replace` false an existing `to` is left alone and the call fails (EEXIST).
    virtual bool Rename(const std::string& from, const std::string& to, bool replace);
    virtual bool Remove(const std::string& path);
    // Creates `folder` and every missing folder above it.
    virtual bool CreateFolders(const std::string& folder);
    // Adds write permission for the owner when the file lacks it.
    virtual bool MakeWritable(const std::string& path);
    // Free bytes available to this process on the volume holding `folder`, or -1.
    virtual int64_t FreeBytes(const std::string& folder);
    // Makes a finished rename or creation inside `folder` durable.
    virtual bool SyncFolder(const std::string& folder);

    // Reads a whole file of at most `max_size` bytes into `out`. False when it cannot be read or
    // is larger (the content of `out` is then unspecified).
    bool ReadAll(const std::string& path, int64_t max_size, std::string* out);

    // The process-wide instance working on the real disk.
    static FileSystem& Default();
};

// The folder part of a path: everything before the last '/', or "." when there is none.
std::string FolderOf(const std::string& path);

}  // namespace kf::os
