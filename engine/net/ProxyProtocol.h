#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/net/QProxyConfig.h"

namespace kf {

// The bytes of the proxy handshakes (HTTP CONNECT, SOCKS4, SOCKS4a, SOCKS5) and the parser of the
// proxy's answer to the connect request, kept apart from the sockets so that both can be checked
// byte by byte. Pure functions; any thread.
//
// Proxy replies are untrusted: the parser looks at no more than kMaxProxyReplyHeader bytes for the
// end of an HTTP header and refuses a Content-Length above kMaxProxyReplyBody, so a proxy that
// never ends its header (or announces a huge body) fails the connection instead of growing the
// receive buffer without limit.

inline constexpr size_t kMaxProxyReplyHeader = 16384;
inline constexpr size_t kMaxProxyReplyBody = 65536;
// Each token of the HTTP status line may be at most this long.
inline constexpr size_t kMaxStatusToken = 50;
// Length bytes of the SOCKS requests: longer names and credentials are refused, never cut.
inline constexpr size_t kMaxSocksField = 255;

enum class ProxyReplyStatus {
    kNeedMore,  // the reply is not complete yet
    kDone,      // the tunnel is up; `consumed` bytes at the front belong to the proxy
    kFailed,    // refused or malformed: the connection must be dropped
};

struct ProxyReplyVerdict {
    ProxyReplyStatus status = ProxyReplyStatus::kNeedMore;
    size_t consumed = 0;  // only meaningful with kDone

    bool operator==(const ProxyReplyVerdict&) const = default;
};

// HTTP: the header ends at the first CR LF CR LF or LF LF. A status token starting with "20" is
// success; the reply then also covers a body of Content-Length bytes, which must have arrived.
ProxyReplyVerdict ParseHttpProxyReply(std::span<const uint8_t> bytes);
// SOCKS4 and SOCKS4a: 8 bytes, the first 0 and the second 90 (request granted).
ProxyReplyVerdict ParseSocks4ProxyReply(std::span<const uint8_t> bytes);
// SOCKS5: status byte 0, then 10 bytes for an IPv4 reply or 7 + name length for a name reply.
ProxyReplyVerdict ParseSocks5ProxyReply(std::span<const uint8_t> bytes);
// Chooses by QProxyConfig::Type; kNone and unknown types fail.
ProxyReplyVerdict ParseProxyReply(int32_t proxy_type, std::span<const uint8_t> bytes);
// Says why a reply that ParseProxyReply failed refused the connection, for the user: the HTTP
// status line (printable bytes, at most 120) or the SOCKS reply code.
std::string DescribeProxyRefusal(int32_t proxy_type, std::span<const uint8_t> bytes);

// Standard Base64 with padding.
std::string Base64Encode(std::string_view text);

// "<host>:<port> HTTP/1.1\r\n", the HTTP proxy's target text.
std::string HttpProxyTarget(std::string_view host, int32_t port);

// The HTTP proxy request: verb, space, target (ends in CR LF), the optional
// "Proxy-Authorization: Basic" line (user set), the optional "Domain: " line and the empty line.
// With `mask_credentials` the Base64 text is replaced by "******" (for the log). Nothing when the
// target does not end in CR LF or a setting would break the header (CR or LF in verb or domain).
std::optional<std::string> BuildHttpProxyRequest(const QProxyConfig& proxy, bool mask_credentials);

// SOCKS4 connect request: 04 01 port address 00 (9 bytes); with a host name (SOCKS4a) the address
// is 0.0.0.1 and the name and a zero byte follow. Nothing for port 0, a name above 255 bytes or a
// name containing a zero byte.
std::optional<std::vector<uint8_t>> BuildSocks4Request(uint32_t address_network_order, int32_t port,
                                                       std::string_view host_name);

// SOCKS5 method offer: 05 01 00 (no authentication) or 05 01 02 (user name and password).
std::vector<uint8_t> BuildSocks5MethodOffer(bool with_credentials);
// 01 ulen user plen password; nothing when either is longer than 255 bytes.
std::optional<std::vector<uint8_t>> BuildSocks5Credentials(std::string_view user,
                                                           std::string_view password);
// 05 01 00 then 03 len name port, or (empty name) 01 address port. Nothing for port 0 or a name
// above 255 bytes.
std::optional<std::vector<uint8_t>> BuildSocks5Connect(uint32_t address_network_order, int32_t port,
                                                       std::string_view host_name);

}  // namespace kf
