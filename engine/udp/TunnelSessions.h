#pragma once

#include <cstdint>
#include <span>

#include "engine/net/SocketTransport.h"
#include "engine/udp/TunnelDispatcher.h"
#include "engine/udp/TunnelHost.h"
#include "engine/udp/UdpWire.h"

namespace kf {

// Reliable, ordered byte streams between two engines over the endpoint's one UDP socket, also
// through NAT routers: the rendezvous server introduces the two sides (connect requests, relays),
// punches open the routers' mappings, and a small stream protocol (handshake, a 12-packet window,
// acknowledgement bitmaps, retransmission, keep-alive, close) runs on top. This class holds every
// session and is both the endpoint's tunnel dispatcher and the store behind the socket-like calls
// (TunnelSocketTransport turns those into a SocketTransport).
//
// Owner and threads: owned by the UDP endpoint; every call, from the endpoint thread or from any
// other thread, is made with the endpoint lock held. Nothing blocks; waiting is the caller's,
// on WakeHandle.
//
// Handles: random, non-zero, in 1..0x7FFFFFFF, unique among live sessions (they double as the
// protocol's session handles, the only guard against spoofed control packets).
//
// Results: the socket calls answer SocketTransport::Result; errors are the tunnel's numbers below
// (kErrWouldBlock, kErrNotSocket, kErrNotConnected from SocketTransport).
//
// Readiness: each socket has a wake handle (an event counter of the system) that is signalled
// exactly while the socket is ready: readable (in-order data, an established pending connection
// for a listener, or dead), or writable while its owner watches for that (WatchWritable:
// connected with a free send slot, or dead). It is level-triggered like a TCP socket under poll.
//
// Limits and trust: received datagrams are untrusted; at most 256 recycled sessions, 512 punch
// entries, 2048 pending request sequences, 8 pending sessions per source address, 32 punches a
// second, 12 delivered payloads waiting per session.
class TunnelSessions final : public TunnelDispatcher {
  public:
    using Result = SocketTransport::Result;

    static constexpr int32_t kErrInterrupted = 10004;  // a second connect
    static constexpr int32_t kErrInvalid = 10022;
    static constexpr int32_t kErrAddressInUse = 10048;
    static constexpr int32_t kErrUnreachable = 10051;
    static constexpr int32_t kErrNotInitialised = 10093;
    static constexpr int32_t kErrTimedOut = 10060;  // PendingError of a connect that died

    struct Options {
        int32_t session_timeout_seconds = 30;
        // The benchmark's comparison only: fill freed send slots past the receiver's window as the
        // original rule did.
        bool send_past_receive_window = false;
    };

    explicit TunnelSessions(TunnelHost& host);
    TunnelSessions(TunnelHost& host, Options options);
    ~TunnelSessions() override;

    // TunnelDispatcher
    void OnDatagram(UdpWire::Kind kind, std::span<const uint8_t> datagram, uint32_t from_ip,
                    int32_t from_port) override;
    bool NeedsFastPasses() const override;
    void RetransmitPass() override;
    void AckPass() override;
    void Housekeeping() override;
    void FlushConnectRequests() override;
    void DropSessions() override;

    // Socket-like calls.
    Result Socket();
    // The service port comes from `local.port`.
    Result Bind(int32_t handle, const SocketAddress& local);
    Result Listen(int32_t handle, int32_t backlog);
    // `remote.node_id` is the peer's 8 id bytes (0, 0, IPv4, port for a peer known by address
    // only). Answers would-block when the connect started.
    Result Connect(int32_t handle, const SocketAddress& remote);
    Result Send(int32_t handle, std::span<const uint8_t> bytes);
    // 0 bytes never means "closed": a dead session answers kErrNotConnected.
    Result Receive(int32_t handle, std::span<uint8_t> bytes);
    Result Accept(int32_t handle, SocketAddress& peer);
    Result LocalName(int32_t handle, SocketAddress& local);
    Result Close(int32_t handle);

    bool Readable(int32_t handle) const;
    bool Writable(int32_t handle) const;
    // Dead, or unknown.
    bool Failed(int32_t handle) const;
    // 0 while connecting or when connected; kErrTimedOut or kErrNotConnected once dead.
    int32_t PendingError(int32_t handle) const;
    // -1 for an unknown handle.
    int WakeHandle(int32_t handle) const;
    void WatchWritable(int32_t handle, bool watch);
};

}  // namespace kf
