#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

// A proxy given as an address text: scheme://[user[:password]@]host[:port].
struct ProxyUrl {
    enum Type : int32_t { kNone = 0, kHttp = 1, kSocks4 = 2, kSocks5 = 3, kSocks4a = 4 };

    int32_t type = kNone;
    std::string host;
    int32_t port = 0;
    std::string user;  // percent-escapes decoded
    std::string password;
};

struct QProxyConfig;

// Parses a proxy address; the port defaults to 8080 for HTTP and 1080 for SOCKS. None for an
// unknown scheme, an empty host or a port outside 1..65535.
std::optional<ProxyUrl> ParseProxyUrl(std::string_view text);

// The connection layer's settings for a proxy address; the proxy's host is resolved here (a name
// that does not resolve gives none). Host names of targets go to the proxy where it can take them.
std::optional<QProxyConfig> ToProxyConfig(const ProxyUrl& proxy);

}  // namespace kf
