#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kf {

// The bytes of a tracker announce: the HTTP query and request text, and the UDP connect and
// announce datagrams. Pure functions, any thread; no sockets.
class TrackerRequest {
  public:
    // Announce events. HTTP sends "completed", "started" or "stopped"; UDP the numbers, any other
    // value going out as kStopped so that both transports tell the tracker the same thing.
    static constexpr int32_t kEventCompleted = 1;
    static constexpr int32_t kEventStarted = 2;
    static constexpr int32_t kEventStopped = 3;
    static constexpr int32_t kNumWant = 200;
    static constexpr size_t kConnectSize = 16;
    static constexpr size_t kAnnounceSize = 104;

    using Hash = std::array<uint8_t, 20>;
    using TransactionId = std::array<uint8_t, 4>;
    using ConnectionId = std::array<uint8_t, 8>;

    // What one announce tells the tracker. Addresses are IPv4 in network order.
    struct Figures {
        Hash info_hash{};
        Hash peer_id{};  // HTTP: the announce peer id; UDP: the handshake peer id
        int32_t port = 0;
        int64_t uploaded = 0;
        int64_t downloaded = 0;
        int64_t left = 0;
        int32_t event = kEventStarted;
        uint32_t ip = 0;  // UDP only: the listening socket's local address, 0 when not known
    };

    // Every byte that is not an ASCII letter or digit as "%" and two lower-case hex digits.
    static std::string EscapeBytes(std::span<const uint8_t> bytes);

    // `path` (the record's path, without the tracker URL's own query) followed by the announce
    // parameters. Bytes of the path that cannot stand in a request line (<= 0x20, >= 0x7F) are
    // escaped. Empty when the path does not begin with "/".
    static std::string HttpQuery(std::string_view path, const Figures& figures);
    // The GET request for `query` to `host` (":" + port in the Host line unless it is 80). Empty
    // when the host holds a byte that would break the request.
    static std::string HttpRequest(std::string_view query, std::string_view host, int32_t port);

    // The 16-byte connect request and the 104-byte announce request (integers big-endian, the
    // transaction id as given).
    static std::array<uint8_t, kConnectSize> UdpConnect(const TransactionId& transaction);
    static std::array<uint8_t, kAnnounceSize> UdpAnnounce(const ConnectionId& connection,
                                                          const TransactionId& transaction,
                                                          const Figures& figures);

    // A random transaction id: answers are matched on it, so a party that cannot see the traffic
    // must not be able to guess it (a counter or the clock would let it inject peers).
    static TransactionId NewTransactionId();
};

}  // namespace kf
