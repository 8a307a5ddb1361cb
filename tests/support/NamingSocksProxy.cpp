#include "support/NamingSocksProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr int kPollMs = 100;
constexpr auto kHandshakeLimit = std::chrono::seconds(5);

// Reads exactly `size` bytes within the handshake limit; false on a close, an error or the stop.
bool ReadExactly(int fd, uint8_t* out, size_t size, const std::atomic<bool>& stopping) {
    const auto deadline = std::chrono::steady_clock::now() + kHandshakeLimit;
    size_t got = 0;
    while (got < size) {
        if (stopping.load() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, out + got, size - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// `ip` in host order; only 127/8 is ever connected.
int ConnectLoopback(uint32_t ip, uint16_t port) {
    if ((ip >> 24) != 127) {
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Copies bytes both ways until either side closes or `stopping` is set.
void Relay(int a, int b, const std::atomic<bool>& stopping) {
    std::array<uint8_t, 65536> buffer{};
    while (!stopping.load()) {
        std::array<pollfd, 2> waits{pollfd{a, POLLIN, 0}, pollfd{b, POLLIN, 0}};
        if (poll(waits.data(), waits.size(), kPollMs) <= 0) {
            continue;
        }
        for (size_t i = 0; i < waits.size(); ++i) {
            if ((waits[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const int from = i == 0 ? a : b;
            const int to = i == 0 ? b : a;
            const ssize_t n = recv(from, buffer.data(), buffer.size(), 0);
            if (n <= 0 || !SendAll(to, buffer.data(), static_cast<size_t>(n))) {
                return;
            }
        }
    }
}

}  // namespace

NamingSocksProxy::NamingSocksProxy(std::vector<std::string> names, bool relay_loopback)
    : names_(std::move(names)), relay_loopback_(relay_loopback) {}

NamingSocksProxy::~NamingSocksProxy() {
    Stop();
}

bool NamingSocksProxy::Start() {
    listen_fd_ = ListenOnLoopback(16, &port_);
    if (listen_fd_ < 0) {
        return false;
    }
    acceptor_ = std::thread(&NamingSocksProxy::AcceptLoop, this);
    return true;
}

void NamingSocksProxy::Stop() {
    stopping_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> tunnels;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        tunnels.swap(tunnels_);
    }
    for (std::thread& tunnel : tunnels) {
        tunnel.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
}

std::string NamingSocksProxy::Url() const {
    return "socks5://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> NamingSocksProxy::Requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

void NamingSocksProxy::AcceptLoop() {
    while (!stopping_.load()) {
        pollfd wait{listen_fd_, POLLIN, 0};
        if (poll(&wait, 1, kPollMs) <= 0) {
            continue;
        }
        const int client = accept(listen_fd_, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        tunnels_.emplace_back(&NamingSocksProxy::Serve, this, client);
    }
}

void NamingSocksProxy::Serve(int client) {
    // Greeting: 05 n methods...; "no authentication" (00) must be among them.
    std::array<uint8_t, 257> bytes{};
    bool ok = ReadExactly(client, bytes.data(), 2, stopping_) && bytes[0] == 5 &&
              ReadExactly(client, bytes.data() + 2, bytes[1], stopping_) &&
              std::find(bytes.begin() + 2, bytes.begin() + 2 + bytes[1], 0) !=
                  bytes.begin() + 2 + bytes[1];
    const std::array<uint8_t, 2> method{5, static_cast<uint8_t>(ok ? 0 : 0xFF)};
    ok = SendAll(client, method.data(), method.size()) && ok;
    // Request: 05 01 00 03 len name port, or 05 01 00 01 a b c d port.
    std::string name;
    uint32_t address = 0;  // host order, for a request by address
    uint16_t port = 0;
    if (ok) {
        ok = ReadExactly(client, bytes.data(), 4, stopping_) && bytes[0] == 5 && bytes[1] == 1 &&
             (bytes[3] == 3 || bytes[3] == 1);
        const bool by_name = bytes[3] == 3;
        size_t length = 4;
        ok = ok && (!by_name || ReadExactly(client, bytes.data(), 1, stopping_));
        if (by_name) {
            length = bytes[0];
        }
        std::array<uint8_t, 2> port_bytes{};
        ok = ok && ReadExactly(client, bytes.data(), length, stopping_) &&
             ReadExactly(client, port_bytes.data(), 2, stopping_);
        if (ok && by_name) {
            name.assign(reinterpret_cast<const char*>(bytes.data()), length);
        } else if (ok) {
            address = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 |
                      uint32_t{bytes[2]} << 8 | bytes[3];
            name = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                   std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
        }
        port = static_cast<uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
    }
    int server = -1;
    if (ok) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            requests_.push_back(name + ":" + std::to_string(port));
        }
        if (address != 0 ? relay_loopback_
                         : std::find(names_.begin(), names_.end(), name) != names_.end()) {
            server = ConnectLoopback(address != 0 ? address : INADDR_LOOPBACK, port);
        }
        // Reply: 05 status 00 01 and a bound address of zeros.
        const std::array<uint8_t, 10> reply{5, static_cast<uint8_t>(server >= 0 ? 0 : 4), 0, 1};
        ok = SendAll(client, reply.data(), reply.size()) && server >= 0;
    }
    if (ok) {
        Relay(client, server, stopping_);
    }
    if (server >= 0) {
        close(server);
    }
    close(client);
}

}  // namespace kf::test
