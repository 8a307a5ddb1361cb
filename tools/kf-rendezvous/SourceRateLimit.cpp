#include "tools/kf-rendezvous/SourceRateLimit.h"

namespace kf {

bool SourceRateLimit::Allow(uint32_t ip, uint64_t now_ms) {
    const uint64_t second = now_ms / 1000;
    auto found = windows_.find(ip);
    if (found == windows_.end()) {
        if (windows_.size() >= kMaxSources) {
            std::erase_if(windows_,
                          [second](const auto& entry) { return entry.second.second != second; });
            if (windows_.size() >= kMaxSources) {
                return false;
            }
        }
        found = windows_.emplace(ip, Window{second, 0}).first;
    }
    Window& window = found->second;
    if (window.second != second) {
        window = Window{second, 0};
    }
    if (window.count >= per_second_) {
        return false;
    }
    ++window.count;
    return true;
}

}  // namespace kf
