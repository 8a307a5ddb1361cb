#pragma once

#include <concepts>

#include "engine/peers/TaskContent.h"
#include "engine/peers/TaskRanges.h"
#include "engine/peers/TaskSwarm.h"

namespace kf {

// The three faces of its task that a peer object works through. A task object that shows all
// three (the task's peer face, a test's fake) converts to it as it is.
//
// Owner: nobody; it only refers to the task, which must outlive every peer made with it.
// Thread: the task's own thread.
struct TaskFaces {
    template <class Task>
    requires std::derived_from<Task, TaskContent> && std::derived_from<Task, TaskRanges> &&
        std::derived_from<Task, TaskSwarm>
        TaskFaces(Task& task)  // NOLINT(google-explicit-constructor): a task converts as it is
        : content(task), ranges(task), swarm(task) {}

    TaskContent& content;
    TaskRanges& ranges;
    TaskSwarm& swarm;
};

}  // namespace kf
