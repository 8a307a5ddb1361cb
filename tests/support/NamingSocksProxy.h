#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kf::test {

// A SOCKS5 proxy (no authentication, CONNECT only) on a free port of 127.0.0.1 that resolves host
// names from its own table instead of asking any name server: it stands for a proxy that knows
// names this machine cannot resolve, without a lookup ever leaving the machine. Every name in the
// table leads to 127.0.0.1; an unknown name is refused (reply 04), and so is a request by address
// unless `relay_loopback` lets it reach a 127/8 address (nothing else, ever).
// Each tunnel is relayed on a thread of its own until either side closes or the proxy stops.
class NamingSocksProxy {
  public:
    explicit NamingSocksProxy(std::vector<std::string> names, bool relay_loopback = false);
    ~NamingSocksProxy();
    NamingSocksProxy(const NamingSocksProxy&) = delete;
    NamingSocksProxy& operator=(const NamingSocksProxy&) = delete;

    bool Start();
    void Stop();
    int32_t Port() const { return port_; }
    // "socks5://127.0.0.1:<port>".
    std::string Url() const;
    // The names (or dotted addresses) asked for, in order ("name:port"), refused ones included.
    std::vector<std::string> Requests() const;

  private:
    void AcceptLoop();
    void Serve(int client);

    std::vector<std::string> names_;
    bool relay_loopback_;
    int listen_fd_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> tunnels_;
    std::vector<std::string> requests_;
};

}  // namespace kf::test
