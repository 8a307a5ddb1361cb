#include "support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace kf::test {

namespace {

sockaddr_in LoopbackAddress(int32_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int32_t FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof(address);
    int32_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool WaitForPort(int32_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0) {
            const sockaddr_in address = LoopbackAddress(port);
            const bool ok =
                connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
            close(fd);
            if (ok) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int32_t FreeTcpUdpPort(const std::string& address) {
    sockaddr_in wanted{};
    wanted.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &wanted.sin_addr) != 1 ||
        (ntohl(wanted.sin_addr.s_addr) >> 24) != 127) {
        return 0;
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int tcp = socket(AF_INET, SOCK_STREAM, 0);
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in bound = wanted;
        socklen_t length = sizeof(bound);
        int32_t port = 0;
        if (tcp >= 0 && udp >= 0 &&
            bind(tcp, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) == 0 &&
            getsockname(tcp, reinterpret_cast<sockaddr*>(&bound), &length) == 0 &&
            bind(udp, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) == 0) {
            port = ntohs(bound.sin_port);
        }
        if (tcp >= 0) {
            close(tcp);
        }
        if (udp >= 0) {
            close(udp);
        }
        if (port != 0) {
            return port;
        }
    }
    return 0;
}

int ListenOnLoopback(int backlog, int32_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace kf::test
