#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace kf::app {

// The MD5 (RFC 1321) of a whole file, read in 4096-byte blocks, with the design's progress.
//
// Threads: Md5 blocks for as long as the file takes to read; it runs on a worker thread and
// calls `progress` there.
class FileDigest {
  public:
    static constexpr size_t kBlockBytes = 4096;

    // Progress in hundredths of a percent (0..10000), called when the value changes.
    using Progress = std::function<void(int32_t)>;

    // 32 lower-case hex digits; empty when the file cannot be opened or read, or when `cancel`
    // became true (then the digest is worth nothing).
    static std::string Md5(const std::string& path, const Progress& progress,
                           const std::atomic<bool>* cancel = nullptr);

    // Progress after `blocks` of a file of `size` bytes: blocks × 10000 ÷ (size ÷ 4096), at most
    // 10000; a file under one block is done at its first block, so nothing is divided by zero.
    static int32_t ProgressAfter(uint64_t blocks, int64_t size);
};

}  // namespace kf::app
