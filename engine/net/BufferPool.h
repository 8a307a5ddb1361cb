#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace kf {

// A pool of byte buffers that are reused instead of freed: the engine-wide one behind the
// connections (SocketBufferPool) and separate instances for block buffers and request records.
//
// Take(n) reuses a free buffer of exactly n bytes, else the first free buffer larger than n by
// less than min(n, 1024) bytes, else allocates n + 1 bytes with a NUL at index n. A buffer goes
// back to the free list when its Buffer handle is released or destroyed; Trim frees the free
// buffers beyond a byte budget (in list order). Counters let an owner decide when to trim.
//
// The free list holds at most `keep_bytes` (given to Create): a returned buffer larger than that
// is freed, and the oldest free buffers make room for a newer one. Growing connection buffers
// leave a trail of odd sizes that are rarely asked for again; kept without a bound they added
// up to 140 MiB during one fast download.
//
// Thread-safe: one mutex (a leaf lock) held only for list changes. Handles keep their pool alive,
// so a buffer may outlive every other user of the pool.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
  public:
    // A move-only handle on one pooled buffer. size() usable bytes, and one more byte after them
    // that holds a NUL when the buffer is new (owners keep a NUL after their data there).
    class Buffer {
      public:
        Buffer() = default;
        Buffer(Buffer&& other) noexcept = default;
        Buffer& operator=(Buffer&& other) noexcept;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer() { Release(); }

        uint8_t* data() { return bytes_.get(); }
        const uint8_t* data() const { return bytes_.get(); }
        size_t size() const { return size_; }
        bool empty() const { return bytes_ == nullptr; }
        std::span<uint8_t> span() { return {bytes_.get(), size_}; }

        // Back to the pool (nothing when empty).
        void Release();

      private:
        friend class BufferPool;
        std::shared_ptr<BufferPool> pool_;
        std::unique_ptr<uint8_t[]> bytes_;
        size_t size_ = 0;
    };

    static std::shared_ptr<BufferPool> Create(size_t keep_bytes = SIZE_MAX);

    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // n at least 1; an empty handle when n is 0 or memory runs out.
    Buffer Take(size_t n);
    // Keeps free buffers, in list order, while their running total stays within `keep_bytes`.
    void Trim(size_t keep_bytes);

    size_t FreeBytes() const;
    size_t FreeCount() const;
    size_t InUseBytes() const;
    size_t InUseCount() const;

  protected:
    BufferPool() = default;

  private:
    void Give(std::unique_ptr<uint8_t[]> bytes, size_t size);

    struct FreeEntry {
        std::unique_ptr<uint8_t[]> bytes;
        size_t size;
    };

    size_t keep_bytes_ = SIZE_MAX;
    mutable std::mutex mutex_;
    std::vector<FreeEntry> free_;
    size_t free_bytes_ = 0;
    size_t in_use_bytes_ = 0;
    size_t in_use_count_ = 0;
};

// What the engine-wide pool keeps free: room for reuse without holding past peaks.
inline constexpr size_t kSocketPoolKeepBytes = 4 * 1024 * 1024;
// The engine-wide pool of the connections' send and receive buffers.
std::shared_ptr<BufferPool> SocketBufferPool();

}  // namespace kf
