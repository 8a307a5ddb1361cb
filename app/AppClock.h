#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace kf::app {

// The downloader's time: a monotonic millisecond clock that paces the controller's 100 ms and
// 1 s ticks, the design's GetTickCount, and the local time of day for the saved state. Tests put
// a clock of their own here and drive the ticks by advancing it.
//
// Threads: NowMs and LocalTimeText may be called from any thread; WaitUntil is called by the
// thread that owns `lock`.
class AppClock {
  public:
    virtual ~AppClock() = default;

    // Milliseconds of a clock that never goes back (CLOCK_MONOTONIC).
    virtual uint64_t NowMs() const = 0;
    // The design's GetTickCount: NowMs truncated to 32 bits.
    uint32_t TickCount() const { return static_cast<uint32_t>(NowMs()); }
    // Local date and time, "%Y-%m-%d %X".
    virtual std::string LocalTimeText() const = 0;
    // Waits on `cv` with `lock` held until it is notified or NowMs() reaches `deadline_ms`.
    // May return early; the caller checks its condition and the time again.
    virtual void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           uint64_t deadline_ms) = 0;
};

}  // namespace kf::app
