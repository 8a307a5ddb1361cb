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
    std::lock_guard lock(mutex_);
    if (!force && !filter_.Empty()) {
        return;
    }
    filter_.Reset();
    if (!path_.empty()) {
        filter_.LoadFromFile(path_);
    }
}

CIPFilter CIPFilterHolder::Copy() const {
    std::lock_guard lock(mutex_);
    return filter_;
}

void CIPFilterHolder::CopyTo(CIPFilter& target) const {
    std::lock_guard lock(mutex_);
    target = filter_;
}

CIPFilterHolder& GlobalIpFilter() {
    static CIPFilterHolder holder;
    return holder;
}

void LoadIpFilter(bool force) {
    GlobalIpFilter().Load(force);
}

}  // namespace kf
