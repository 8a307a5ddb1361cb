#pragma once

#include <cstdint>
#include <span>

namespace kf {

// One non-blocking IPv4 UDP socket of its own (a UDP tracker's conversation), bound to a local
// address and a port the system picks unless told otherwise. Addresses are in network order.
//
// Owner and thread: its owner (a peer object), one thread at a time, no lock. Nothing blocks.
// Handle() is there for a readiness wait (poll); the socket is never read or written through it.
//
// Results: SendTo answers true only when the whole datagram went to the system; ReceiveFrom
// answers a length, 0 for "nothing waiting" and -1 for an error (the socket is then closed).
// Received bytes are untrusted; a datagram longer than the caller's buffer is cut to it.
class QUdpSocket {
  public:
    QUdpSocket() = default;
    QUdpSocket(const QUdpSocket&) = delete;
    QUdpSocket& operator=(const QUdpSocket&) = delete;
    ~QUdpSocket();

    // Closes any old socket, then opens one bound to `local_ip` (0: every address) and
    // `local_port` (0: the system chooses). With `share_port` other sockets of this machine may
    // bind the same port (SO_REUSEADDR), as every listener of a multicast group must.
    bool Open(uint32_t local_ip = 0, int32_t local_port = 0, bool share_port = false);
    bool SendTo(std::span<const uint8_t> datagram, uint32_t ip, int32_t port);
    int32_t ReceiveFrom(std::span<uint8_t> buffer, uint32_t& from_ip, int32_t& from_port);
    void Close();

    bool IsOpen() const { return handle_ >= 0; }
    int Handle() const { return handle_; }
    uint32_t LocalIp() const { return local_ip_; }
    int32_t LocalPort() const { return local_port_; }

  private:
    int handle_ = -1;
    uint32_t local_ip_ = 0;
    int32_t local_port_ = 0;
};

}  // namespace kf
