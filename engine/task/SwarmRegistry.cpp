#include "engine/task/SwarmRegistry.h"

#include <algorithm>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineNotices.h"
#include "engine/net/CIPFilterHolder.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/peers/BtWire.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/UdpWire.h"

namespace kf {
namespace {

constexpr int32_t kHandshakeLength = static_cast<int32_t>(BtWire::kHandshakeLength);
// A pending connection is read until it holds this much; a handshake behind a wrapper fits.
constexpr int32_t kPendingReadLimit = 1092;
constexpr int32_t kPendingReadSize = 1024;
constexpr uint64_t kCrowdedShortMs = 1000;

bool SameSlash24(uint32_t a, uint32_t b) {
    return (ToHostOrder(a) >> 8) == (ToHostOrder(b) >> 8);
}

}  // namespace

const uint8_t* SwarmRegistry::HandshakeInfoHash(std::span<const uint8_t> bytes) {
    const BtWire::WrapperScan wrapper = BtWire::ScanWrapper(bytes);
    if (wrapper.result == BtWire::Wrapper::kIncomplete) {
        return nullptr;
    }
    bytes = bytes.subspan(wrapper.header_length);
    if (bytes.size() < BtWire::kPeerIdOffset || !BtWire::HasProtocolPrefix(bytes)) {
        return nullptr;
    }
    return bytes.data() + BtWire::kInfoHashOffset;
}

bool SwarmRegistry::CanBecomeHandshake(std::span<const uint8_t> bytes) {
    const BtWire::WrapperScan wrapper = BtWire::ScanWrapper(bytes);
    if (wrapper.result == BtWire::Wrapper::kIncomplete) {
        return true;
    }
    bytes = bytes.subspan(wrapper.header_length);
    if (bytes.empty()) {
        return true;
    }
    if (bytes[0] != BtWire::kProtocolName.size()) {
        return false;
    }
    const size_t known = std::min(bytes.size() - 1, BtWire::kProtocolName.size());
    return std::equal(bytes.begin() + 1, bytes.begin() + 1 + static_cast<ptrdiff_t>(known),
                      BtWire::kProtocolName.begin());
}

void SwarmRegistry::Register(const void* task, const InfoHash& info_hash) {
    if (info_hash == InfoHash{}) {
        return;
    }
    QTMutexLock hold(lock_);
    if (std::find(tasks_.begin(), tasks_.end(), task) != tasks_.end()) {
        return;
    }
    hashes_.push_back(info_hash);
    tasks_.push_back(task);
}

void SwarmRegistry::Unregister(const void* task) {
    QTMutexLock hold(lock_);
    const auto it = std::find(tasks_.begin(), tasks_.end(), task);
    if (it != tasks_.end()) {
        hashes_.erase(hashes_.begin() + (it - tasks_.begin()));
        tasks_.erase(it);
    }
}

bool SwarmRegistry::IsRegistered(const InfoHash& info_hash) {
    QTMutexLock hold(lock_);
    return std::find(hashes_.begin(), hashes_.end(), info_hash) != hashes_.end();
}

bool SwarmRegistry::ListenerOpen() {
    QTMutexLock hold(lock_);
    return listener_.IsOpen();
}

bool SwarmRegistry::TunnelListenerOpen() {
    QTMutexLock hold(lock_);
    return tunnel_listener_.IsOpen();
}

bool SwarmRegistry::LanOpen() {
    QTMutexLock hold(lock_);
    return lan_.IsOpen();
}

std::optional<std::vector<LanDatagram>> SwarmRegistry::LanStep(const void* task,
                                                               const InfoHash& info_hash,
                                                               const InfoHash& peer_id,
                                                               bool& query_sent) {
    QTMutexLock hold(lock_);
    if (!listener_.IsOpen() || !lan_.IsOpen()) {
        return std::nullopt;
    }
    const LanSelf self{task, info_hash, listen_ip_, listen_port_};
    return lan_.Step(self, peer_id, query_sent, NowSeconds(), tasks_.size());
}

void SwarmRegistry::ClearLanAnnouncements() {
    QTMutexLock hold(lock_);
    lan_.ClearAnnouncements();
}

std::string SwarmRegistry::ListenText() {
    QTMutexLock hold(lock_);
    return listen_text_;
}

size_t SwarmRegistry::PendingCount() {
    QTMutexLock hold(lock_);
    return pending_.size();
}

bool SwarmRegistry::AddListenerTo(SocketWaitSet& wait_set) {
    QTMutexLock hold(lock_);
    bool added = false;
    for (const QSocket* listener : {&listener_, &tunnel_listener_}) {
        if (listener->IsOpen()) {
            wait_set.Add(*listener, false);
            added = true;
        }
    }
    return added;
}

void SwarmRegistry::CloseListening() {
    QTMutexLock hold(lock_);
    CloseListeningLocked();
}

void SwarmRegistry::CloseListeningLocked() {
    listener_.Close();
    tunnel_listener_.Close();
    listen_ip_ = 0;
    listen_port_ = 0;
    listen_text_.clear();
    pending_.clear();
    lan_.Close();
}

void SwarmRegistry::ListeningServicesStep() {
    QTMutexLock hold(lock_);
    EngineGlobals& globals = EngineGlobals::Instance();
    if (!globals.p2p_enabled) {
        if (listener_.IsOpen() || tunnel_listener_.IsOpen() || lan_.IsOpen() || !pending_.empty()) {
            CloseListeningLocked();
        }
        return;
    }
    const uint32_t bind_ip = globals.bind_ip.load();
    const int64_t now = NowSeconds();
    if (listener_.IsOpen() && now - address_check_time_ >= kAddressCheckSeconds) {
        address_check_time_ = now;
        const uint32_t preferred = IsValidAddress(bind_ip) ? bind_ip : LocalAddress();
        if (listener_.LocalIp() != preferred) {
            CloseListeningLocked();
        }
    }
    if (!listener_.IsOpen()) {
        listen_ip_ = 0;
        listen_port_ = 0;
        if (!listener_.Listen(globals.EffectiveListenPort(),
                              IsValidAddress(bind_ip) ? bind_ip : 0)) {
            listener_.Close();
            return;
        }
        listen_ip_ = listener_.LocalIp();
        listen_port_ = listener_.LocalPort();
        listen_text_ = DottedText(listen_ip_) + " : " + std::to_string(listen_port_.load());
        address_check_time_ = now;
        // It reopens below on the new port.
        tunnel_listener_.Close();
    }
    if (!globals.udp_suspended && !tunnel_listener_.IsOpen()) {
        OpenTunnelListenerLocked();
    }
    // The UDP port follows the TCP listener, so that one port number reaches the engine both ways.
    QUInternalServer::Engine().SetLocalAddress(listen_ip_, listen_port_);
    lan_.Keep(globals.lan_enabled, globals.lan_interface);
}

void SwarmRegistry::OpenTunnelListenerLocked() {
    const UdpWire::NodeId node_id = UdpWire::NodeIdOf(EngineGlobals::Instance().machine_id);
    // Fails while the endpoint thread is not running; the next step tries again.
    if (!tunnel_listener_.Listen(listen_port_, listen_ip_, &node_id)) {
        tunnel_listener_.Close();
    }
}

void SwarmRegistry::AcceptNew(uint64_t now_ms, std::vector<uint32_t>& blocked) {
    if (!listener_.IsOpen()) {
        return;
    }
    const CIPFilterHolder& filter = GlobalIpFilter();
    if (filter.Generation() != noticed_generation_) {
        noticed_generation_ = filter.Generation();
        noticed_blocked_.clear();
    }
    for (int32_t i = 0; i < kAcceptsPerStep; ++i) {
        std::unique_ptr<QSocket> connection = listener_.Accept();
        if (!connection && tunnel_listener_.IsOpen()) {
            connection = tunnel_listener_.Accept();
        }
        if (!connection) {
            return;
        }
        const uint32_t remote = connection->RemoteIp();
        if (filter.IsBlocked(remote)) {
            // Closed by going out of scope. A remote that keeps trying is told of once.
            if (noticed_blocked_.size() >= kMaxNoticedBlocked) {
                noticed_blocked_.clear();
            }
            if (noticed_blocked_.insert(remote).second) {
                blocked.push_back(remote);
            }
            continue;
        }
        EngineGlobals& globals = EngineGlobals::Instance();
        // Only a TCP connection from afar shows that others reach this engine directly.
        if (!globals.reachable && !connection->UsesUdpTransport() &&
            !SameSlash24(connection->RemoteIp(), listen_ip_)) {
            globals.reachable = true;
        }
        pending_.push_back(Pending{std::move(connection), now_ms});
    }
}

void SwarmRegistry::IncomingStep(IncomingClaimer& task, uint64_t now_ms) {
    std::vector<uint32_t> blocked;
    {
        QTMutexLock hold(lock_);
        AcceptNew(now_ms, blocked);
        for (auto it = pending_.begin(); it != pending_.end();) {
            QSocket& connection = *it->connection;
            if (connection.ReceivedLength() < kPendingReadLimit &&
                connection.ReceiveBytes(kPendingReadSize) < 0) {
                it = pending_.erase(it);
                continue;
            }
            if (task.IsOwnHandshake(connection)) {
                std::unique_ptr<QSocket> taken = std::move(it->connection);
                it = pending_.erase(it);
                task.AcceptIncoming(std::move(taken));
                continue;
            }
            // Bytes that no task can ever claim (an encrypted handshake, say) go at once: the
            // remote then tries again in the clear instead of sitting out the wait.
            if (!CanBecomeHandshake(connection.Received())) {
                it = pending_.erase(it);
                continue;
            }
            const uint8_t* hash = HandshakeInfoHash(connection.Received());
            if (hash != nullptr) {
                InfoHash named;
                std::memcpy(named.data(), hash, named.size());
                if (std::find(hashes_.begin(), hashes_.end(), named) == hashes_.end()) {
                    it = pending_.erase(it);
                    continue;
                }
            }
            const uint64_t age = now_ms - it->since_ms;
            const uint64_t allowed = connection.ReceivedLength() >= kHandshakeLength
                                         ? kPendingWithHandshakeMs
                                         : kPendingMs;
            if (age >= allowed) {
                it = pending_.erase(it);
                continue;
            }
            ++it;
        }
        if (pending_.size() > kCrowdedPending) {
            std::erase_if(pending_, [now_ms](const Pending& entry) {
                const uint64_t age = now_ms - entry.since_ms;
                return age > kPendingMs || (age > kCrowdedShortMs &&
                                            entry.connection->ReceivedLength() < kHandshakeLength);
            });
        }
    }
    // Notices go out without the lock: the callback may take its time.
    for (const uint32_t remote : blocked) {
        PostNotice(NoticeKind::kBlocked, nullptr, DottedText(remote), 0,
                   "incoming connection closed: the IP filter blocks the address");
    }
    ListeningServicesStep();
}

}  // namespace kf
