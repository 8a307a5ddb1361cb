#pragma once

#include <cstdint>
#include <span>

namespace kf {

// Where the UDP endpoint hands bencoded datagrams (longer than 8 bytes, first byte 'd'): the DHT.
//
// Threads: called on the endpoint thread under the endpoint lock, so an inbox only parses and
// queues; it must not send through the endpoint from inside Inbound on another thread's behalf.
// The datagram is untrusted and valid only during the call. Addresses in network order.
class DhtInbox {
  public:
    virtual ~DhtInbox() = default;
    virtual void Inbound(std::span<const uint8_t> datagram, uint32_t from_ip,
                         int32_t from_port) = 0;
    // While the DHT runs the endpoint keeps its socket open even when no task exists.
    virtual bool IsRunning() const = 0;
};

}  // namespace kf
