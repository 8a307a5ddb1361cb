#include "engine/upnp/PortProbe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

// Closes the descriptor on every way out.
class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    ~FdCloser() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int Get() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in AddressOf(uint32_t address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

}  // namespace

bool PortProbe::IsTcpPortFree(int32_t port) {
    if (!IsValidPort(port)) {
        return false;
    }
    FdCloser socket_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket_fd.Get() < 0) {
        return false;
    }
    const int on = 1;
    setsockopt(socket_fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    const sockaddr_in local = AddressOf(0, static_cast<uint16_t>(port));
    return bind(socket_fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}

uint32_t PortProbe::LocalAddressToward(uint32_t destination, uint16_t port) {
    FdCloser socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket_fd.Get() < 0) {
        return kNoAddress;
    }
    // A UDP connect only picks the route and the source address; nothing goes out.
    const sockaddr_in remote = AddressOf(destination, port);
    if (connect(socket_fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0) {
        return kNoAddress;
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(socket_fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        !IsValidAddress(local.sin_addr.s_addr)) {
        return kNoAddress;
    }
    return local.sin_addr.s_addr;
}

}  // namespace kf
