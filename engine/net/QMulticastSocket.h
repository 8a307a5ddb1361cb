#pragma once

#include <cstdint>
#include <span>

#include "engine/net/QUdpSocket.h"

namespace kf {

// The engine's member socket of one IPv4 multicast group: a UDP socket bound to the group's port
// on every address (shared with other programs of this machine that listen to the same group),
// a member of the group on one interface, sending to the group on that interface with TTL 1 so
// that nothing goes beyond the local network. Its own datagrams come back to it (loopback on),
// which lets two engines on one machine hear each other; telling one's own datagrams apart is the
// caller's business. Addresses are in network order.
//
// Owner and thread: the engine's swarm registry, under the task table's mutex; no lock of its
// own. Nothing blocks. Handle() is there for a readiness wait only.
//
// Results: Open answers false when any step fails (nothing stays open then); Send answers true
// only when the whole datagram went to the system; Receive answers a length, 0 for "nothing
// waiting" and -1 for an error (the socket is then closed). Received bytes are untrusted and come
// from anyone who can reach the port (unicast included); a longer datagram is cut to the buffer.
class QMulticastSocket {
  public:
    QMulticastSocket() = default;
    QMulticastSocket(const QMulticastSocket&) = delete;
    QMulticastSocket& operator=(const QMulticastSocket&) = delete;

    // Closes any old socket, then joins `group` at `port` on the interface whose address is
    // `interface_ip` (0: the one the system chooses for the group).
    bool Open(uint32_t group, int32_t port, uint32_t interface_ip);
    bool Send(std::span<const uint8_t> datagram);
    int32_t Receive(std::span<uint8_t> buffer, uint32_t& from_ip, int32_t& from_port);
    void Close();

    bool IsOpen() const { return socket_.IsOpen(); }
    int Handle() const { return socket_.Handle(); }
    // The interface asked for at Open (0: the system's choice).
    uint32_t InterfaceIp() const { return interface_ip_; }

  private:
    QUdpSocket socket_;
    uint32_t group_ = 0;
    int32_t port_ = 0;
    uint32_t interface_ip_ = 0;
};

}  // namespace kf
