#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "engine/upnp/PortForwardObserver.h"

namespace kf {

// Turns the port mapping's progress into log lines (start-up channel) and events: whether the
// gateway was found, and how the mapping ended (11390000 on success, 11500105 with the reason on
// failure).
//
// Threads: OnProgress is called on the worker threads one after the other (the device thread's
// last report comes before the mapping thread starts its work); `model_name` is called there too.
class PortForwardHandler final : public PortForwardObserver {
  public:
    // `model_name` answers the gateway's model name as read by the device thread.
    explicit PortForwardHandler(std::function<std::string()> model_name)
        : model_name_(std::move(model_name)) {}

    void OnProgress(int32_t code, int32_t value) override;

  private:
    std::function<std::string()> model_name_;
    std::atomic<bool> device_found_{false};
};

}  // namespace kf
