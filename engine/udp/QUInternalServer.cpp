#include "engine/udp/QUInternalServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "engine/base/EngineLog.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/os/Tick.h"

namespace kf {

QUInternalServer::QUInternalServer(TunnelSessions::Options options) : QUInternalServer(nullptr) {
    auto sessions = std::make_unique<TunnelSessions>(static_cast<TunnelHost&>(*this), options);
    sessions_ = sessions.get();
    tunnels_ = std::move(sessions);
}

QUInternalServer::QUInternalServer(std::unique_ptr<TunnelDispatcher> tunnels)
    : tunnels_(std::move(tunnels)),
      schedule_(config_.keep_alive_seconds, TickMilliseconds()),
      external_ip_(kNoAddress) {}

QUInternalServer::~QUInternalServer() {
    Stop();
}

QUInternalServer& QUInternalServer::Engine() {
    static QUInternalServer endpoint;
    return endpoint;
}

int32_t QUInternalServer::Start(const Config& config) {
    if (!IsValidPort(config.local_port) || config.session_timeout_seconds <= 0) {
        return -1;
    }
    if (IsRunning()) {
        return 0;
    }
    {
        QTMutexLock hold(lock_);
        config_ = config;
        config_.keep_alive_seconds =
            std::max(config.keep_alive_seconds, EndpointSchedule::kMinKeepAliveSeconds);
        identity_ = UdpWire::IdentityOf(config.node_id);
        wanted_port_ = config.local_port;
        local_ip_ = IsValidAddress(config.bind_ip) ? config.bind_ip : config.local_ip;
        opened_for_port_ = -1;
        schedule_ = EndpointSchedule(config_.keep_alive_seconds, TickMilliseconds());
        restart_schedule_ = true;
    }
    return StartThread("UDPServer") ? 0 : -1;
}

void QUInternalServer::Stop() {
    const bool was_running = IsRunning();
    RequestStop();
    wake_.Signal();
    StopThread();
    {
        QTMutexLock hold(lock_);
        tunnels_->DropSessions();
        socket_.Close();
        opened_for_port_ = -1;
    }
    external_ip_ = kNoAddress;
    if (was_running) {
        EngineLogWrite("UDPServer Thread Stopped.. ", LogChannel::kServiceStop);
    }
}

bool QUInternalServer::SetRendezvous(std::string_view host, int32_t port) {
    if (host.size() > kMaxHostLength || (!host.empty() && !IsValidPort(port))) {
        return false;
    }
    {
        QTMutexLock hold(lock_);
        if (host == server_host_ && (host.empty() || port == server_port_)) {
            return true;
        }
        server_host_ = std::string(host);
        server_port_ = host.empty() ? 0 : port;
        server_ip_ = 0;
        next_resolve_ms_ = 0;
        restart_schedule_ = true;
    }
    external_ip_ = kNoAddress;
    wake_.Signal();
    return true;
}

void QUInternalServer::SetLocalAddress(uint32_t ip, int32_t port) {
    bool changed = false;
    {
        QTMutexLock hold(lock_);
        if (IsValidAddress(ip) && ip != local_ip_) {
            local_ip_ = ip;
            changed = true;
        }
        if (IsValidPort(port) && port != wanted_port_) {
            wanted_port_ = port;
            changed = true;
        }
    }
    if (changed) {
        wake_.Signal();
    }
}

bool QUInternalServer::SendDatagram(std::span<const uint8_t> datagram, uint32_t ip, int32_t port) {
    if (datagram.empty() || datagram.size() > UdpWire::kMaxDatagram || !IsValidAddress(ip) ||
        !IsValidPort(port)) {
        return false;
    }
    QTMutexLock hold(lock_);
    if (!socket_.IsOpen() && !OpenSocketLocked()) {
        return false;
    }
    // A refused destination (unreachable, filtered, full buffer) fails this send only: the socket
    // and every session on it stay as they are.
    return socket_.SendTo(datagram, ip, port);
}

void QUInternalServer::SetSuspended(bool suspended) {
    suspended_ = suspended;
    wake_.Signal();
}

void QUInternalServer::ResetSessions() {
    QTMutexLock hold(lock_);
    tunnels_->DropSessions();
    external_ip_ = kNoAddress;
}

void QUInternalServer::SetDhtInbox(DhtInbox* inbox) {
    dht_ = inbox;
    wake_.Signal();
}

int32_t QUInternalServer::BoundPort() {
    QTMutexLock hold(lock_);
    return socket_.LocalPort();
}

TunnelHost::Sent QUInternalServer::SendTo(std::span<const uint8_t> datagram, uint32_t ip,
                                          int32_t port) {
    if (!socket_.IsOpen()) {
        return Sent::kFailed;
    }
    if (socket_.SendTo(datagram, ip, port)) {
        return Sent::kSent;
    }
    // errno is still the failed send's: a full socket buffer is worth another try on a later
    // pass, anything else is this destination's refusal.
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? Sent::kWouldBlock
                                                                       : Sent::kFailed;
}

bool QUInternalServer::SendToServer(std::span<const uint8_t> datagram) {
    return server_ip_ != 0 && socket_.SendTo(datagram, server_ip_, server_port_);
}

uint64_t QUInternalServer::NowMs() const {
    return TickMilliseconds();
}

bool QUInternalServer::DhtRunning() const {
    const DhtInbox* inbox = dht_.load();
    return inbox != nullptr && inbox->IsRunning();
}

bool QUInternalServer::OpenSocketLocked() {
    if (!IsValidAddress(local_ip_)) {
        local_ip_ = LocalAddress();
    }
    opened_for_port_ = wanted_port_;
    // The listener's port may be taken for UDP by another program; a port of the system's choice
    // still lets the engine register and serve the DHT (the registration tells the port).
    if (socket_.Open(config_.bind_ip, wanted_port_) || socket_.Open(config_.bind_ip, 0)) {
        return true;
    }
    if (EngineLogWants(LogChannel::kApplication)) {
        char line[64];
        snprintf(line, sizeof line, "socket bind error : Last Error(%lu)",
                 static_cast<unsigned long>(errno));
        EngineLogWrite(line, LogChannel::kApplication);
    }
    external_ip_ = kNoAddress;
    return false;
}

void QUInternalServer::ResolveServerIfDue(uint64_t now_ms) {
    std::string host;
    {
        QTMutexLock hold(lock_);
        if (server_host_.empty() || server_ip_ != 0 || now_ms < next_resolve_ms_) {
            return;
        }
        host = server_host_;
        next_resolve_ms_ = now_ms + kResolveRetryMs;
    }
    // The lookup is bounded (HostResolver) and runs without the lock, so senders never wait for
    // it; datagrams that arrive meanwhile are read on the next pass.
    const uint32_t address = HostResolver::Engine().ResolveHost(host);
    QTMutexLock hold(lock_);
    if (host == server_host_ && IsValidAddress(address)) {
        server_ip_ = address;
    }
}

bool QUInternalServer::ReceiveBurstLocked(std::span<uint8_t> buffer) {
    for (size_t i = 0; i < kBurst; ++i) {
        uint32_t from_ip = 0;
        int32_t from_port = 0;
        const int32_t length = socket_.ReceiveFrom(buffer, from_ip, from_port);
        if (length <= 0) {
            // 0: nothing waiting; -1: the socket closed itself and the next pass reopens it.
            return false;
        }
        // The buffer is one byte longer than the longest datagram taken, so a cut one shows.
        if (static_cast<size_t>(length) <= UdpWire::kMaxDatagram) {
            DispatchLocked(buffer.first(static_cast<size_t>(length)), from_ip, from_port);
        }
    }
    return true;
}

void QUInternalServer::DispatchLocked(std::span<const uint8_t> datagram, uint32_t from_ip,
                                      int32_t from_port) {
    const bool from_server = server_ip_ != 0 && from_ip == server_ip_ && from_port == server_port_;
    const UdpWire::Kind kind =
        UdpWire::Classify(datagram, from_server, UdpWire::IdOfIdentity(identity_));
    switch (kind) {
        case UdpWire::Kind::kDht:
            if (DhtInbox* inbox = dht_.load()) {
                inbox->Inbound(datagram, from_ip, from_port);
            }
            return;
        case UdpWire::Kind::kRegistrationAnswer: {
            const std::optional<UdpWire::RegistrationAnswer> answer =
                UdpWire::ParseRegistrationAnswer(datagram);
            schedule_.Acknowledge();
            if (IsValidAddress(answer->external_ip)) {
                external_ip_ = answer->external_ip;
            }
            return;
        }
        case UdpWire::Kind::kRelay:
            // Punched even with a public address of its own: a connector that knows this engine
            // by address only learns its identity from the punch.
        case UdpWire::Kind::kConnectAnswer:
        case UdpWire::Kind::kPunch:
        case UdpWire::Kind::kSession:
            if (!suspended_) {
                tunnels_->OnDatagram(kind, datagram, from_ip, from_port);
            }
            return;
        case UdpWire::Kind::kIgnored:
            return;
    }
}

void QUInternalServer::RunPassesLocked(uint64_t now_ms) {
    if (restart_schedule_) {
        schedule_.Restart(now_ms);
        restart_schedule_ = false;
    }
    const bool registering = server_ip_ != 0;
    const EndpointSchedule::Due due =
        schedule_.Take(now_ms, tunnels_->NeedsFastPasses(), registering);
    if (due.retransmit) {
        tunnels_->RetransmitPass();
        tunnels_->AckPass();
    } else if (due.ack) {
        tunnels_->AckPass();
    }
    if (due.housekeeping) {
        tunnels_->Housekeeping();
    }
    if (due.registration) {
        SendRegistrationLocked();
    }
    // Behind a translating router the keep-alive holds the router's mapping open; an engine whose
    // external address is its own needs none.
    if (due.keep_alive && external_ip_.load() != local_ip_) {
        socket_.SendTo(UdpWire::BuildKeepAlive(), server_ip_, server_port_);
    }
    tunnels_->FlushConnectRequests();
}

void QUInternalServer::SendRegistrationLocked() {
    UdpWire::Registration registration;
    registration.identity = identity_;
    registration.sequence = ++registration_sequence_;
    registration.local_ip = IsValidAddress(local_ip_) ? local_ip_ : 0;
    registration.local_port = static_cast<uint32_t>(socket_.LocalPort());
    socket_.SendTo(UdpWire::BuildRegistration(registration), server_ip_, server_port_);
}

void QUInternalServer::WaitFor(int handle, uint64_t wait_ms) {
    SocketWaitSet waits;
    if (handle >= 0) {
        waits.AddHandle(handle, false);
    }
    if (wake_.Handle() >= 0) {
        waits.AddHandle(wake_.Handle(), false);
    }
    const uint64_t bounded = std::min<uint64_t>(wait_ms, std::numeric_limits<int32_t>::max());
    waits.Wait(static_cast<int32_t>(bounded));
    wake_.Drain();
}

void QUInternalServer::Run() {
    std::vector<uint8_t> buffer(UdpWire::kMaxDatagram + 1);
    while (!StopRequestedNow()) {
        if (suspended_ && !DhtRunning()) {
            {
                QTMutexLock hold(lock_);
                socket_.Close();
                opened_for_port_ = -1;
                restart_schedule_ = true;
            }
            external_ip_ = kNoAddress;
            // Woken by SetSuspended, SetDhtInbox and Stop; the time-out only bounds a lost wake.
            WaitFor(-1, 60000);
            wakeups_++;
            continue;
        }
        const uint64_t now_ms = TickMilliseconds();
        ResolveServerIfDue(now_ms);
        uint64_t wait_ms = 0;
        int handle = -1;
        {
            QTMutexLock hold(lock_);
            if ((!socket_.IsOpen() || opened_for_port_ != wanted_port_) && !OpenSocketLocked()) {
                wait_ms = kReopenRetryMs;
            } else {
                const bool more = ReceiveBurstLocked(buffer);
                RunPassesLocked(now_ms);
                const bool registering = server_ip_ != 0;
                wait_ms = more ? 0
                               : schedule_.WaitMs(TickMilliseconds(), tunnels_->NeedsFastPasses(),
                                                  registering);
                if (!server_host_.empty() && server_ip_ == 0) {
                    wait_ms =
                        std::min(wait_ms, next_resolve_ms_ > now_ms ? next_resolve_ms_ - now_ms
                                                                    : uint64_t{0});
                }
                handle = socket_.Handle();
            }
        }
        if (wait_ms > 0 || handle < 0) {
            WaitFor(handle, wait_ms);
            wakeups_++;
        }
    }
    QTMutexLock hold(lock_);
    socket_.Close();
    opened_for_port_ = -1;
}

}  // namespace kf
