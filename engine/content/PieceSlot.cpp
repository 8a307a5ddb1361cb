#include "engine/content/PieceSlot.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/os/ByteOrder.h"

namespace kf {

PieceSlot::PieceSlot(PieceIndex index, int32_t size, const uint8_t* digest)
    : index_(index), size_(size), digest_(digest) {}

int32_t PieceSlot::BlockLength(BlockIndex block) const {
    const int64_t start = block.value() * kBlockSize;
    if (block.value() < 0 || start >= size_) {
        return 0;
    }
    return static_cast<int32_t>(std::min<int64_t>(kBlockSize, size_ - start));
}

void PieceSlot::EnsureBlocks() {
    if (blocks_.empty()) {
        blocks_.resize(static_cast<size_t>(BlockCount()));
    }
}

int32_t PieceSlot::Store(int32_t offset, std::span<const uint8_t> data, BlockPool& pool) {
    if (offset < 0 || offset >= size_ || data.empty()) {
        return 0;
    }
    const int32_t end =
        static_cast<int32_t>(std::min<int64_t>(size_, offset + static_cast<int64_t>(data.size())));
    int32_t pos = offset;
    while (pos < end) {
        const int32_t k = pos / kBlockSize;
        const int32_t block_start = k * kBlockSize;
        const int32_t block_end = std::min(block_start + kBlockSize, size_);
        if (block_end <= bytes_done_) {
            pos = std::min(end, block_end);
            continue;
        }
        EnsureBlocks();
        Block& block = blocks_[static_cast<size_t>(k)];
        const int32_t fill_end = block_start + block.filled;
        if (pos < fill_end) {
            pos = std::min(end, fill_end);
            continue;
        }
        if (pos > fill_end) {
            break;
        }
        const int32_t n = std::min(end, block_end) - pos;
        if (!block.data) {
            block.data = pool.Take();
        }
        std::memcpy(block.data.get() + (pos - block_start), data.data() + (pos - offset),
                    static_cast<size_t>(n));
        block.filled += n;
        cached_bytes_ += n;
        pos += n;
    }
    return pos - offset;
}

std::span<uint8_t> PieceSlot::ReceiveRoom(int32_t offset, BlockPool& pool) {
    if (offset < 0 || offset >= size_) {
        return {};
    }
    const int32_t k = offset / kBlockSize;
    const int32_t block_start = k * kBlockSize;
    const int32_t block_end = std::min(block_start + kBlockSize, size_);
    if (block_end <= bytes_done_) {
        return {};
    }
    EnsureBlocks();
    Block& block = blocks_[static_cast<size_t>(k)];
    if (block_start + block.filled != offset) {
        return {};
    }
    if (!block.data) {
        block.data = pool.Take();
    }
    return {block.data.get() + (offset - block_start), static_cast<size_t>(block_end - offset)};
}

int32_t PieceSlot::CommitReceived(int32_t offset, int32_t length) {
    if (offset < 0 || offset >= size_ || length <= 0 || blocks_.empty()) {
        return 0;
    }
    const int32_t k = offset / kBlockSize;
    const int32_t block_start = k * kBlockSize;
    const int32_t block_end = std::min(block_start + kBlockSize, size_);
    Block& block = blocks_[static_cast<size_t>(k)];
    if (block_end <= bytes_done_ || !block.data || block_start + block.filled != offset) {
        return 0;
    }
    const int32_t n = std::min(length, block_end - offset);
    block.filled += n;
    cached_bytes_ += n;
    return n;
}

int32_t PieceSlot::ContiguousEnd() const {
    int32_t pos = bytes_done_;
    if (blocks_.empty()) {
        return pos;
    }
    while (pos < size_) {
        const int32_t k = pos / kBlockSize;
        const int32_t length = std::min(kBlockSize, size_ - k * kBlockSize);
        if (blocks_[static_cast<size_t>(k)].filled < length) {
            break;
        }
        pos = k * kBlockSize + length;
    }
    return pos;
}

bool PieceSlot::HasBlock(BlockIndex block) const {
    const int32_t length = BlockLength(block);
    if (length == 0) {
        return false;
    }
    const int64_t start = block.value() * kBlockSize;
    if (start + length <= bytes_done_) {
        return true;
    }
    return !blocks_.empty() && blocks_[static_cast<size_t>(block.value())].filled >= length;
}

std::span<const uint8_t> PieceSlot::BlockData(BlockIndex block) const {
    const int32_t length = BlockLength(block);
    if (length == 0 || blocks_.empty()) {
        return {};
    }
    const Block& b = blocks_[static_cast<size_t>(block.value())];
    if (b.filled < length) {
        return {};
    }
    return {b.data.get(), static_cast<size_t>(length)};
}

void PieceSlot::VisitRange(int32_t from, int32_t to,
                           const std::function<void(std::span<const uint8_t>)>& visit) const {
    int32_t pos = from;
    while (pos < to) {
        const int32_t k = pos / kBlockSize;
        const int32_t block_start = k * kBlockSize;
        const int32_t n = std::min(to, std::min(block_start + kBlockSize, size_)) - pos;
        const Block& block = blocks_[static_cast<size_t>(k)];
        visit({block.data.get() + (pos - block_start), static_cast<size_t>(n)});
        pos += n;
    }
}

void PieceSlot::CacheBlock(BlockIndex block, std::span<const uint8_t> data, BlockPool& pool) {
    const int32_t length = BlockLength(block);
    if (length == 0 || static_cast<int32_t>(data.size()) < length) {
        return;
    }
    EnsureBlocks();
    Block& b = blocks_[static_cast<size_t>(block.value())];
    if (!b.data) {
        b.data = pool.Take();
    }
    std::memcpy(b.data.get(), data.data(), static_cast<size_t>(length));
    cached_bytes_ += length - b.filled;
    b.filled = length;
}

int64_t PieceSlot::Advance(int32_t to, BlockPool& pool) {
    int64_t freed = 0;
    if (!blocks_.empty()) {
        for (int32_t k = bytes_done_ / kBlockSize; k * kBlockSize < to; ++k) {
            Block& block = blocks_[static_cast<size_t>(k)];
            freed += block.filled;
            block.filled = 0;
            pool.Give(std::move(block.data));
        }
    }
    cached_bytes_ -= freed;
    bytes_done_ = std::max(bytes_done_, to);
    return freed;
}

int64_t PieceSlot::DropBlocks(BlockPool& pool) {
    const int64_t freed = cached_bytes_;
    for (Block& block : blocks_) {
        pool.Give(std::move(block.data));
    }
    blocks_.clear();
    cached_bytes_ = 0;
    return freed;
}

int64_t PieceSlot::Reset(BlockPool& pool) {
    const int64_t freed = DropBlocks(pool);
    bytes_done_ = 0;
    sha1_.reset();
    held = false;
    complete = false;
    drop = false;
    partial = false;
    source = 0;
    single_source = true;
    return freed;
}

bool PieceSlot::RestorePartial(int32_t bytes_done, Sha1State state) {
    if (bytes_done <= 0 || bytes_done >= size_ || bytes_done % kBlockSize != 0 ||
        state.Length() != static_cast<uint64_t>(bytes_done)) {
        return false;
    }
    bytes_done_ = bytes_done;
    sha1_ = std::make_unique<Sha1State>(state);
    return true;
}

Sha1State& PieceSlot::EnsureSha1() {
    if (!sha1_) {
        sha1_ = std::make_unique<Sha1State>();
    }
    return *sha1_;
}

void PieceSlot::AdoptState(PieceSlot& other) {
    bytes_done_ = std::exchange(other.bytes_done_, 0);
    cached_bytes_ = std::exchange(other.cached_bytes_, 0);
    sha1_ = std::move(other.sha1_);
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    held = std::exchange(other.held, false);
    complete = std::exchange(other.complete, false);
    drop = std::exchange(other.drop, false);
    partial = std::exchange(other.partial, false);
    last_activity = other.last_activity;
    source = std::exchange(other.source, 0);
    single_source = std::exchange(other.single_source, true);
}

std::vector<uint8_t> PieceSlot::SerializeBlocks() const {
    std::vector<uint8_t> out;
    if (cached_bytes_ <= 0 || size_ < kBlockSize || blocks_.empty()) {
        return out;
    }
    // Only whole 16 KiB blocks fit the format; a short last block or a partly filled one is left
    // out rather than failing the whole piece.
    std::vector<int32_t> picked;
    for (int32_t k = bytes_done_ / kBlockSize; k < BlockCount(); ++k) {
        const Block& block = blocks_[static_cast<size_t>(k)];
        if (block.filled == kBlockSize && (k + 1) * kBlockSize <= size_) {
            picked.push_back(k);
            if (static_cast<int32_t>(picked.size()) == kMaxSpillBlocks) {
                break;
            }
        }
    }
    if (picked.empty()) {
        return out;
    }
    const size_t n = picked.size();
    out.assign(kSpillHeaderSize + kSpillEntrySize * n, 0);
    StoreLe32(&out[0], static_cast<uint32_t>(n * kBlockSize));
    StoreLe32(&out[4], static_cast<uint32_t>(bytes_done_));
    StoreLe32(&out[8], static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
        uint8_t* entry = &out[kSpillHeaderSize + kSpillEntrySize * i];
        StoreLe32(entry, static_cast<uint32_t>(picked[i] * kBlockSize));
        StoreLe32(entry + 4, kBlockSize);
        std::memcpy(entry + 8, blocks_[static_cast<size_t>(picked[i])].data.get(), kBlockSize);
    }
    return out;
}

int64_t PieceSlot::RestoreBlocks(std::span<const uint8_t> data, BlockPool& pool) {
    if (size_ < kBlockSize || data.size() <= static_cast<size_t>(kSpillHeaderSize)) {
        return -1;
    }
    const int32_t held_bytes = static_cast<int32_t>(LoadLe32(&data[0]));
    const int32_t done = static_cast<int32_t>(LoadLe32(&data[4]));
    const int32_t n = static_cast<int32_t>(LoadLe32(&data[8]));
    if (held_bytes <= 0 || done < 0 || n <= 0 || n > kMaxSpillBlocks ||
        data.size() < static_cast<size_t>(kSpillHeaderSize) +
                          static_cast<size_t>(kSpillEntrySize) * static_cast<size_t>(n)) {
        return -1;
    }
    DropBlocks(pool);
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t* entry = &data[kSpillHeaderSize + static_cast<size_t>(kSpillEntrySize) * i];
        const int64_t offset = LoadLe32(entry);
        const uint32_t length = LoadLe32(entry + 4);
        if (offset < done || length != static_cast<uint32_t>(kBlockSize) ||
            offset % kBlockSize != 0 || offset + kBlockSize > size_) {
            DropBlocks(pool);
            return -1;
        }
        CacheBlock(BlockIndex(offset / kBlockSize), {entry + 8, static_cast<size_t>(kBlockSize)},
                   pool);
    }
    if (cached_bytes_ < held_bytes) {
        DropBlocks(pool);
        return -1;
    }
    return done;
}

}  // namespace kf
