#pragma once

#include <cstdint>

namespace kf {

// Where a task stands: preparing (also after its thread ended) → the first source answered (a
// task that fetches its metainfo from a server) → building the piece map → running.
enum class TaskState : int32_t {
    kIdle = 1,
    kFirstAnswer = 2,
    kBuildingMap = 3,
    kRunning = 4,
};

constexpr const char* TaskStateName(TaskState state) {
    switch (state) {
        case TaskState::kIdle:
            return "preparing";
        case TaskState::kFirstAnswer:
            return "first answer";
        case TaskState::kBuildingMap:
            return "building the piece map";
        case TaskState::kRunning:
            return "running";
    }
    return "unknown";
}

}  // namespace kf
