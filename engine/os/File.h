#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <span>

namespace kf::os {

// One open file descriptor, closed when the object goes. Every transfer takes the process-wide
// disk lock (DiskLock.h) so that tasks never write at the same time. Calls answer -1 / false on
// failure and leave errno set; they never throw. Not shared between threads.
class File {
  public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    ~File();

    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }

    // Reads up to data.size() bytes at `offset`, retrying short reads; answers the bytes read
    // (fewer at the end of the file) or -1.
    int64_t ReadAt(int64_t offset, std::span<uint8_t> data);
    // Writes all of `data` at `offset`; answers the bytes written, which is less than asked when
    // the disk or the file-size limit ran out (errno tells which), or -1 when nothing was written.
    int64_t WriteAt(int64_t offset, std::span<const uint8_t> data);
    // Gathered form of WriteAt; the vectors are not modified.
    int64_t WriteVecAt(int64_t offset, std::span<const iovec> parts);

    // Current size, or -1.
    int64_t Size() const;
    bool Truncate(int64_t size);
    // Reserves disk blocks up to `size` and extends the file to it. False when the file system
    // cannot (errno EOPNOTSUPP) or the disk is short (ENOSPC); the file is then unchanged.
    bool Allocate(int64_t current_size, int64_t size);
    // Pushes written data to the device (fdatasync).
    bool SyncData();
    // Starts writing [offset, offset + length) to the device without waiting for it, so that a
    // later SyncData has less left to do. A hint: failures are ignored.
    void StartWriteback(int64_t offset, int64_t length);
    // Whether [offset, offset + length) may hold written data: false only when the file system
    // says the whole span is a hole or unwritten space (SEEK_DATA), true when it cannot tell.
    bool MayHoldData(int64_t offset, int64_t length) const;
    // Last-write time as FILETIME ticks (100 ns since 1601-01-01 UTC), or false.
    bool LastWriteTime(uint64_t* filetime) const;
    // Answers false when closing reported an error (data may not have reached the disk).
    bool Close();

  private:
    int fd_ = -1;
};

// FILETIME ticks of a Unix time.
uint64_t ToFileTime(int64_t seconds, int64_t nanoseconds);

}  // namespace kf::os
