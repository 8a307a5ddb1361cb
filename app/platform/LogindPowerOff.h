#pragma once

#include <string>

#include "app/platform/PowerOff.h"

namespace kf::app {

// The real PowerOff: asks the login manager over D-Bus (org.freedesktop.login1.Manager on the
// system bus) to power the machine off at now + delay (ScheduleShutdown "poweroff"), after
// setting the wall message to the caller's text (SetWallMessage; its refusal does not matter),
// and cancels with CancelScheduledShutdown. Interactive authorisation is allowed, so a desktop
// may ask the user.
//
// Owner and threads: the controller; each call opens its own connection, so calls may come from
// any thread and wait at most BusConnection::kCallTimeoutMicroseconds each. `bus_address` empty
// means the system bus; tests give a private bus's address.
class LogindPowerOff : public PowerOff {
  public:
    explicit LogindPowerOff(std::string bus_address = {});
    bool Schedule(int delay_seconds, const std::string& message) override;
    // True when a scheduled shutdown was cancelled.
    bool Cancel() override;

  private:
    std::string bus_address_;
};

}  // namespace kf::app
