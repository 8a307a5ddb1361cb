#pragma once

#include <cstdint>
#include <string>

namespace kf::app {

// What the controller asks of the disk: facts about files and folders, free space, the volume's
// abilities, and the few changes it makes itself (its folders, released resources, deleted resume
// files). Tests put a scripted disk here.
//
// Threads: the controller thread only. Paths are absolute; results never throw.
class DiskInfo {
  public:
    struct FileFacts {
        bool exists = false;
        bool is_folder = false;
        int64_t size = 0;
        // Last write time as a local FILETIME: 100 ns units since 1601-01-01, shifted by the
        // local UTC offset.
        uint64_t write_time_local = 0;
    };
    // What a volume does for files written out of order.
    enum class VolumeMode {
        kPreallocates,  // space is reserved when a file is laid out
        kSparse,        // files grow as they are written
        kNotSparse,     // neither: files are filled when laid out
        kUnknown,       // the query failed
    };

    virtual ~DiskInfo() = default;

    virtual FileFacts Stat(const std::string& path) = 0;
    // Bytes free to this process on the volume of `path` (of its nearest existing ancestor when
    // it does not exist yet); 0 when unknown.
    virtual int64_t FreeBytes(const std::string& path) = 0;
    // Bytes the file (else its ".kftmp") occupies: 0 when neither exists, negative on failure.
    virtual int64_t AllocatedBytes(const std::string& path) = 0;
    virtual VolumeMode ProbeVolume(const std::string& folder) = 0;

    // The folder and its parents; true when it exists afterwards.
    virtual bool CreateFolders(const std::string& folder) = 0;
    // True when the file is gone afterwards (also when it never existed).
    virtual bool RemoveFile(const std::string& path) = 0;
    // Writes `bytes` as folder/name (the folder created when missing): 0; else as name in the
    // temporary folder: 1; both failed: -1 (ReleaseFile's contract).
    virtual int Release(const std::string& folder, const std::string& name,
                        const std::string& bytes) = 0;
};

}  // namespace kf::app
