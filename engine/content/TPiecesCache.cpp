// TPieces: the memory cache (write-back of partial and held pieces, trimming).

#include <algorithm>
#include <vector>

#include "engine/content/TPieces.h"

namespace kf {
namespace {

constexpr int64_t kCacheUnit = 262144;
// Partial data worth writing early, and the least idle time before it is.
constexpr int64_t kEarlyWriteBytes = 131072;
constexpr int64_t kEarlyWriteIdle = 15;

}  // namespace

int64_t TPieces::CacheLimit() const {
    const int64_t limit = static_cast<int64_t>(params_.cache_units) * kCacheUnit;
    return limit > 0 ? limit : kCacheUnit;
}

void TPieces::SetCacheUnits(int32_t units) {
    params_.cache_units = std::clamp(units, 4, 8000);
    KeepFreeBlocks();
}

void TPieces::KeepFreeBlocks() {
    // Freed blocks are kept up to the cache size: the cache refills with memory that is already
    // mapped instead of going back and forth through the allocator.
    pool_.SetKeep(static_cast<size_t>(CacheLimit() / kBlockSize));
}

bool TPieces::WriteHeldPieces() {
    std::vector<int64_t> order;
    for (int64_t i : active_) {
        if (slots_[static_cast<size_t>(i)].held) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        return slots_[static_cast<size_t>(a)].last_activity <
               slots_[static_cast<size_t>(b)].last_activity;
    });
    for (int64_t i : order) {
        if (!WriteHeld(slots_[static_cast<size_t>(i)])) {
            return false;
        }
    }
    return true;
}

void TPieces::DropReadBlocks(int64_t keep) {
    // Blocks read back for upload are copies of data on disk. A seeder reads the whole content
    // through the cache far faster than the timed cache pass trims it, so they are dropped here,
    // oldest first, as soon as the cache is over its size.
    const int64_t limit = CacheLimit();
    if (cached_bytes_ <= limit) {
        return;
    }
    std::vector<int64_t> order;
    for (int64_t i : active_) {
        const PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (i != keep && !slot.held && slot.cached_bytes() > 0 && IsVerified(slot.index())) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        return slots_[static_cast<size_t>(a)].last_activity <
               slots_[static_cast<size_t>(b)].last_activity;
    });
    // Some room at once, so that the next reads do not each come back here.
    const int64_t goal = limit - std::max(limit / 10, kCacheUnit);
    for (int64_t i : order) {
        if (cached_bytes_ <= goal) {
            break;
        }
        cached_bytes_ -= slots_[static_cast<size_t>(i)].DropBlocks(pool_);
    }
}

bool TPieces::KeepMemoryBound() {
    // Without this, data held between two cache passes of the task would grow with the
    // download speed rather than with the cache size.
    if (cached_bytes_ < CacheLimit()) {
        return true;
    }
    return WriteHeldPieces();
}

void TPieces::CachePass() {
    if (!valid_) {
        return;
    }
    const int64_t now = Now();
    const int64_t limit = CacheLimit();
    const int64_t idle = params_.idle_seconds;
    const int64_t threshold = cached_bytes_ < limit / 2 ? limit / 2 : limit / 5;
    for (int64_t i : active_) {
        PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (slot.held || slot.complete || IsVerified(slot.index())) {
            continue;
        }
        if (slot.cached_bytes() >= kEarlyWriteBytes &&
            now - slot.last_activity > std::max<int64_t>(idle / 6, kEarlyWriteIdle)) {
            WriteContiguous(slot);
        }
        if (slot.drop) {
            cached_bytes_ -= slot.DropBlocks(pool_);
            slot.drop = false;
        }
    }
    if (held_bytes_ >= threshold) {
        WriteHeldPieces();
    }
    held_bytes_ = 0;
    for (int64_t i : active_) {
        const PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (slot.held) {
            held_bytes_ += slot.cached_bytes();
        }
    }
    TrimCache(now);
    // Forget pieces that hold nothing any more.
    std::erase_if(active_, [&](int64_t i) {
        const PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (slot.held || slot.cached_bytes() > 0) {
            return false;
        }
        is_active_[static_cast<size_t>(i)] = false;
        return true;
    });
}

void TPieces::TrimCache(int64_t now) {
    const int64_t limit = CacheLimit();
    const int64_t idle = params_.idle_seconds;
    if ((cached_bytes_ < limit && now - last_flush_ < 6 * idle) || cached_bytes_ <= kCacheUnit) {
        return;
    }
    struct Candidate {
        int64_t last_activity;
        int64_t piece;
    };
    std::vector<Candidate> candidates;
    int64_t candidate_bytes = 0;
    for (int64_t i : active_) {
        PieceSlot& slot = slots_[static_cast<size_t>(i)];
        if (slot.held || slot.cached_bytes() == 0) {
            continue;
        }
        if (IsVerified(slot.index()) && now - slot.last_activity > idle) {
            cached_bytes_ -= slot.DropBlocks(pool_);
            continue;
        }
        candidates.push_back({slot.last_activity, i});
        candidate_bytes += slot.cached_bytes();
    }
    if (candidate_bytes + held_bytes_ >= limit) {
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) {
                             return a.last_activity < b.last_activity;
                         });
        const int64_t wanted_room = std::max(limit / 10, kCacheUnit);
        for (const Candidate& c : candidates) {
            if (limit - (candidate_bytes + held_bytes_) >= wanted_room) {
                break;
            }
            PieceSlot& slot = slots_[static_cast<size_t>(c.piece)];
            const int64_t before = slot.cached_bytes();
            // What continues the written part is saved rather than thrown away.
            if (!IsVerified(slot.index())) {
                WriteContiguous(slot);
            }
            if (!slot.held) {
                cached_bytes_ -= slot.DropBlocks(pool_);
            }
            candidate_bytes -= before;
        }
    }
    int64_t total = 0;
    for (int64_t i : active_) {
        total += slots_[static_cast<size_t>(i)].cached_bytes();
    }
    cached_bytes_ = total;
    last_flush_ = now;
}

}  // namespace kf
