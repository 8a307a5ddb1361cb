#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/base/QTMutex.h"
#include "engine/net/QSocket.h"
#include "engine/task/LanChannel.h"

namespace kf {

class SocketWaitSet;

// What the incoming-connection step needs from the task that runs it.
class IncomingClaimer {
  public:
    virtual ~IncomingClaimer() = default;
    // The buffered bytes (after an optional HTTP-style wrapper) are a handshake for this task.
    virtual bool IsOwnHandshake(const QSocket& connection) = 0;
    // Takes the connection as a BT peer; false when refused (the connection is then dropped).
    virtual bool AcceptIncoming(std::unique_ptr<QSocket> connection) = 0;
};

// The engine-wide side of BitTorrent: the info-hashes of the registered tasks, the TCP listener
// and its twin over the tunnelled transport (same port, the engine's node id), the accepted
// connections that no task has claimed yet, and LAN discovery (LanChannel). The engine
// core owns the one registry; every task's worker thread runs the steps for itself under the lock
// the owner hands in (the task table's mutex, which guards the engine-wide lists), so the first
// task to look at a pending connection decides for the others.
//
// Incoming bytes are untrusted: a pending connection is held for at most 5 seconds and at most
// 1092 bytes are read before a task claims it. A connection from an address that the engine's IP
// filter blocks is closed at once and never reaches a task; the first one from each address is
// posted as an engine-wide notice (KF_NOTICE_BLOCKED), after the lock is released.
class SwarmRegistry {
  public:
    using InfoHash = std::array<uint8_t, 20>;

    // How long an unclaimed connection may wait (ms), and the longer wait once it has sent a
    // whole handshake.
    static constexpr uint64_t kPendingMs = 3000;
    static constexpr uint64_t kPendingWithHandshakeMs = 5000;
    static constexpr int32_t kAcceptsPerStep = 11;
    static constexpr size_t kCrowdedPending = 32;
    static constexpr int64_t kAddressCheckSeconds = 180;
    static constexpr size_t kMaxNoticedBlocked = 1024;

    // `lock` guards the registry's lists; it must outlive the registry.
    explicit SwarmRegistry(QTMutex& lock) : lock_(lock) {}
    SwarmRegistry(const SwarmRegistry&) = delete;
    SwarmRegistry& operator=(const SwarmRegistry&) = delete;

    // A task's info-hash; an all-zero hash and a second registration of one task are ignored.
    void Register(const void* task, const InfoHash& info_hash);
    void Unregister(const void* task);
    bool IsRegistered(const InfoHash& info_hash);

    // Opens the listener while the P2P switch is on (on the listen port, at the engine's bind
    // address) and closes everything incoming while it is off. A listener whose address no
    // longer is the preferred one is closed and opened again, the tunnel listener with it. Once
    // the listener is open, the tunnel listener opens on its port while the UDP endpoint is not
    // suspended, and the multicast socket follows the LAN switch and interface.
    void ListeningServicesStep();
    // Both listeners closed, address forgotten, pending connections dropped, multicast socket
    // closed.
    void CloseListening();
    // Accepts new connections, offers the pending ones to `task`, drops those nobody wants.
    // `now_ms` is the tick count.
    void IncomingStep(IncomingClaimer& task, uint64_t now_ms);
    // Adds the listeners to a task's readiness wait; answers whether any was added.
    bool AddListenerTo(SocketWaitSet& wait_set);

    bool ListenerOpen();
    bool TunnelListenerOpen();
    bool LanOpen();

    // One task's LAN discovery step (LanChannel::Step, with the registered tasks taking part);
    // none when it cannot run: no listener or no multicast socket.
    std::optional<std::vector<LanDatagram>> LanStep(const void* task, const InfoHash& info_hash,
                                                    const InfoHash& peer_id, bool& query_sent);
    void ClearLanAnnouncements();
    // The listening address (network order; the machine's address when bound to all) and port,
    // 0 when closed. Readable without the lock.
    uint32_t ListenIp() const { return listen_ip_; }
    int32_t ListenPort() const { return listen_port_; }
    std::string ListenText();
    size_t PendingCount();

    // The info-hash that a buffered handshake names, looking past an HTTP-style wrapper; null
    // when the bytes do not (yet) hold one.
    static const uint8_t* HandshakeInfoHash(std::span<const uint8_t> bytes);
    // The bytes so far may still turn into a handshake, wrapped or not.
    static bool CanBecomeHandshake(std::span<const uint8_t> bytes);

  private:
    struct Pending {
        std::unique_ptr<QSocket> connection;
        uint64_t since_ms = 0;
    };

    // Both under lock_. AcceptNew closes connections from addresses the IP filter blocks and
    // adds those not told of yet to `blocked`.
    void CloseListeningLocked();
    void AcceptNew(uint64_t now_ms, std::vector<uint32_t>& blocked);
    void OpenTunnelListenerLocked();

    QTMutex& lock_;
    std::vector<InfoHash> hashes_;
    std::vector<const void*> tasks_;
    std::vector<Pending> pending_;
    QSocket listener_;
    QSocket tunnel_listener_;
    LanChannel lan_;
    std::atomic<uint32_t> listen_ip_{0};
    std::atomic<int32_t> listen_port_{0};
    std::string listen_text_;
    int64_t address_check_time_ = 0;
    // Blocked remotes already told of under the filter of this generation.
    std::set<uint32_t> noticed_blocked_;
    uint64_t noticed_generation_ = 0;
};

}  // namespace kf
