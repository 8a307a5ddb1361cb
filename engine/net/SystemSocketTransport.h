#pragma once

#include "engine/net/SocketTransport.h"

namespace kf {

// Real non-blocking IPv4 TCP sockets. The only place (with the name lookups of HostResolver) where
// the engine calls the system's socket interface. Sends never raise SIGPIPE; interrupted calls
// count as would-block. Stateless, so any thread may use it.
class SystemSocketTransport final : public SocketTransport {
  public:
    bool IsTunnel() const override { return false; }
    Result Open() override;
    Result Bind(int32_t handle, const SocketAddress& local) override;
    Result Listen(int32_t handle, int32_t backlog) override;
    Result Connect(int32_t handle, const SocketAddress& remote) override;
    Result Accept(int32_t handle, SocketAddress& peer) override;
    Result Send(int32_t handle, std::span<const uint8_t> bytes) override;
    Result Receive(int32_t handle, std::span<uint8_t> bytes) override;
    Result ReceiveVector(int32_t handle, std::span<const std::span<uint8_t>> parts) override;
    Result LocalName(int32_t handle, SocketAddress& local) override;
    int32_t Wait(int32_t handle, WaitFor what, int32_t timeout_ms) override;
    PollTarget PollFor(int32_t handle, bool want_write) override;
    int32_t PendingError(int32_t handle) override;
    bool SetReceiveBuffer(int32_t handle, int32_t bytes) override;
    void Close(int32_t handle) override;
};

}  // namespace kf
