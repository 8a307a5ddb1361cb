#pragma once

#include <string>

#include "app/ControllerContext.h"
#include "app/ControllerSnapshot.h"

namespace kf::app {

// What the window shows in each state, with the design's texts and number formats, built from
// the controller's state. Pure functions of their arguments.
class SnapshotBuilder {
  public:
    // The snapshot's display and outcome fields; the controller adds its counters.
    static ControllerSnapshot Build(const ControllerContext& context, int32_t verify_progress,
                                    int32_t shutdown_seconds);
    // The "Percent" column of file `index`.
    static std::string RowText(const ControllerContext& context, int index);
};

}  // namespace kf::app
