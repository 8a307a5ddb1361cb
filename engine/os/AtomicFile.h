#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/os/FileSystem.h"

namespace kf::os {

// Replaces a file so that a crash at any moment leaves either the old or the new content under
// its name, never a mix or a truncated file: the data goes to "<path>.tmp" beside it, is flushed
// to the device, and is renamed over `path`; the folder is flushed last. Task thread only.
class AtomicFile {
  public:
    AtomicFile(FileSystem& fs, std::string path);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // Removes the temporary file unless Commit succeeded.
    ~AtomicFile();

    // Creates the folder when missing and opens an empty temporary file.
    bool Open();
    // False when not every byte was written (the disk or the size limit ran out).
    bool Append(std::span<const uint8_t> data);
    int64_t Written() const { return written_; }
    // Cuts the temporary file back, e.g. to the last complete record after a short write.
    bool TruncateTo(int64_t size);
    bool Commit();

    static std::string TemporaryPath(const std::string& path) { return path + ".tmp"; }

  private:
    FileSystem& fs_;
    std::string path_;
    std::string temporary_;
    File file_;
    int64_t written_ = 0;
    bool committed_ = false;
};

}  // namespace kf::os
