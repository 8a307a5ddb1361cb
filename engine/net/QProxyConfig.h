#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kf {

// Proxy settings of a connection. The engine holds one shared instance (server and tracker
// connections, reached through EngineProxyConfig/SetEngineProxyConfig) and every task owns one
// plain value for its BitTorrent peers. A connection takes a private copy when it connects, so a
// later change never reaches a connection already under way.
//
// The texts are trusted local settings, but the handshake still refuses names and credentials
// that do not fit the one-byte length fields of the SOCKS requests.
struct QProxyConfig {
    enum Type : int32_t {
        kNone = 0,
        kHttp = 1,  // CONNECT tunnel, or a plain relay with no_tunnel
        kSocks4 = 2,
        kSocks5 = 3,
        kSocks4a = 4,
    };
    static constexpr int32_t kDefaultTimeoutSeconds = 12;
    static constexpr int32_t kMaxTimeoutSeconds = 3600;

    int32_t type = kNone;
    uint32_t address = 0;  // IPv4, network order
    int32_t port = 0;
    int32_t timeout = -1;       // seconds for the handshake waits; negative means 12
    bool remote_names = false;  // let the proxy resolve host names (never with SOCKS4)
    bool no_tunnel = false;     // HTTP only: no CONNECT, the proxy relays plain requests
    std::string user;
    std::string password;
    std::string domain;  // HTTP only: sent as a "Domain: " line
    std::string verb;    // HTTP only: empty means "CONNECT"
    // What the proxy is asked to reach. HTTP: "<host or dotted address>:<port> HTTP/1.1\r\n";
    // SOCKS: the bare host name. Empty when not set.
    std::string target;

    // A type is set, the address is neither 0 nor all-ones and the port is 1..65535.
    bool IsUsable() const;
    // Seconds: 12 when negative, at most an hour.
    int32_t EffectiveTimeout() const {
        return timeout < 0 ? kDefaultTimeoutSeconds
                           : (timeout > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : timeout);
    }
    // The HTTP verb actually sent.
    const std::string& EffectiveVerb() const;
    // CONNECT (or no verb): the proxy's reply is consumed; any other verb's reply is the response.
    bool VerbIsConnect() const;
    // Usable and asked to resolve host names itself (HTTP CONNECT, SOCKS4a, SOCKS5).
    bool ResolvesNames() const { return IsUsable() && remote_names && type != kSocks4; }
};

// The engine-wide settings: a copy taken under their own lock (a leaf lock, held only for the
// copy). Both start as "no proxy".
QProxyConfig EngineProxyConfig();
void SetEngineProxyConfig(const QProxyConfig& config);
// What a task's server connections use: the task's own proxy when it has one, else the engine's.
QProxyConfig EffectiveProxyConfig(const std::optional<QProxyConfig>& task_proxy);

}  // namespace kf
