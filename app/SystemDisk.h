#pragma once

#include "app/DiskInfo.h"

namespace kf::app {

// The machine's disks: stat, statvfs (through the engine's GetDiskFreeBytes), allocated sizes
// (GetFileAllocatedSize), a probe file for the volume mode, and ReleaseFile for the embedded files.
// Stateless.
class SystemDisk final : public DiskInfo {
  public:
    FileFacts Stat(const std::string& path) override;
    int64_t FreeBytes(const std::string& path) override;
    int64_t AllocatedBytes(const std::string& path) override;
    VolumeMode ProbeVolume(const std::string& folder) override;
    bool CreateFolders(const std::string& folder) override;
    bool RemoveFile(const std::string& path) override;
    int Release(const std::string& folder, const std::string& name,
                const std::string& bytes) override;
};

}  // namespace kf::app
