#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/QTMutex.h"
#include "engine/base/QThread.h"
#include "engine/net/QUdpSocket.h"
#include "engine/net/WakeSignal.h"
#include "engine/udp/DhtInbox.h"
#include "engine/udp/EndpointSchedule.h"
#include "engine/udp/TunnelDispatcher.h"
#include "engine/udp/TunnelHost.h"
#include "engine/udp/TunnelSessions.h"
#include "engine/udp/UdpWire.h"

namespace kf {

// The engine's one UDP endpoint (thread "UDPServer"): it owns the UDP socket, hands bencoded
// datagrams to the DHT inbox and the rest to the tunnel dispatcher, keeps a registration with the
// rendezvous server (when one is set) alive, and learns the engine's external address from it.
//
// Owner and threads: one instance per process (Engine()), started by the engine core at the first
// task and stopped at clean-up; any thread may call the public operations. The endpoint lock
// guards the socket, the rendezvous state and the tunnel dispatcher; it is never held while the
// thread waits or while the server's name is looked up.
//
// Waiting: the thread waits in a readiness wait on the socket and a wake handle until a datagram
// arrives or the next pass is due; with no tunnelled sessions the next pass is seconds away. It
// reads at most kBurst datagrams per wake-up.
//
// Results and trust: SendDatagram answers true only when the whole datagram went to the system; a
// failed send fails that send alone. Received datagrams are untrusted and checked by UdpWire;
// datagrams claiming to be the rendezvous server's count only from its own address and port.
// Addresses are in network order.
//
// Tunnels: the engine's endpoint carries the tunnelled sessions (TunnelSessions, reached through
// TunnelSocketTransport); tests may bring another dispatcher instead.
class QUInternalServer : public QThread, private TunnelHost {
  public:
    struct Config {
        // Below 10 counts as 10. Routers forget a UDP mapping that has seen only one quick
        // exchange after about 30 s, so the keep-alive must come sooner than that.
        int32_t keep_alive_seconds = 25;
        int32_t session_timeout_seconds = 30;
        int32_t local_port = 8000;  // followed by SetLocalAddress
        uint32_t local_ip = 0;      // 0: the machine's address
        uint32_t bind_ip = 0;       // the address the socket binds to; 0: every address
        UdpWire::NodeId node_id{};
    };

    static constexpr size_t kBurst = 64;
    static constexpr size_t kMaxHostLength = 127;
    static constexpr uint64_t kResolveRetryMs = 30000;
    static constexpr uint64_t kReopenRetryMs = 1000;

    // With the tunnelled sessions.
    QUInternalServer() : QUInternalServer(TunnelSessions::Options{}) {}
    explicit QUInternalServer(TunnelSessions::Options options);
    explicit QUInternalServer(std::unique_ptr<TunnelDispatcher> tunnels);
    ~QUInternalServer() override;

    // The process-wide endpoint.
    static QUInternalServer& Engine();

    // Validates and takes `config`, then starts the thread. -1 for a bad record (a port outside
    // 1..65535 or a time-out not above 0) or a thread that did not start; 0 otherwise, and 0
    // without changing anything when the thread already runs.
    int32_t Start(const Config& config);
    // Ends the thread, drops every session, forgets the external address and closes the socket.
    void Stop();
    // The rendezvous server; an empty host means none: no registration and no name lookups, the
    // DHT is still served. False for a host longer than kMaxHostLength or a port outside 1..65535
    // (nothing changes then). A new server is looked up and registered with at once.
    bool SetRendezvous(std::string_view host, int32_t port);
    // The TCP listener's address and port; the socket moves to the new port on the next pass.
    // An invalid address or port leaves that part as it was.
    void SetLocalAddress(uint32_t ip, int32_t port);
    bool SendDatagram(std::span<const uint8_t> datagram, uint32_t ip, int32_t port);
    // The external address the server reported, or all-ones when unknown.
    uint32_t ExternalAddress() const { return external_ip_.load(); }
    // While suspended and the DHT is not running the socket stays closed and nothing is read.
    void SetSuspended(bool suspended);
    // Every tunnelled session dropped and the external address forgotten; the thread runs on.
    void ResetSessions();
    // Null: bencoded datagrams are dropped.
    void SetDhtInbox(DhtInbox* inbox);

    // The socket's local port now (0 while closed).
    int32_t BoundPort();
    // Times the thread woke from its wait (for the idle figures and tests).
    uint64_t Wakeups() const { return wakeups_.load(); }

  protected:
    void Run() override;

  private:
    // The socket calls of the tunnels run under the endpoint lock.
    friend class TunnelSocketTransport;

    // TunnelHost: called by the sessions, under lock_.
    Sent SendTo(std::span<const uint8_t> datagram, uint32_t ip, int32_t port) override;
    bool SendToServer(std::span<const uint8_t> datagram) override;
    uint64_t NowMs() const override;
    UdpWire::Identity OwnIdentity() const override { return identity_; }
    uint32_t LocalIp() const override { return local_ip_; }
    int32_t LocalPort() const override { return socket_.LocalPort(); }
    uint32_t ExternalIp() const override { return external_ip_.load(); }
    bool Suspended() const override { return suspended_.load(); }
    bool Running() const override { return IsRunning(); }
    void WakeEndpoint() override { wake_.Signal(); }

    bool OpenSocketLocked();
    void ResolveServerIfDue(uint64_t now_ms);
    // Reads what is waiting; true when the burst was full (more may wait).
    bool ReceiveBurstLocked(std::span<uint8_t> buffer);
    void DispatchLocked(std::span<const uint8_t> datagram, uint32_t from_ip, int32_t from_port);
    void RunPassesLocked(uint64_t now_ms);
    void SendRegistrationLocked();
    void WaitFor(int handle, uint64_t wait_ms);
    bool DhtRunning() const;

    QTMutex lock_;
    QUdpSocket socket_;
    WakeSignal wake_;
    std::unique_ptr<TunnelDispatcher> tunnels_;
    TunnelSessions* sessions_ = nullptr;  // tunnels_ when it is the engine's sessions
    std::atomic<DhtInbox*> dht_{nullptr};

    Config config_;
    UdpWire::Identity identity_{};
    int32_t wanted_port_ = 8000;
    int32_t opened_for_port_ = -1;
    uint32_t local_ip_ = 0;

    std::string server_host_;
    int32_t server_port_ = 0;
    uint32_t server_ip_ = 0;  // 0 until resolved
    uint64_t next_resolve_ms_ = 0;
    uint32_t registration_sequence_ = 0;
    EndpointSchedule schedule_;
    bool restart_schedule_ = true;

    std::atomic<uint32_t> external_ip_;
    std::atomic<bool> suspended_{false};
    std::atomic<uint64_t> wakeups_{0};
};

}  // namespace kf
