#pragma once

#include <cstdint>

namespace kf {

// Receives the progress of the port mapping's two threads: (17, 0) device thread started, (17, 1)
// search ready, (17, 5) search done, (17, 6..10) the gateway's properties being read, (18, 0 or
// failure) device thread done, (33, 0..2) mapping thread started / gateway ready / mapping added,
// (34, 0 or failure) mapping thread done (port_forward::kFailure is the failure value).
//
// Threads: called on the reporting worker thread, with no lock of the port mapping held; it must
// return quickly and must not call back into the mapping.
class PortForwardObserver {
  public:
    virtual ~PortForwardObserver() = default;
    virtual void OnProgress(int32_t code, int32_t value) = 0;
};

}  // namespace kf
