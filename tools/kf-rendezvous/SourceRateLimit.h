#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace kf {

// Requests per source address and second: a source past its allowance in the current second is
// refused until the next one begins. Pure state on a clock the caller supplies; one thread.
//
// Limits: at most kMaxSources addresses are tracked; when more arrive, the sources whose second
// has passed are forgotten first, and a new source that still finds no room is refused.
class SourceRateLimit {
  public:
    static constexpr size_t kMaxSources = 65536;

    explicit SourceRateLimit(uint32_t per_second) : per_second_(per_second) {}

    // Counts one request of `ip` at `now_ms`; answers whether it is allowed.
    bool Allow(uint32_t ip, uint64_t now_ms);
    size_t Tracked() const { return windows_.size(); }

  private:
    struct Window {
        uint64_t second = 0;
        uint32_t count = 0;
    };
    uint32_t per_second_;
    std::unordered_map<uint32_t, Window> windows_;
};

}  // namespace kf
