#include "engine/net/QMulticastSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace kf {
namespace {

template <class Value>
bool SetIpOption(int handle, int name, const Value& value) {
    return setsockopt(handle, IPPROTO_IP, name, &value, sizeof value) == 0;
}

}  // namespace

bool QMulticastSocket::Open(uint32_t group, int32_t port, uint32_t interface_ip) {
    Close();
    if (!socket_.Open(0, port, true)) {
        return false;
    }
    const int handle = socket_.Handle();
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interface_ip;
    in_addr sending_interface{};
    sending_interface.s_addr = interface_ip;
    // Only this group's datagrams, not those of every group some other socket joined; one hop
    // at most; our own datagrams looped back, for a second engine on this machine.
    const int off = 0;
    const int on = 1;
    const int one_hop = 1;
    const bool ok =
        SetIpOption(handle, IP_ADD_MEMBERSHIP, membership) &&
        SetIpOption(handle, IP_MULTICAST_ALL, off) &&
        (interface_ip == 0 || SetIpOption(handle, IP_MULTICAST_IF, sending_interface)) &&
        SetIpOption(handle, IP_MULTICAST_TTL, one_hop) &&
        SetIpOption(handle, IP_MULTICAST_LOOP, on);
    if (!ok) {
        Close();
        return false;
    }
    group_ = group;
    port_ = port;
    interface_ip_ = interface_ip;
    return true;
}

bool QMulticastSocket::Send(std::span<const uint8_t> datagram) {
    return socket_.SendTo(datagram, group_, port_);
}

int32_t QMulticastSocket::Receive(std::span<uint8_t> buffer, uint32_t& from_ip,
                                  int32_t& from_port) {
    return socket_.ReceiveFrom(buffer, from_ip, from_port);
}

void QMulticastSocket::Close() {
    socket_.Close();
    group_ = 0;
    port_ = 0;
    interface_ip_ = 0;
}

}  // namespace kf
