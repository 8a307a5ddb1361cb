#pragma once

#include "engine/udp/TunnelDispatcher.h"

namespace kf {

// The tunnel dispatcher while the engine has no tunnelled sessions: it takes every datagram and
// answers nothing, so that a stranger learns nothing from probing the endpoint.
class SilentTunnels : public TunnelDispatcher {
  public:
    void OnDatagram(UdpWire::Kind, std::span<const uint8_t>, uint32_t, int32_t) override {}
    bool NeedsFastPasses() const override { return false; }
    void RetransmitPass() override {}
    void AckPass() override {}
    void Housekeeping() override {}
    void FlushConnectRequests() override {}
    void DropSessions() override {}
};

}  // namespace kf
