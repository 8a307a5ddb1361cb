#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kf {

// A file opened for reading only, other readers and writers allowed. The one place where the
// engine's file readers touch the operating system; the descriptor is closed with the object.
// Never throws; failures are answered as -1 / false.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Opens `path` (closing any file opened before). False when the path is empty, longer than
    // kMaxPathBytes, not a regular file, or cannot be opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Size in bytes, or -1.
    int64_t Size() const;

    // Reads at most `buffer.size()` bytes at the current position: the number read, 0 at the end
    // of the file, -1 on error. An interrupted read is retried.
    int64_t Read(std::span<uint8_t> buffer);

    // Fills `buffer` completely unless the file ends first: the number of bytes read, or -1.
    int64_t ReadFull(std::span<uint8_t> buffer);

    static constexpr size_t kMaxPathBytes = 4096;

  private:
    int fd_ = -1;
};

}  // namespace kf
