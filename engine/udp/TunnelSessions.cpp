#include "engine/udp/TunnelSessions.h"

#include <algorithm>
#include <utility>

#include "engine/net/Ipv4Address.h"

namespace kf {

namespace {

constexpr uint32_t kMaxHandle = 0x7FFFFFFF;

}  // namespace

TunnelSessions::TunnelSessions(TunnelHost& host) : TunnelSessions(host, Options{}) {}

TunnelSessions::TunnelSessions(TunnelHost& host, Options options)
    : host_(host), options_(options), random_(std::random_device{}()) {
    request_sequence_ = random_();
}

TunnelSessions::~TunnelSessions() = default;

// --- tables

TunnelSession* TunnelSessions::Find(int32_t handle) const {
    const auto found = sessions_.find(handle);
    return found == sessions_.end() ? nullptr : found->second.get();
}

TunnelSession* TunnelSessions::FindRole(int32_t handle, Role role) const {
    Session* session = Find(handle);
    return session != nullptr && session->role == role ? session : nullptr;
}

int32_t TunnelSessions::NewHandle() {
    // Handles guard the control packets against spoofing: unpredictable, and unique among the
    // live sessions (2^31 values against a few hundred sessions: a draw rarely repeats).
    std::uniform_int_distribution<int32_t> draw(1, static_cast<int32_t>(kMaxHandle));
    int32_t handle = draw(random_);
    while (sessions_.count(handle) != 0) {
        handle = draw(random_);
    }
    return handle;
}

TunnelSession& TunnelSessions::Create(Role role) {
    std::unique_ptr<Session> session;
    if (recycled_.empty()) {
        session = std::make_unique<Session>();
    } else {
        session = std::move(recycled_.back());
        recycled_.pop_back();
    }
    const uint64_t now = host_.NowMs();
    session->handle = NewHandle();
    session->role = role;
    session->last_activity_ms = now;
    session->nonce = static_cast<uint32_t>(now) == 0 ? 1 : static_cast<uint32_t>(now);
    Session& ref = *session;
    sessions_.emplace(ref.handle, std::move(session));
    return ref;
}

void TunnelSessions::Recycle(int32_t handle) {
    const auto found = sessions_.find(handle);
    if (found == sessions_.end()) {
        return;
    }
    std::unique_ptr<Session> session = std::move(found->second);
    sessions_.erase(found);
    session->Reset();
    if (recycled_.size() < kMaxRecycled) {
        recycled_.push_back(std::move(session));
    }
}

void TunnelSessions::Kill(Session& session, int32_t error) {
    if (session.state != State::kDead) {
        session.error = error;
    }
    session.state = State::kDead;
    session.MoveInOrder();  // what arrived in order stays readable
    session.FreeBuffers();
}

size_t TunnelSessions::PendingFrom(uint32_t ip) const {
    return static_cast<size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
            return s.second->role == Role::kPending && s.second->peer_ip == ip;
        }));
}

size_t TunnelSessions::PendingCount() const {
    return static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) {
        return s.second->role == Role::kPending;
    }));
}

bool TunnelSessions::IsReadable(const Session& session) const {
    if (session.role == Role::kBound) {
        return session.state == State::kListening &&
               std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
                   return s.second->role == Role::kPending &&
                          s.second->state == State::kEstablished &&
                          s.second->service_port == session.service_port;
               });
    }
    return session.role == Role::kOpen &&
           (session.state == State::kDead ||
            (session.state == State::kEstablished && session.HasReadable()));
}

bool TunnelSessions::IsWritable(const Session& session) const {
    return session.role == Role::kOpen &&
           (session.state == State::kDead || (session.state == State::kEstablished &&
                                              session.HasRoom(options_.send_past_receive_window)));
}

void TunnelSessions::RefreshReadiness() {
    for (auto& [handle, session] : sessions_) {
        if (session->wake == nullptr) {
            continue;  // pending: nobody waits on it yet
        }
        const bool ready =
            IsReadable(*session) || (session->watch_writable && IsWritable(*session));
        if (ready != session->signalled) {
            if (ready) {
                session->wake->Signal();
            } else {
                session->wake->Drain();
            }
            session->signalled = ready;
        }
    }
}

// --- socket calls

TunnelSessions::Result TunnelSessions::Socket() {
    Session& session = Create(Role::kOpen);
    if (session.wake == nullptr) {
        session.wake = std::make_unique<WakeSignal>();
    }
    return Result::Success(session.handle);
}

TunnelSessions::Result TunnelSessions::Bind(int32_t handle, const SocketAddress& local) {
    Session* session = FindRole(handle, Role::kOpen);
    if (session == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (session->state != State::kNew || !IsValidPort(local.port)) {
        return Result::Failure(kErrInvalid);
    }
    const uint32_t port = static_cast<uint32_t>(local.port);
    for (const auto& [other_handle, other] : sessions_) {
        if (other->role == Role::kBound && other->service_port == port) {
            return Result::Failure(kErrAddressInUse);
        }
    }
    session->role = Role::kBound;
    session->state = State::kBound;
    session->service_port = port;
    return Result::Success(0);
}

TunnelSessions::Result TunnelSessions::Listen(int32_t handle, int32_t backlog) {
    if (!host_.Running()) {
        return Result::Failure(kErrNotInitialised);
    }
    Session* session = FindRole(handle, Role::kBound);
    if (session == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    session->state = State::kListening;
    backlog_ = std::min(kMaxBacklog, std::max({backlog, backlog_, 5}));
    RefreshReadiness();
    return Result::Success(0);
}

TunnelSessions::Result TunnelSessions::Connect(int32_t handle, const SocketAddress& remote) {
    if (host_.Suspended() || !IsValidAddress(remote.ip) || !IsValidPort(remote.port)) {
        return Result::Failure(kErrUnreachable);
    }
    Session* session = FindRole(handle, Role::kOpen);
    if (session == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (session->state != State::kNew) {
        return Result::Failure(kErrInterrupted);
    }
    const bool address_form = remote.node_id[0] == 0 && remote.node_id[1] == 0;
    if (address_form && std::all_of(remote.node_id.begin() + 2, remote.node_id.end(),
                                    [](uint8_t byte) { return byte == 0; })) {
        return Result::Failure(kErrUnreachable);
    }
    session->state = State::kConnecting;
    session->peer_ip = remote.ip;
    session->service_port = static_cast<uint32_t>(remote.port);
    session->peer_identity = UdpWire::IdentityOf(remote.node_id);
    session->last_activity_ms = host_.NowMs();
    QueueConnectRequest(*session);
    return Result::Failure(SocketTransport::kErrWouldBlock);
}

TunnelSessions::Result TunnelSessions::Send(int32_t handle, std::span<const uint8_t> bytes) {
    Session* session = FindRole(handle, Role::kOpen);
    if (session == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (host_.Suspended()) {
        return Result::Failure(kErrInvalid);
    }
    if (session->state != State::kEstablished) {
        return Result::Failure(SocketTransport::kErrNotConnected);
    }
    if (bytes.empty()) {
        return Result::Success(0);
    }
    const uint64_t now = host_.NowMs();
    const int loss = session->LossPercent(now);
    size_t budget = Session::Budget(loss);
    const size_t chunk = Session::ChunkSize(loss);
    size_t taken = 0;
    while (taken < bytes.size() && session->HasRoom(options_.send_past_receive_window)) {
        const std::span<const uint8_t> payload =
            bytes.subspan(taken, std::min(chunk, bytes.size() - taken));
        const TunnelPacket::Header header = HeaderFor(*session, TunnelPacket::kData);
        std::vector<uint8_t> packet = TunnelPacket::Build(
            header, TunnelPacket::DataBody(session->NextSendSequence(), payload.size()), payload);
        Session::Slot& slot = session->Append(std::move(packet), payload.size());
        taken += payload.size();
        if (budget == 0) {
            continue;
        }
        const TunnelHost::Sent sent = SendPacket(*session, slot.packet);
        if (sent == TunnelHost::Sent::kSent) {
            --budget;
            slot.sent_ms = now - 5;
            ++slot.transmissions;
            session->CountSent(false);
        } else {
            budget = 0;  // the rest waits for the retransmission pass
        }
    }
    if (taken == 0) {
        return Result::Failure(SocketTransport::kErrWouldBlock);
    }
    host_.WakeEndpoint();
    RefreshReadiness();
    return Result::Success(static_cast<int64_t>(taken));
}

TunnelSessions::Result TunnelSessions::Receive(int32_t handle, std::span<uint8_t> bytes) {
    Session* session = FindRole(handle, Role::kOpen);
    if (session == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (host_.Suspended() || bytes.empty()) {
        return Result::Failure(kErrInvalid);  // 0 bytes read would say "closed"
    }
    if (session->state != State::kEstablished && session->state != State::kDead) {
        return Result::Failure(SocketTransport::kErrNotConnected);
    }
    const uint32_t expected = session->NextExpected();
    const size_t copied = session->Read(bytes);
    if (session->NextExpected() != expected && session->state == State::kEstablished) {
        // Room made in a full delivery queue: tell the sender, and again should that be lost.
        session->ack_due = true;
        session->window_updates = Session::kWindowUpdates;
        host_.WakeEndpoint();
    }
    RefreshReadiness();
    if (copied > 0) {
        return Result::Success(static_cast<int64_t>(copied));
    }
    if (session->state == State::kDead) {
        return Result::Failure(SocketTransport::kErrNotConnected);
    }
    return Result::Failure(SocketTransport::kErrWouldBlock);
}

TunnelSessions::Result TunnelSessions::Accept(int32_t handle, SocketAddress& peer) {
    const Session* listener = FindRole(handle, Role::kBound);
    if (listener == nullptr) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (listener->state != State::kListening) {
        return Result::Failure(kErrInvalid);
    }
    Session* ready = nullptr;
    for (auto& [pending_handle, session] : sessions_) {
        // Roughly the oldest handshake first (by the time of its last SYN).
        if (session->role == Role::kPending && session->state == State::kEstablished &&
            session->service_port == listener->service_port &&
            (ready == nullptr || session->last_syn_ms < ready->last_syn_ms)) {
            ready = session.get();
        }
    }
    if (ready == nullptr) {
        return Result::Failure(SocketTransport::kErrWouldBlock);
    }
    ready->role = Role::kOpen;
    if (ready->wake == nullptr) {
        ready->wake = std::make_unique<WakeSignal>();
    }
    peer.ip = ready->peer_ip;
    peer.port = ready->peer_port;
    peer.node_id = UdpWire::IdOfIdentity(ready->peer_identity);
    RefreshReadiness();
    return Result::Success(ready->handle);
}

TunnelSessions::Result TunnelSessions::LocalName(int32_t handle, SocketAddress& local) {
    const Session* session = Find(handle);
    if (session == nullptr || session->role == Role::kPending) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    // A listener has a name too: the one it was bound to.
    if (session->role == Role::kOpen && session->state != State::kEstablished) {
        return Result::Failure(SocketTransport::kErrNotConnected);
    }
    local.ip = host_.LocalIp();
    local.port = static_cast<int32_t>(session->service_port);
    local.node_id = UdpWire::IdOfIdentity(host_.OwnIdentity());
    return Result::Success(0);
}

TunnelSessions::Result TunnelSessions::Close(int32_t handle) {
    Session* session = Find(handle);
    if (session == nullptr || session->role == Role::kPending) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (session->role == Role::kBound) {
        std::vector<int32_t> orphans;
        for (const auto& [pending_handle, pending] : sessions_) {
            if (pending->role == Role::kPending && pending->service_port == session->service_port) {
                orphans.push_back(pending_handle);
            }
        }
        for (int32_t orphan : orphans) {
            Recycle(orphan);
        }
    } else if (session->state == State::kEstablished) {
        SendClose(*session);
    }
    Recycle(handle);
    RefreshReadiness();
    return Result::Success(0);
}

bool TunnelSessions::Readable(int32_t handle) const {
    const Session* session = Find(handle);
    return session != nullptr && IsReadable(*session);
}

bool TunnelSessions::Writable(int32_t handle) const {
    const Session* session = Find(handle);
    return session != nullptr && IsWritable(*session);
}

bool TunnelSessions::Failed(int32_t handle) const {
    const Session* session = Find(handle);
    return session == nullptr || session->role == Role::kPending || session->state == State::kDead;
}

int32_t TunnelSessions::PendingError(int32_t handle) const {
    const Session* session = Find(handle);
    if (session == nullptr || session->role == Role::kPending) {
        return SocketTransport::kErrNotSocket;
    }
    return session->state == State::kDead ? session->error : 0;
}

int TunnelSessions::WakeHandle(int32_t handle) const {
    const Session* session = Find(handle);
    return session == nullptr || session->wake == nullptr ? -1 : session->wake->Handle();
}

void TunnelSessions::WatchWritable(int32_t handle, bool watch) {
    Session* session = Find(handle);
    if (session != nullptr && session->role != Role::kPending) {
        session->watch_writable = watch;
        RefreshReadiness();
    }
}

void TunnelSessions::DropSessions() {
    std::vector<int32_t> pending;
    for (auto& [handle, session] : sessions_) {
        if (session->role == Role::kPending) {
            pending.push_back(handle);
        } else if (session->role == Role::kOpen) {
            // The owner still holds the handle (and may be waiting on its wake handle): it
            // learns of the end from a dead socket and closes it.
            Kill(*session, SocketTransport::kErrNotConnected);
        }
    }
    for (int32_t handle : pending) {
        Recycle(handle);
    }
    recycled_.clear();
    punches_.clear();
    pending_requests_.clear();
    batch_.clear();
    RefreshReadiness();
}

}  // namespace kf
