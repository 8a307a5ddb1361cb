#pragma once

#include <cstdint>
#include <span>

#include "engine/content/TaskState.h"

namespace kf {

// The task as the content layer (metainfo, piece map) sees it. The task's work object implements
// it; unit tests use a recording fake. All calls come from the task's own thread.
class TaskLink {
  public:
    virtual ~TaskLink() = default;

    virtual void SetTaskState(TaskState state) = 0;
    // Records a task status code (20206..20216); 0 clears it.
    virtual void SetTaskStatus(int32_t status) = 0;
    virtual void RequestStop() = 0;
    virtual bool IsStopRequested() = 0;

    // Piece map notice: `number` carries a piece index or count, `bytes` a record (selection list,
    // resume record) that is only valid during the call.
    virtual void PieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                             std::span<const uint8_t> bytes) = 0;
};

}  // namespace kf
