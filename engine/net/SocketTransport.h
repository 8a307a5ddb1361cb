#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace kf {

// IPv4 address, port and node id of one end of a connection. The node id travels in the 8 spare
// bytes of the system's socket address; it only means something to the tunnelled transport.
struct SocketAddress {
    uint32_t ip = 0;  // network order
    int32_t port = 0;
    std::array<uint8_t, 8> node_id{};
};

// The socket-like calls a connection (QSocket) makes. Two transports implement them: real TCP
// sockets of the operating system (SystemSocketTransport) and streams tunnelled over the engine's
// UDP endpoint (TunnelTransport), which the engine core registers with SetTunnelTransport. Errors
// use the engine's own numbers so that both transports answer alike.
//
// Handles are non-negative integers owned by the transport that made them. A transport must be
// callable from any thread; one handle is used by one thread at a time.
class SocketTransport {
  public:
    static constexpr int32_t kInvalidHandle = -1;
    // Error numbers (kept equal to the tunnel layer's).
    static constexpr int32_t kErrWouldBlock = 10035;
    static constexpr int32_t kErrNotSocket = 10038;
    static constexpr int32_t kErrNotConnected = 10057;
    static constexpr int32_t kErrFailed = 10050;  // anything else

    // value >= 0 on success; otherwise value is -1 and error says why.
    struct Result {
        int64_t value = 0;
        int32_t error = 0;

        bool Ok() const { return error == 0; }
        bool WouldBlock() const { return error == kErrWouldBlock; }
        static Result Success(int64_t v) { return {v, 0}; }
        static Result Failure(int32_t e) { return {-1, e}; }
    };

    enum class WaitFor { kReadable, kWritable };

    // What a readiness wait (poll) watches for a handle: `events` on `fd`. -1: nothing pollable
    // (the member then counts as ready).
    struct PollTarget {
        int fd = -1;
        short events = 0;
    };

    virtual ~SocketTransport() = default;

    virtual bool IsTunnel() const = 0;
    // A new stream socket, already non-blocking.
    virtual Result Open() = 0;
    virtual Result Bind(int32_t handle, const SocketAddress& local) = 0;
    virtual Result Listen(int32_t handle, int32_t backlog) = 0;
    // Would-block means the connect is in progress.
    virtual Result Connect(int32_t handle, const SocketAddress& remote) = 0;
    // The accepted handle, non-blocking; `peer` receives the remote end.
    virtual Result Accept(int32_t handle, SocketAddress& peer) = 0;
    // Bytes written (never 0 for a non-empty span unless would-block).
    virtual Result Send(int32_t handle, std::span<const uint8_t> bytes) = 0;
    // Bytes read; 0 means the remote closed.
    virtual Result Receive(int32_t handle, std::span<uint8_t> bytes) = 0;
    // Scattered form of Receive: fills `parts` in order, as one read would fill their sum. The
    // default reads part by part and stops at the first short read (a failure after some bytes
    // answers those bytes; the next call reports it).
    virtual Result ReceiveVector(int32_t handle, std::span<const std::span<uint8_t>> parts);
    virtual Result LocalName(int32_t handle, SocketAddress& local) = 0;
    // 1 ready (an error state counts as ready: the next call reports it), 0 time-out, -1 failure.
    // A negative timeout waits without limit.
    virtual int32_t Wait(int32_t handle, WaitFor what, int32_t timeout_ms) = 0;
    // How to poll the handle. `want_write`: the owner waits for room or for the connect to end.
    virtual PollTarget PollFor(int32_t handle, bool want_write) = 0;
    // The error left by a finished non-blocking connect, 0 when it succeeded.
    virtual int32_t PendingError(int32_t handle) = 0;
    // The receive buffer size of the handle; false where the transport has none.
    virtual bool SetReceiveBuffer(int32_t handle, int32_t bytes) = 0;
    virtual void Close(int32_t handle) = 0;
};

// The operating system's TCP transport.
std::shared_ptr<SocketTransport> SystemTransport();

// The tunnelled transport, or null while none is registered (connections that ask for it fail).
std::shared_ptr<SocketTransport> TunnelTransport();
void SetTunnelTransport(std::shared_ptr<SocketTransport> transport);

}  // namespace kf
