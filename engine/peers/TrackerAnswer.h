#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/peers/TrackerRequest.h"

namespace kf {

// What a tracker answered to one announce, and the parsers that read it: the framing of an HTTP
// answer, its bencoded body, and the UDP connect, announce and error datagrams. Pure functions,
// any thread; no sockets.
//
// Trust: every byte comes from the tracker (or from whoever can reach our socket) and is
// untrusted. Reads never leave the given span; an answer is capped at kMaxHttpAnswer bytes and
// kMaxPeers peers; malformed input gives an answer without peers, never a failure of the caller.
class TrackerAnswer {
  public:
    static constexpr int32_t kDefaultInterval = 600;  // used when the tracker gives none, or <= 60
    static constexpr int32_t kShortestInterval = 60;
    // numwant asks for 200; more than five times that is not an honest answer.
    static constexpr size_t kMaxPeers = 1000;
    // A 200-peer answer in dictionary form is about 16 KiB.
    static constexpr size_t kMaxHttpAnswer = 256 * 1024;
    static constexpr size_t kMaxDatagram = 2048;

    struct Peer {
        uint32_t ip = 0;  // network order
        int32_t port = 0;
        std::array<uint8_t, 20> peer_id{};
    };

    // Where an HTTP answer stands. kComplete: `body` holds the body (de-chunked when it was sent
    // in chunks). kBroken: it can never complete (too large, a bad length or chunk, or the
    // connection ended early).
    enum class HttpState { kNeedMore, kComplete, kBroken };
    struct HttpFrame {
        HttpState state = HttpState::kNeedMore;
        std::string body;
    };
    // The body ends after Content-Length bytes when the header gives a length; otherwise, and for
    // a chunked answer, when the connection ends (`closed`). Bytes after the body are ignored.
    static HttpFrame FrameHttp(std::span<const uint8_t> received, bool closed);

    // Reads a bencoded answer body (a dictionary): "interval", "done peers", "num completed",
    // "failure reason" and "peers" in compact or dictionary-list form.
    static TrackerAnswer ParseHttpBody(std::span<const uint8_t> body);

    // The connection id of a connect answer (action 0) with `sent` as its transaction id.
    static std::optional<TrackerRequest::ConnectionId> ParseUdpConnect(
        std::span<const uint8_t> datagram, const TrackerRequest::TransactionId& sent);
    // An announce answer (action 1) with `sent` as its transaction id: its compact peers from
    // offset 20 (none when it is shorter). An error answer (action 3) for `sent` gives an answer
    // with `failure_reason` set and no peers. Anything else: nullopt.
    static std::optional<TrackerAnswer> ParseUdpAnnounce(std::span<const uint8_t> datagram,
                                                         const TrackerRequest::TransactionId& sent);
    // The message of an error answer (action 3) for `sent`, or nullopt.
    static std::optional<std::string> ParseUdpError(std::span<const uint8_t> datagram,
                                                    const TrackerRequest::TransactionId& sent);

    std::vector<Peer> peers;   // usable addresses only (port 1..65535, ip neither 0 nor all-ones)
    bool well_formed = false;  // the body was a bencoded dictionary (HTTP) or an announce answer
    int32_t interval = kDefaultInterval;
    int64_t done_peers = 0;
    int64_t num_completed = 0;
    std::optional<std::string> failure_reason;

  private:
    // Appends the usable 6-byte entries of `bytes` (a trailing partial entry is ignored).
    void AddCompactPeers(std::span<const uint8_t> bytes);
    bool AddPeer(const Peer& peer);
};

}  // namespace kf
