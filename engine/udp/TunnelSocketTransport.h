#pragma once

#include "engine/net/SocketTransport.h"

namespace kf {

class QUInternalServer;

// Streams tunnelled over the UDP endpoint as a SocketTransport, so that QSocket and every peer
// object use a tunnel exactly as they use TCP. Each call takes the endpoint lock and runs the
// matching call of the endpoint's TunnelSessions.
//
// Owner and threads: one per endpoint, registered by the engine core (SetTunnelTransport); any
// thread may call it. Waits release the endpoint lock and sleep on the socket's wake handle, so a
// waiting thread neither spins nor blocks the endpoint.
//
// Results: as SocketTransport; an endpoint without tunnelled sessions answers every call with
// kErrNotInitialised. A receive on a session that died answers kErrNotConnected (a tunnel has no
// orderly end of stream).
class TunnelSocketTransport final : public SocketTransport {
  public:
    explicit TunnelSocketTransport(QUInternalServer& endpoint) : endpoint_(endpoint) {}

    bool IsTunnel() const override { return true; }
    Result Open() override;
    Result Bind(int32_t handle, const SocketAddress& local) override;
    Result Listen(int32_t handle, int32_t backlog) override;
    Result Connect(int32_t handle, const SocketAddress& remote) override;
    Result Accept(int32_t handle, SocketAddress& peer) override;
    Result Send(int32_t handle, std::span<const uint8_t> bytes) override;
    Result Receive(int32_t handle, std::span<uint8_t> bytes) override;
    Result LocalName(int32_t handle, SocketAddress& local) override;
    int32_t Wait(int32_t handle, WaitFor what, int32_t timeout_ms) override;
    PollTarget PollFor(int32_t handle, bool want_write) override;
    int32_t PendingError(int32_t handle) override;
    // Tunnels have a fixed window.
    bool SetReceiveBuffer(int32_t, int32_t) override { return false; }
    void Close(int32_t handle) override;

  private:
    // Runs `call` on the endpoint's sessions under the endpoint lock.
    template <typename Call>
    Result OnSessions(Call&& call);

    QUInternalServer& endpoint_;
};

}  // namespace kf
