#include "engine/net/CIPFilterHolder.h"

#include <utility>

namespace kf {

void CIPFilterHolder::SetPath(std::string path) {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
}

std::string CIPFilterHolder::Path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void CIPFilterHolder::Load(bool force) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        if (!force && !filter_.Empty()) {
            return;
        }
        path = path_;
    }
    CIPFilter fresh;
    if (!path.empty()) {
        fresh.LoadFromFile(path);
    }
    std::lock_guard lock(mutex_);
    // Another load may have come first (or named another file) while this one read.
    if (path != path_ || (!force && (!filter_.Empty() || fresh.Empty()))) {
        return;
    }
    ReplaceLocked(std::move(fresh));
}

int32_t CIPFilterHolder::LoadFile(const std::string& path) {
    CIPFilter fresh;
    const int32_t accepted = fresh.LoadFromFile(path);
    if (accepted < 0) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    path_ = path;
    ReplaceLocked(std::move(fresh));
    return accepted;
}

void CIPFilterHolder::Clear() {
    std::lock_guard lock(mutex_);
    path_.clear();
    ReplaceLocked(CIPFilter());
}

void CIPFilterHolder::ReplaceLocked(CIPFilter&& filter) {
    filter_ = std::move(filter);
    generation_.fetch_add(1);
}

CIPFilter CIPFilterHolder::Copy() const {
    std::lock_guard lock(mutex_);
    return filter_;
}

uint64_t CIPFilterHolder::CopyTo(CIPFilter& target) const {
    std::lock_guard lock(mutex_);
    target = filter_;
    return generation_.load();
}

bool CIPFilterHolder::IsBlocked(uint32_t address) const {
    std::lock_guard lock(mutex_);
    return filter_.IsBlocked(address);
}

CIPFilterHolder& GlobalIpFilter() {
    static CIPFilterHolder holder;
    return holder;
}

void LoadIpFilter(bool force) {
    GlobalIpFilter().Load(force);
}

}  // namespace kf
