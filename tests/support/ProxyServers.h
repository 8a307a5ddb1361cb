#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// Real proxy daemons from the distribution, for end-to-end tests of the engine's proxy handshakes.
// Each one listens on a free port of 127.0.0.1 with a private configuration in a fresh temporary
// folder, connects onwards only from 127.0.0.1, runs in the foreground as a child of the test and
// is ended by its PID (the destructor does it too). Their logs tell which tunnels they opened, so
// a test can show that a download really went through the proxy.
//
//   MicrosocksServer socks;
//   ASSERT_TRUE(socks.Start());
//   SetEngineProxy(socks.Url().c_str());
//   ... download ...
//   EXPECT_GT(socks.TunnelsTo(nginx.Port()), 0);
class ProxyDaemon {
  public:
    virtual ~ProxyDaemon();
    ProxyDaemon(const ProxyDaemon&) = delete;
    ProxyDaemon& operator=(const ProxyDaemon&) = delete;

    int32_t Port() const { return port_; }
    // The daemon's log (and anything it wrote to its output), for checks and failure messages.
    std::string LogText() const;
    // Log lines that contain `needle`.
    int32_t CountLogLines(std::string_view needle) const;
    // Tunnels the proxy opened to 127.0.0.1:`port`, as its log shows them.
    virtual int32_t TunnelsTo(int32_t port) const = 0;
    void Stop();
    bool IsRunning() { return child_.IsRunning(); }

  protected:
    ProxyDaemon() = default;

    // The command line that starts the daemon on `port`, after writing whatever configuration it
    // needs into `dir`; empty when that failed.
    virtual std::vector<std::string> Prepare(const TempDir& dir, int32_t port) = 0;
    // The file the daemon logs to (inside `dir`); its output file when it logs there.
    virtual std::string LogPath(const TempDir& dir) const { return dir / "output.log"; }
    // Log lines that end with `tail` (trailing white space ignored) and contain both other texts.
    int32_t CountLinesEndingWith(std::string_view tail, std::string_view containing = "",
                                 std::string_view also_containing = "") const;
    // Starts on a free port and waits (at most `timeout`) until it accepts; a few tries, because
    // another process may take the port between the probe and the daemon's bind.
    bool Launch(std::chrono::milliseconds timeout);

  private:
    bool LaunchOnce(std::chrono::milliseconds timeout);

    std::unique_ptr<TempDir> dir_;
    std::string log_path_;
    ChildProcess child_;
    int32_t port_ = 0;
};

// "scheme://[user:password@]127.0.0.1:port".
std::string ProxyAddress(std::string_view scheme, int32_t port, std::string_view user = "",
                         std::string_view password = "");

// HTTP proxy (CONNECT tunnels). With a user it requires Basic authentication: a CONNECT without
// credentials is answered 407.
class TinyproxyServer : public ProxyDaemon {
  public:
    static constexpr const char* kBinary = "/usr/bin/tinyproxy";
    static bool Available();

    bool Start(const std::string& user = "", const std::string& password = "",
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Its address for SetEngineProxy, with or without credentials.
    std::string Url(std::string_view user = "", std::string_view password = "") const {
        return ProxyAddress("http", Port(), user, password);
    }
    int32_t TunnelsTo(int32_t port) const override;
    // CONNECT requests for 127.0.0.1:`port` it received, whether it granted them or not.
    int32_t RequestsFor(int32_t port) const;

  protected:
    std::vector<std::string> Prepare(const TempDir& dir, int32_t port) override;
    std::string LogPath(const TempDir& dir) const override { return dir / "tinyproxy.log"; }

  private:
    std::string user_;
    std::string password_;
};

// SOCKS5 proxy. With a user it offers only user/password authentication: a client offering "no
// authentication" alone is answered 05 FF.
class MicrosocksServer : public ProxyDaemon {
  public:
    static constexpr const char* kBinary = "/usr/bin/microsocks";
    static bool Available();

    bool Start(const std::string& user = "", const std::string& password = "",
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    std::string Url(std::string_view user = "", std::string_view password = "") const {
        return ProxyAddress("socks5", Port(), user, password);
    }
    int32_t TunnelsTo(int32_t port) const override;
    // Every tunnel it opened, whatever the target.
    int32_t Tunnels() const { return CountLogLines(": connected to "); }

  protected:
    std::vector<std::string> Prepare(const TempDir& dir, int32_t port) override;

  private:
    std::string user_;
    std::string password_;
};

// SOCKS4 (and SOCKS5) proxy. It does not take the SOCKS4a host-name form (a request for
// 0.0.0.x is treated as that address), so SOCKS4a clients must send an address. With
// kRefuseAll every request is answered 91 (rejected).
class DanteServer : public ProxyDaemon {
  public:
    static constexpr const char* kBinary = "/usr/sbin/danted";
    static bool Available();
    enum class Rule { kPassToLoopback, kRefuseAll };

    bool Start(Rule rule = Rule::kPassToLoopback,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // `scheme` is "socks4" or "socks4a".
    std::string Url(std::string_view scheme) const { return ProxyAddress(scheme, Port()); }
    int32_t TunnelsTo(int32_t port) const override;
    // Requests for 127.0.0.1:`port` it refused.
    int32_t RefusalsFor(int32_t port) const;

  protected:
    std::vector<std::string> Prepare(const TempDir& dir, int32_t port) override;
    std::string LogPath(const TempDir& dir) const override { return dir / "danted.log"; }

  private:
    Rule rule_ = Rule::kPassToLoopback;
};

}  // namespace kf::test
