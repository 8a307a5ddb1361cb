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

// Parses a proxy address; the port defaults to 8080 for HTTP and 1080 for SOCKS. None for an
// unknown scheme, an empty host or a port outside 1..65535.
std::optional<ProxyUrl> ParseProxyUrl(std::string_view text);

}  // namespace kf
