#include "engine/net/QUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kf {

namespace {

sockaddr_in MakeAddress(uint32_t ip, int32_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ip;
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

}  // namespace

QUdpSocket::~QUdpSocket() {
    Close();
}

bool QUdpSocket::Open(uint32_t local_ip, int32_t local_port, bool share_port) {
    Close();
    if (local_port < 0 || local_port > 65535) {
        return false;
    }
    handle_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle_ < 0) {
        return false;
    }
    const int on = 1;
    if (share_port && setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        Close();
        return false;
    }
    sockaddr_in address = MakeAddress(local_ip == 0xFFFFFFFFu ? 0 : local_ip, local_port);
    socklen_t size = sizeof address;
    if (bind(handle_, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        Close();
        return false;
    }
    local_ip_ = address.sin_addr.s_addr;
    local_port_ = ntohs(address.sin_port);
    return true;
}

bool QUdpSocket::SendTo(std::span<const uint8_t> datagram, uint32_t ip, int32_t port) {
    if (handle_ < 0 || datagram.empty() || ip == 0 || ip == 0xFFFFFFFFu || port < 1 ||
        port > 65535) {
        return false;
    }
    const sockaddr_in address = MakeAddress(ip, port);
    ssize_t sent = -1;
    do {
        sent = sendto(handle_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(datagram.size());
}

int32_t QUdpSocket::ReceiveFrom(std::span<uint8_t> buffer, uint32_t& from_ip, int32_t& from_port) {
    if (handle_ < 0 || buffer.empty()) {
        return -1;
    }
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ssize_t received = -1;
    do {
        received = recvfrom(handle_, buffer.data(), buffer.size(), 0,
                            reinterpret_cast<sockaddr*>(&address), &size);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        Close();
        return -1;
    }
    from_ip = address.sin_addr.s_addr;
    from_port = ntohs(address.sin_port);
    // An empty datagram is nothing to process; it reads as "nothing waiting".
    return static_cast<int32_t>(received);
}

void QUdpSocket::Close() {
    if (handle_ >= 0) {
        close(handle_);
    }
    handle_ = -1;
    local_ip_ = 0;
    local_port_ = 0;
}

}  // namespace kf
