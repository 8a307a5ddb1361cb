#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "app/ControllerContext.h"

namespace kf::app {

// Shares the connection budgets and the download speed limit among the active tasks.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class TaskLimits {
  public:
    explicit TaskLimits(ControllerContext& context) : context_(context) {}

    // `total` shared by `count` tasks: total ÷ count each, the remainder one by one to the first,
    // at least 1 each. Empty for no task.
    static std::vector<int32_t> Split(int32_t total, int count);
    // The per-task limit in KB/s for `limit` shared by `count` tasks: limit ÷ count when more than
    // one, at least 10; 0 (no limit) stays 0 for every task.
    static int32_t SpeedShare(int32_t limit, int count);

    // SetTaskConnectionLimits for each active task, when the budgets or the active tasks changed
    // since the last time.
    void ShareBudgets();
    // SetTaskSpeedLimit for every live task.
    void ApplySpeedLimit();

  private:
    ControllerContext& context_;
    std::vector<TaskHandle> shared_among_;
    int32_t shared_http_ = -1;
    int32_t shared_bt_ = -1;
};

}  // namespace kf::app
