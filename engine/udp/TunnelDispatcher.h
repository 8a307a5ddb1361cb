#pragma once

#include <cstdint>
#include <span>

#include "engine/udp/UdpWire.h"

namespace kf {

// The tunnelled-connection layer as the UDP endpoint sees it: it receives every datagram that is
// neither the DHT's nor a registration answer, already classified and checked (server datagrams
// only from the server's own address and port, punches and session packets only when they name
// this engine, session packets with their length and checksum right), and runs the periodic
// passes.
//
// Threads: every call comes from the endpoint thread, or from an engine call, under the endpoint
// lock; nothing may block. Datagrams are valid only during the call; addresses in network order.
class TunnelDispatcher {
  public:
    virtual ~TunnelDispatcher() = default;
    // `kind` is kRelay, kConnectAnswer, kPunch or kSession.
    virtual void OnDatagram(UdpWire::Kind kind, std::span<const uint8_t> datagram, uint32_t from_ip,
                            int32_t from_port) = 0;
    // Whether live sessions need the 40 ms and 20 ms passes; when none do the endpoint sleeps
    // until its next slow timer.
    virtual bool NeedsFastPasses() const = 0;
    virtual void RetransmitPass() = 0;
    virtual void AckPass() = 0;
    virtual void Housekeeping() = 0;
    // Sends the connect requests gathered during the pass to the rendezvous server.
    virtual void FlushConnectRequests() = 0;
    // Every session and buffer dropped (the last task went, or the endpoint stops).
    virtual void DropSessions() = 0;
};

}  // namespace kf
