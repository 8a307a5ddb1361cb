#pragma once

#include <cstdint>
#include <span>

#include "engine/udp/UdpWire.h"

namespace kf {

// What the tunnelled sessions need from the UDP endpoint that carries them: its socket, its
// clock, its identity and addresses, and a way to ask for the fast passes. The endpoint
// (QUInternalServer) implements it; unit tests bring a fake with a hand-moved clock.
//
// Threads: called only from inside TunnelSessions, that is under the endpoint lock; nothing here
// may block or take another lock that a sender could hold. Addresses in network order.
class TunnelHost {
  public:
    enum class Sent { kSent, kWouldBlock, kFailed };

    virtual ~TunnelHost() = default;
    // One datagram to a peer. kWouldBlock: the socket's buffer is full (try again on a later
    // pass); kFailed: this destination refused it (the socket is fine).
    virtual Sent SendTo(std::span<const uint8_t> datagram, uint32_t ip, int32_t port) = 0;
    // One datagram to the rendezvous server; false when no server is known yet or the send
    // failed.
    virtual bool SendToServer(std::span<const uint8_t> datagram) = 0;
    virtual uint64_t NowMs() const = 0;
    // This engine's endpoint identity (8 id bytes, "UDP", 0x30).
    virtual UdpWire::Identity OwnIdentity() const = 0;
    // The address and UDP port this engine registered as its local ones.
    virtual uint32_t LocalIp() const = 0;
    virtual int32_t LocalPort() const = 0;
    // The external address the server reported; kNoAddress while unknown.
    virtual uint32_t ExternalIp() const = 0;
    // Suspended (no task): connects, sends and receives fail.
    virtual bool Suspended() const = 0;
    // The endpoint thread runs (listening needs it).
    virtual bool Running() const = 0;
    // A session now needs the 20 and 40 ms passes (the endpoint may be asleep until its next slow
    // timer): wake it.
    virtual void WakeEndpoint() = 0;
};

}  // namespace kf
