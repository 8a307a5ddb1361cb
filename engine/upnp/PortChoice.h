#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <span>

namespace kf {

// Which TCP port the engine listens on and asks the gateway to forward: a port in 40000..50000
// that is not excluded and that the caller's test finds free.
//
// Owner and threads: a value; Choose runs on the caller's thread and calls `is_free` there.
// Results: the port, or 0 when every candidate is excluded or busy.
// Limits: at most one test per port of the range (10001 calls of `is_free`).
class PortChoice {
  public:
    static constexpr int32_t kFirstPort = 40000;
    static constexpr int32_t kLastPort = 50000;
    // Ports that other programs are known to use; never chosen.
    static constexpr int32_t kBuiltInExclusions[] = {40412, 40421, 40422, 40423,
                                                     40426, 43958, 44444, 47262};

    // `extra_exclusions` are added to the built-in ones (ports outside the range change nothing).
    explicit PortChoice(std::span<const int32_t> extra_exclusions = {});

    bool IsExcluded(int32_t port) const;
    // The first candidate for a random value: random mod 10000 + 40000, then moved on past the
    // value itself and any excluded port (at most 50000, wrapping to 40000).
    int32_t StartFor(uint32_t random) const;
    // The next candidate after `port`: one higher, past excluded ports, wrapping to 40000 above
    // 50000 (and for anything outside the range).
    int32_t Next(int32_t port) const;
    // Tries `previous` first when it is a usable candidate (the port of an earlier run, so that
    // its mapping on the gateway is reused instead of a new one being added), then walks the
    // range once from `start`.
    int32_t Choose(int32_t previous, int32_t start,
                   const std::function<bool(int32_t)>& is_free) const;

  private:
    // One bit per port of the range, so that long exclusion lists cost no more than short ones.
    std::bitset<kLastPort - kFirstPort + 1> excluded_;
};

}  // namespace kf
