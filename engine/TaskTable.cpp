#include "engine/TaskTable.h"

#include <algorithm>

namespace kf {

TaskTable& TaskTable::Instance() {
    static TaskTable table;
    return table;
}

bool TaskTable::Enter(TBaseWork* task) {
    QTMutexLock hold(mutex_);
    tasks_.push_back(task);
    return tasks_.size() == 1;
}

bool TaskTable::Leave(TBaseWork* task) {
    QTMutexLock hold(mutex_);
    const auto it = std::find(tasks_.begin(), tasks_.end(), task);
    if (it == tasks_.end()) {
        return false;
    }
    tasks_.erase(it);
    return tasks_.empty();
}

bool TaskTable::Contains(const void* handle) {
    if (handle == nullptr) {
        return false;
    }
    QTMutexLock hold(mutex_);
    return std::any_of(tasks_.begin(), tasks_.end(),
                       [handle](const TBaseWork* task) { return task == handle; });
}

TBaseWork* TaskTable::Front() {
    QTMutexLock hold(mutex_);
    return tasks_.empty() ? nullptr : tasks_.front();
}

std::vector<TBaseWork*> TaskTable::Snapshot() {
    QTMutexLock hold(mutex_);
    return tasks_;
}

}  // namespace kf
