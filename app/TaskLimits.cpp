#include "app/TaskLimits.h"

#include <algorithm>

namespace kf::app {

std::vector<int32_t> TaskLimits::Split(int32_t total, int count) {
    std::vector<int32_t> shares;
    if (count <= 0) {
        return shares;
    }
    const int32_t each = total / count;
    const int32_t remainder = total % count;
    for (int i = 0; i < count; ++i) {
        shares.push_back(std::max(1, each + (i < remainder ? 1 : 0)));
    }
    return shares;
}

int32_t TaskLimits::SpeedShare(int32_t limit, int count) {
    if (limit <= 0) {
        return 0;
    }
    const int32_t share = count > 1 ? limit / count : limit;
    return std::max(share, 10);
}

void TaskLimits::ShareBudgets() {
    const std::vector<int> active = context_.ActiveFiles();
    std::vector<TaskHandle> handles;
    for (const int index : active) {
        handles.push_back(context_.files[index].handle);
    }
    // A task that replaced another (a reload, a repair) needs its limits even when the count
    // stayed: the engine allows it no peer until it has them.
    if (active.empty() || (handles == shared_among_ && shared_http_ == context_.http_conn_total &&
                           shared_bt_ == context_.bt_peer_total)) {
        return;
    }
    const int count = static_cast<int>(active.size());
    const std::vector<int32_t> http = Split(context_.http_conn_total, count);
    const std::vector<int32_t> bt = Split(context_.bt_peer_total, count);
    for (int i = 0; i < count; ++i) {
        context_.services.engine.SetTaskConnectionLimits(handles[i], http[i], bt[i]);
    }
    shared_among_ = handles;
    shared_http_ = context_.http_conn_total;
    shared_bt_ = context_.bt_peer_total;
}

void TaskLimits::ApplySpeedLimit() {
    const int32_t share =
        SpeedShare(context_.speed_limit, static_cast<int>(context_.ActiveFiles().size()));
    for (const TaskHandle handle : context_.LiveHandles()) {
        context_.services.engine.SetTaskSpeedLimit(handle, share);
    }
}

}  // namespace kf::app
