#pragma once

#include "app/AppClock.h"

namespace kf::app {

// The machine's clocks: CLOCK_MONOTONIC for the ticks, the local time zone for the texts.
class SystemClock final : public AppClock {
  public:
    uint64_t NowMs() const override;
    std::string LocalTimeText() const override;
    void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   uint64_t deadline_ms) override;
};

}  // namespace kf::app
