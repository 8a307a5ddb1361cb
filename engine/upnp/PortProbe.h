#pragma once

#include <cstdint>

namespace kf {

// What this machine's sockets say about ports and addresses: whether a TCP port can be listened
// on, and which local address the system would send from toward a destination.
//
// Threads: any; each call uses a socket of its own and closes it before returning. No packet is
// sent. Results: see each call.
class PortProbe {
  public:
    // True when a TCP socket can bind `port` on every address (as the engine's listener does,
    // with SO_REUSEADDR, so that a port in TIME_WAIT counts as free).
    static bool IsTcpPortFree(int32_t port);
    // The local IPv4 address (network order) that a UDP socket "connected" to `destination`
    // (network order) would send from; kNoAddress when there is no route.
    static uint32_t LocalAddressToward(uint32_t destination, uint16_t port);
};

}  // namespace kf
