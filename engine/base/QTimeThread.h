#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>

#include "engine/base/QThread.h"

namespace kf {

// The engine clock thread ("TimeEnsure"). It reads the system wall clock once, when it starts, and
// from then on advances its seconds from the monotonic tick alone. The time sources are injectable
// so that tests can move the "system clock" without touching the machine's.
class QTimeThread : public QThread {
  public:
    using TickSource = std::function<uint64_t()>;  // milliseconds, monotonic (may wrap)
    using WallSource = std::function<int64_t()>;   // seconds since 1970

    QTimeThread();
    QTimeThread(TickSource tick, WallSource wall);
    ~QTimeThread() override;

    int64_t WallSeconds() const { return wall_seconds_.load(std::memory_order_relaxed); }
    uint32_t CounterSeconds() const { return counter_seconds_.load(std::memory_order_relaxed); }

  protected:
    void Run() override;

  private:
    void Step(uint64_t& base_tick, int64_t& base_wall, uint32_t& base_counter);

    TickSource tick_;
    WallSource wall_;
    std::atomic<int64_t> wall_seconds_{0};
    std::atomic<uint32_t> counter_seconds_{1};
};

}  // namespace kf
