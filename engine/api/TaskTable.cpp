#include "engine/api/TaskTable.h"

#include <algorithm>

#include "engine/task/TWorkThread.h"

namespace kf {

TaskTable::TaskTable(Watcher& watcher) : watcher_(watcher) {}

TaskTable::~TaskTable() = default;

bool TaskTable::HasDuplicateOf(const TWorkThread& task) {
    QTMutexLock hold(mutex_);
    return std::any_of(tasks_.begin(), tasks_.end(), [&task](const auto& other) {
        return other.get() != &task && task.Duplicates(*other);
    });
}

TWorkThread& TaskTable::Enter(std::unique_ptr<TWorkThread> task) {
    TWorkThread& entered = *task;
    bool first;
    {
        QTMutexLock hold(mutex_);
        tasks_.push_back(std::move(task));
        first = tasks_.size() == 1;
    }
    if (first) {
        watcher_.FirstTaskStarted();
    }
    return entered;
}

bool TaskTable::IsEmpty() {
    QTMutexLock hold(mutex_);
    return tasks_.empty();
}

TWorkThread* TaskTable::Find(const void* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    QTMutexLock hold(mutex_);
    const auto it = std::find_if(tasks_.begin(), tasks_.end(),
                                 [handle](const auto& task) { return task->Handle() == handle; });
    return it == tasks_.end() ? nullptr : it->get();
}

void TaskTable::DestroyAll() {
    {
        // Every thread is told first, so that they wind down (and tell their trackers) together.
        QTMutexLock hold(mutex_);
        for (const std::unique_ptr<TWorkThread>& task : tasks_) {
            task->RequestStop();
        }
    }
    bool destroyed = false;
    for (;;) {
        std::unique_ptr<TWorkThread> task;
        {
            QTMutexLock hold(mutex_);
            if (tasks_.empty()) {
                break;
            }
            task = std::move(tasks_.front());
            tasks_.erase(tasks_.begin());
        }
        task.reset();  // joins the worker, which may want the table's mutex meanwhile
        destroyed = true;
    }
    if (destroyed) {
        watcher_.LastTaskGone();
    }
}

}  // namespace kf
