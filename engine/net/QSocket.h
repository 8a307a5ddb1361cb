#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/net/BufferPool.h"
#include "engine/net/QProxyConfig.h"
#include "engine/net/SocketTransport.h"

namespace kf {

// One TCP conversation of the engine (BitTorrent peers, HTTP and FTP servers, HTTP trackers,
// incoming connections): a non-blocking socket with a send queue and a receive buffer, an optional
// HTTP CONNECT / SOCKS4 / SOCKS4a / SOCKS5 proxy on the way, and byte and time counters.
//
// Owner and threads: created by its owner (a peer object, a listening service) and reused across
// connects; used by one thread at a time, with no lock of its own. Nothing blocks unless the
// connect asked for blocking mode, with two bounded exceptions: the proxy handshake (run when the
// connection to the proxy completes) waits up to the proxy's time-out ÷ 2 per step for the proxy,
// and a SOCKS5 method exchange needs two round trips.
//
// Results: socket helpers answer -1 for an error (the object is then closed) and 0 for "would
// block". SendBytes never reorders bytes and never writes more than its length to the socket in
// one call; what it cannot write goes to the queue.
//
// Limits and trust: each buffer is capped at kMaxBufferBytes (beyond that the connection fails);
// proxy replies are untrusted and parsed with the limits of ProxyProtocol.h. Received bytes are
// untrusted; the receive buffer keeps a NUL after its data so that text parsers may rely on it.
//
// The tunnelled transport (an 8-byte node id instead of null) is used only when one has been
// registered with SetTunnelTransport; until then such connects fail.
class QSocket {
  public:
    using NodeId = std::array<uint8_t, 8>;
    using Identity = std::array<uint8_t, 13>;

    static constexpr int32_t kDefaultReceiveSize = 43008;
    static constexpr int32_t kMaxBufferBytes = 256 * 1024 * 1024;
    static constexpr int32_t kListenBacklog = 32;
    static constexpr int32_t kTunnelListenBacklog = 1024;
    static constexpr int32_t kDefaultSocketReceiveBuffer = 8192;
    static constexpr int32_t kMaxSocketReceiveBuffer = 1048576;

    // `pool` serves the send and receive buffers; the engine-wide pool unless a test brings its
    // own.
    explicit QSocket(std::shared_ptr<BufferPool> pool = SocketBufferPool());
    QSocket(const QSocket&) = delete;
    QSocket& operator=(const QSocket&) = delete;
    ~QSocket();

    // Starts a connection to `remote_ip` (network order) and `remote_port`. `proxy` null takes the
    // engine-wide settings; `bind_ip` 0 or all-ones binds nowhere; `node_id` null means real TCP.
    // True when connected or in progress.
    bool ConnectTo(uint32_t remote_ip, int32_t remote_port, bool blocking = false,
                   const QProxyConfig* proxy = nullptr, uint32_t bind_ip = 0,
                   const NodeId* node_id = nullptr);
    // As ConnectTo, for a host name: resolved here, or handed to a proxy that resolves names.
    // On success HostText() is `host`.
    bool ConnectByName(std::string_view host, int32_t remote_port, bool blocking = false,
                       const QProxyConfig* proxy = nullptr, uint32_t bind_ip = 0,
                       const NodeId* node_id = nullptr);
    // Binds and listens. `port` 0 lets the system choose (LocalPort() tells which); `local_ip` 0
    // binds to every address and reports LocalAddress() as the local address.
    bool Listen(int32_t port, uint32_t local_ip = 0, const NodeId* node_id = nullptr);
    // A newly accepted connection, or null (none waiting, or not a listening object).
    std::unique_ptr<QSocket> Accept();

    // The connection has completed. The first time it sees completion it records the local end and,
    // with a proxy, sends the proxy handshake; a failed connect or handshake closes the object.
    bool IsEstablished();

    // Bytes written to the socket now (the rest is queued), or -1 on error.
    int32_t SendBytes(std::span<const uint8_t> bytes);
    int32_t SendBytes(const void* bytes, int32_t length);
    // Writes up to `max_length` queued bytes (negative: all); bytes written or -1.
    int32_t FlushQueue(int32_t max_length = -1);
    // Reads once, at most `wanted` bytes (0 or less: kDefaultReceiveSize). Answers the bytes now
    // buffered, 0 while nothing can be read yet (also while a proxy reply is incomplete), -1 on an
    // error or when the remote closed.
    int32_t ReceiveBytes(int32_t wanted = 0);
    // Reads once straight into the caller's memory, filling `parts` in order, without passing
    // through the receive buffer. Only while that buffer is empty and no proxy reply is awaited
    // (else bytes would be reordered: answers 0 without reading; ReceiveBytes is the way then).
    // Answers the bytes read, 0 when none are ready, -1 on an error or when the remote closed
    // (the object is then closed, as by ReceiveBytes).
    int32_t ReceiveInto(std::span<const std::span<uint8_t>> parts);
    // Removes `count` bytes (negative: all) from the front of the receive buffer; with `keep` the
    // buffer is not replaced by a smaller one.
    void Consume(int32_t count, bool keep = false);
    // The system receive buffer size (real sockets only); 0 or above 1048576 means 8192.
    bool SetReceiveBuffer(int32_t bytes);
    // Closes the socket, returns both buffers to the pool and resets every field.
    void Close();

    // seconds: -1 no time-out; -2 no time-out in blocking mode, else only a poll.
    bool WaitReadable(int32_t seconds);
    bool WaitWritable(int32_t seconds);
    // Makes the next wait answer true once without polling (set by services that already know).
    void MarkReadablePending() { readable_pending_ = true; }
    void MarkWritablePending() { writable_pending_ = true; }

    // Received bytes; a NUL follows them (ReceivedText is NUL-terminated).
    std::span<const uint8_t> Received() const;
    const char* ReceivedText() const;
    int32_t ReceivedLength() const { return recv_len_; }
    int32_t QueuedLength() const { return send_len_; }
    int32_t ReceiveCapacity() const { return static_cast<int32_t>(recv_buf_.size()); }
    int32_t SendCapacity() const { return static_cast<int32_t>(send_buf_.size()); }

    bool IsOpen() const { return handle_ >= 0; }
    // The connect has completed, as last seen by IsEstablished (accepted connections always).
    bool Connected() const { return established_; }
    bool IsListening() const { return listening_; }
    bool IsBlocking() const { return blocking_; }
    bool ProxyDone() const { return proxy_done_; }
    // Why the proxy refused or failed the last connection ("" when it did not). Kept after the
    // connection closes, until the next connect.
    const std::string& ProxyFailure() const { return proxy_failure_; }
    bool UsesUdpTransport() const { return use_udp_transport_; }
    const std::string& HostText() const { return host_text_; }
    uint32_t RemoteIp() const { return remote_ip_; }
    int32_t RemotePort() const { return remote_port_; }
    uint32_t LocalIp() const { return local_ip_; }
    int32_t LocalPort() const { return local_port_; }
    uint64_t SentTotal() const { return sent_total_; }
    uint64_t ReceivedTotal() const { return received_total_; }
    int64_t EstablishedTime() const { return established_time_; }
    int64_t ConnectTime() const { return connect_time_; }
    const Identity& GetIdentity() const { return identity_; }
    bool KeepBuffers() const { return keep_buffers_; }
    void SetKeepBuffers(bool keep) { keep_buffers_ = keep; }

  private:
    // The wait set polls the system handles of many connections at once.
    friend class SocketWaitSet;

    bool OpenHandle(const NodeId* node_id);
    void FillIdentity(const NodeId& node_id);
    int32_t WaitMs(int32_t seconds) const;

    // Raw transfers: bytes moved, 0 for would-block, -1 for an error (the caller closes).
    int64_t WriteRaw(std::span<const uint8_t> bytes);
    int64_t ReadRaw(std::span<uint8_t> bytes);
    bool SendAllWithin(std::span<const uint8_t> bytes, int32_t timeout_ms);
    bool ReadExactlyWithin(std::span<uint8_t> bytes, int32_t timeout_ms);

    bool RunProxyHandshake();
    bool HttpHandshake(int32_t timeout_seconds);
    bool Socks4Handshake(int32_t half_ms);
    bool Socks5Handshake(int32_t half_ms);
    // Examines the proxy reply at the front of the receive buffer: 1 done, 0 more needed, -1
    // failed.
    int32_t ProgressProxyReply();

    bool Enqueue(std::span<const uint8_t> bytes);
    bool EnsureReceiveRoom(int32_t wanted);
    // Removes `count` bytes from the front of a buffer holding `length` bytes, then shrinks it.
    void TakeFront(BufferPool::Buffer& buffer, int32_t& length, int32_t count, bool keep);

    std::shared_ptr<BufferPool> pool_;
    std::shared_ptr<SocketTransport> transport_;

    QProxyConfig proxy_;
    std::string proxy_target_;  // kept from connect until the handshake has used it
    std::string proxy_failure_;
    bool names_given_ = false;
    bool proxy_done_ = true;
    bool proxy_request_sent_ = false;
    std::string host_text_;
    uint32_t remote_ip_ = 0;
    uint32_t local_ip_ = 0;
    int32_t handle_ = SocketTransport::kInvalidHandle;
    BufferPool::Buffer send_buf_;
    BufferPool::Buffer recv_buf_;
    int32_t remote_port_ = 0;
    int32_t local_port_ = 0;
    int32_t send_len_ = 0;
    int32_t recv_len_ = 0;
    bool readable_pending_ = false;
    bool writable_pending_ = false;
    bool established_ = false;
    bool blocking_ = false;
    bool listening_ = false;
    uint64_t sent_total_ = 0;
    uint64_t received_total_ = 0;
    int64_t established_time_ = 0;
    int64_t connect_time_ = 0;
    bool use_udp_transport_ = false;
    bool keep_buffers_ = false;
    Identity identity_{};
};

}  // namespace kf
