#include "engine/net/BufferPool.h"

#include <algorithm>
#include <utility>

namespace kf {

BufferPool::Buffer& BufferPool::Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        Release();
        pool_ = std::move(other.pool_);
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void BufferPool::Buffer::Release() {
    if (bytes_ != nullptr && pool_ != nullptr) {
        pool_->Give(std::move(bytes_), size_);
    }
    bytes_.reset();
    pool_.reset();
    size_ = 0;
}

std::shared_ptr<BufferPool> BufferPool::Create(size_t keep_bytes) {
    // The constructor is private; make_shared cannot reach it.
    struct Enabler : BufferPool {};
    auto pool = std::make_shared<Enabler>();
    pool->keep_bytes_ = keep_bytes;
    return pool;
}

BufferPool::Buffer BufferPool::Take(size_t n) {
    Buffer buffer;
    if (n == 0) {
        return buffer;
    }
    {
        std::lock_guard lock(mutex_);
        auto chosen = std::find_if(free_.begin(), free_.end(),
                                   [n](const FreeEntry& entry) { return entry.size == n; });
        if (chosen == free_.end()) {
            const size_t tolerance = std::min<size_t>(n, 1024);
            chosen = std::find_if(free_.begin(), free_.end(), [n, tolerance](const FreeEntry& e) {
                return e.size > n && e.size - n < tolerance;
            });
        }
        if (chosen != free_.end()) {
            buffer.bytes_ = std::move(chosen->bytes);
            buffer.size_ = chosen->size;
            free_bytes_ -= chosen->size;
            free_.erase(chosen);
            in_use_bytes_ += buffer.size_;
            ++in_use_count_;
            buffer.pool_ = shared_from_this();
            return buffer;
        }
    }
    if (n == SIZE_MAX) {
        return buffer;
    }
    std::unique_ptr<uint8_t[]> bytes;
    try {
        bytes = std::make_unique_for_overwrite<uint8_t[]>(n + 1);
    } catch (...) {
        return buffer;
    }
    bytes[n] = 0;
    buffer.bytes_ = std::move(bytes);
    buffer.size_ = n;
    buffer.pool_ = shared_from_this();
    std::lock_guard lock(mutex_);
    in_use_bytes_ += n;
    ++in_use_count_;
    return buffer;
}

void BufferPool::Give(std::unique_ptr<uint8_t[]> bytes, size_t size) {
    std::lock_guard lock(mutex_);
    in_use_bytes_ -= size;
    --in_use_count_;
    if (size > keep_bytes_) {
        return;  // freed with `bytes`
    }
    // The oldest free buffers make room: the newer ones are likelier to fit the next request.
    auto kept_from = free_.begin();
    while (kept_from != free_.end() && free_bytes_ + size > keep_bytes_) {
        free_bytes_ -= kept_from->size;
        ++kept_from;
    }
    free_.erase(free_.begin(), kept_from);
    try {
        free_.push_back(FreeEntry{std::move(bytes), size});
        free_bytes_ += size;
    } catch (...) {
        // No room to remember it: the buffer is simply freed.
    }
}

void BufferPool::Trim(size_t keep_bytes) {
    std::lock_guard lock(mutex_);
    size_t total = 0;
    auto first_dropped = free_.begin();
    while (first_dropped != free_.end() && total + first_dropped->size <= keep_bytes) {
        total += first_dropped->size;
        ++first_dropped;
    }
    free_.erase(first_dropped, free_.end());
    free_bytes_ = total;
}

size_t BufferPool::FreeBytes() const {
    std::lock_guard lock(mutex_);
    return free_bytes_;
}

size_t BufferPool::FreeCount() const {
    std::lock_guard lock(mutex_);
    return free_.size();
}

size_t BufferPool::InUseBytes() const {
    std::lock_guard lock(mutex_);
    return in_use_bytes_;
}

size_t BufferPool::InUseCount() const {
    std::lock_guard lock(mutex_);
    return in_use_count_;
}

std::shared_ptr<BufferPool> SocketBufferPool() {
    static const std::shared_ptr<BufferPool> pool = BufferPool::Create(kSocketPoolKeepBytes);
    return pool;
}

}  // namespace kf
