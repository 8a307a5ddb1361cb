#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/net/CIPFilter.h"

namespace kf {

// The engine's shared IP filter and the path of its file. Tasks never read the shared filter
// directly: they call Load (without force) when they prepare their transfer, work on a copy of
// their own, and take a new copy once Generation() has moved on. Services without a task (the
// listener's accept step) ask IsBlocked.
//
// Locking: the holder has its own mutex and takes nothing else, so it can be called with or
// without the engine's task table lock held (it is a leaf lock either way). Files are read into a
// filter of their own before the mutex is taken, so a large file never holds up a caller that
// only asks about one address.
//
// Results: the file is untrusted input, parsed within the limits of CIPFilter.
class CIPFilterHolder {
  public:
    CIPFilterHolder() = default;
    CIPFilterHolder(const CIPFilterHolder&) = delete;
    CIPFilterHolder& operator=(const CIPFilterHolder&) = delete;

    // The filter file; empty (the default) means no file, so the filter blocks nothing.
    void SetPath(std::string path);
    std::string Path() const;

    // When `force` is set or the filter is empty: reset it and, if a path is set, load that file.
    // An unreadable file leaves the filter empty.
    void Load(bool force);
    // Takes `path` as the filter file and the filter from it: the number of range lines
    // accepted, or -1 when the file cannot be read (the filter and the path are then unchanged).
    int32_t LoadFile(const std::string& path);
    // No file and no ranges.
    void Clear();

    // Raised whenever the filter is replaced or cleared; a copy taken with CopyTo is current
    // while the two are equal.
    uint64_t Generation() const { return generation_.load(); }

    CIPFilter Copy() const;
    // Replaces `target` with the filter; answers the generation of what was copied.
    uint64_t CopyTo(CIPFilter& target) const;
    // `address` in network order, as it comes from a socket.
    bool IsBlocked(uint32_t address) const;

  private:
    // Puts `filter` in place and raises the generation; under mutex_.
    void ReplaceLocked(CIPFilter&& filter);

    mutable std::mutex mutex_;
    CIPFilter filter_;
    std::string path_;
    std::atomic<uint64_t> generation_{0};
};

// The process-wide holder.
CIPFilterHolder& GlobalIpFilter();

// GlobalIpFilter().Load(force).
void LoadIpFilter(bool force);

}  // namespace kf
