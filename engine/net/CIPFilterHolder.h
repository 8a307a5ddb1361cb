#pragma once

#include <mutex>
#include <string>

#include "engine/net/CIPFilter.h"

namespace kf {

// The engine's shared IP filter and the path of its file. Tasks never read the shared filter
// directly: they call Load (without force) when they prepare their transfer and then work on a
// copy of their own.
//
// Locking: the holder has its own mutex and takes nothing else, so it can be called with or
// without the engine's task table lock held (it is a leaf lock either way). Loading reads the
// whole file while holding it.
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

    CIPFilter Copy() const;
    void CopyTo(CIPFilter& target) const;

  private:
    mutable std::mutex mutex_;
    CIPFilter filter_;
    std::string path_;
};

// The process-wide holder.
CIPFilterHolder& GlobalIpFilter();

// GlobalIpFilter().Load(force).
void LoadIpFilter(bool force);

}  // namespace kf
