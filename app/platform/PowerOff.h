#pragma once

#include <string>

namespace kf::app {

// Turns the machine off after the download: the real one asks logind over D-Bus
// (ScheduleShutdown "poweroff" at now + delay) and cancels with CancelScheduledShutdown.
class PowerOff {
  public:
    virtual ~PowerOff() = default;
    // False when the request was refused or cannot be made (the caller shows the design's text).
    virtual bool Schedule(int delay_seconds, const std::string& message) = 0;
    virtual bool Cancel() = 0;
};

}  // namespace kf::app
