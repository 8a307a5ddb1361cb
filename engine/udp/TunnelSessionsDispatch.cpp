// The receiving side of TunnelSessions: relays, punches and connect answers from the rendezvous
// side, and the session packets (handshake, data, acknowledgements, keep-alive, close, reject).
#include <algorithm>
#include <cstring>

#include "engine/net/Ipv4Address.h"
#include "engine/udp/TunnelSessions.h"

namespace kf {

namespace {

constexpr uint32_t kNonceReplaceDistance = 0xFFFFFF;

// Punches go to one host only: never to 0.0.0.0/8, multicast, reserved or broadcast addresses.
bool UnicastIp(uint32_t ip) {
    uint8_t bytes[4];
    std::memcpy(bytes, &ip, 4);
    return bytes[0] != 0 && bytes[0] < 224;
}

bool Before(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// The id bytes of a peer known by address only: 0, 0, its IPv4 address and its UDP port.
bool IsAddressForm(const UdpWire::NodeId& id) {
    return id[0] == 0 && id[1] == 0;
}

// Whether a punch from `from_ip` with the sender's local `port` comes from the peer that `s`
// knows by address only: the id's address, or the one the server answered with (its local
// address when both sit behind one router), and the id's port.
bool PunchMatchesAddressForm(const TunnelSession& s, const UdpWire::NodeId& id, uint32_t from_ip,
                             uint16_t port) {
    uint32_t id_ip = 0;
    std::memcpy(&id_ip, id.data() + 2, 4);
    const uint16_t id_port = static_cast<uint16_t>(id[6] << 8 | id[7]);
    return IsAddressForm(id) && id_port == port && (id_ip == from_ip || s.answered);
}

}  // namespace

void TunnelSessions::OnDatagram(UdpWire::Kind kind, std::span<const uint8_t> datagram,
                                uint32_t from_ip, int32_t from_port) {
    switch (kind) {
        case UdpWire::Kind::kRelay:
            OnRelay(datagram);
            break;
        case UdpWire::Kind::kPunch:
            OnPunch(datagram, from_ip, from_port);
            break;
        case UdpWire::Kind::kConnectAnswer:
            OnConnectAnswer(datagram);
            break;
        case UdpWire::Kind::kSession:
            OnSession(datagram, from_ip, from_port);
            break;
        default:
            return;
    }
    RefreshReadiness();
}

void TunnelSessions::OnRelay(std::span<const uint8_t> datagram) {
    const std::optional<UdpWire::Relay> relay = UdpWire::ParseRelay(datagram);
    if (!relay || !UnicastIp(relay->ip) || !IsValidPort(relay->port)) {
        return;
    }
    const int32_t port = static_cast<int32_t>(relay->port);
    const uint64_t now = host_.NowMs();
    for (PunchEntry& entry : punches_) {
        if (entry.ip == relay->ip && entry.port == port) {
            entry.identity = relay->requester;
            entry.sends = 1;
            entry.relayed_ms = now;
            return;
        }
    }
    PunchEntry entry{relay->ip, port, relay->requester, 0, now};
    if (TakePunchToken() && SendPunch(entry) == TunnelHost::Sent::kSent) {
        entry.sends = 1;
    }
    if (punches_.size() < kMaxPunches) {
        punches_.push_back(entry);
    }
}

void TunnelSessions::OnPunch(std::span<const uint8_t> datagram, uint32_t from_ip,
                             int32_t from_port) {
    const std::optional<UdpWire::Punch> punch = UdpWire::ParsePunch(datagram);
    if (!punch || !IsValidPort(from_port)) {
        return;
    }
    const UdpWire::NodeId sender = UdpWire::IdOfIdentity(punch->sender);
    for (auto& [handle, session] : sessions_) {
        Session& s = *session;
        if (s.role != Role::kOpen || s.peer_ip != from_ip ||
            (s.state != State::kConnecting && s.state != State::kPunched)) {
            continue;
        }
        UdpWire::NodeId id = UdpWire::IdOfIdentity(s.peer_identity);
        if (!IsAddressForm(sender) && PunchMatchesAddressForm(s, id, from_ip, punch->port)) {
            // Known by address only: the punch tells who answers there.
            s.peer_identity = UdpWire::IdentityOf(sender);
            id = sender;
        }
        if (id == sender) {
            s.state = State::kPunched;
            s.peer_port = from_port;
            SendSyn(s);
        }
    }
}

void TunnelSessions::OnConnectAnswer(std::span<const uint8_t> datagram) {
    const std::optional<UdpWire::ConnectAnswer> answer = UdpWire::ParseConnectAnswer(datagram);
    if (!answer || answer->identity != host_.OwnIdentity()) {
        return;
    }
    const auto pending =
        std::find(pending_requests_.begin(), pending_requests_.end(), answer->sequence);
    if (pending == pending_requests_.end()) {
        return;
    }
    pending_requests_.erase(pending);
    for (const UdpWire::Entry& entry : answer->entries) {
        const bool known = IsValidPort(entry.port) && UnicastIp(entry.ip);
        for (auto& [handle, session] : sessions_) {
            Session& s = *session;
            if (s.role != Role::kOpen || s.state != State::kConnecting ||
                UdpWire::IdOfIdentity(s.peer_identity) != entry.id) {
                continue;
            }
            if (IsAddressForm(entry.id)) {
                // Its identity comes with the peer's punch; the SYN must carry it.
                s.answered = true;
                if (known) {
                    s.peer_ip = entry.ip;
                    s.peer_port = static_cast<int32_t>(entry.port);
                    SendOpeningPunch(s);
                }
            } else if (known) {
                s.peer_ip = entry.ip;
                s.peer_port = static_cast<int32_t>(entry.port);
                s.state = State::kPunched;
                SendSyn(s);
            }
        }
    }
    for (auto& [handle, session] : sessions_) {
        Session& s = *session;
        if (s.role == Role::kOpen && s.state == State::kConnecting && !s.answered &&
            s.request_sequence == answer->sequence &&
            !IsAddressForm(UdpWire::IdOfIdentity(s.peer_identity))) {
            Kill(s, SocketTransport::kErrNotConnected);
        }
    }
}

void TunnelSessions::OnSession(std::span<const uint8_t> datagram, uint32_t from_ip,
                               int32_t from_port) {
    const std::optional<UdpWire::SessionHeader> header =
        UdpWire::ParseSessionHeader(datagram, UdpWire::IdOfIdentity(host_.OwnIdentity()));
    if (!header || !IsValidPort(from_port)) {
        return;
    }
    switch (header->type) {
        case TunnelPacket::kSyn:
            OnSyn(*header, datagram, from_ip, from_port);
            break;
        case TunnelPacket::kSynAck:
            OnSynAck(*header, datagram, from_ip, from_port);
            break;
        case TunnelPacket::kHandshakeAck:
            OnHandshakeAck(*header, datagram, from_ip, from_port);
            break;
        default:
            OnStream(*header, datagram, from_ip, from_port);
            break;
    }
}

void TunnelSessions::SendReject(const UdpWire::SessionHeader& header,
                                std::span<const uint8_t> datagram, const TunnelPacket::Syn& syn,
                                uint32_t ip, int32_t port) {
    const std::optional<TunnelPacket::Body> body = TunnelPacket::BodyOf(datagram);
    if (!body) {
        return;
    }
    TunnelPacket::Header reject;
    reject.handle = header.handle;
    reject.control = 1;
    reject.type = TunnelPacket::kReject;
    reject.receiver = syn.connector;
    host_.SendTo(TunnelPacket::Build(reject, *body), ip, port);
}

void TunnelSessions::OnSyn(const UdpWire::SessionHeader& header, std::span<const uint8_t> datagram,
                           uint32_t from_ip, int32_t from_port) {
    const std::optional<TunnelPacket::Syn> syn = TunnelPacket::ParseSyn(datagram);
    if (!syn) {
        return;
    }
    std::erase_if(punches_, [&](const PunchEntry& entry) {
        return entry.ip == from_ip && entry.port == from_port;
    });
    const uint64_t now = host_.NowMs();
    const UdpWire::NodeId connector = UdpWire::IdOfIdentity(syn->connector);
    for (auto& [handle, session] : sessions_) {
        Session& s = *session;
        if (!s.accepted || s.state == State::kDead || s.peer_ip != from_ip ||
            s.peer_port != from_port || s.peer_handle != header.handle ||
            s.service_port != syn->service_port ||
            UdpWire::IdOfIdentity(s.peer_identity) != connector) {
            continue;
        }
        if (syn->nonce == s.nonce || syn->nonce == 0) {
            s.last_syn_ms = now;
            if (Before(s.control_received, header.control)) {
                s.control_received = header.control;
                if (s.state != State::kAccepting) {
                    SendSynAck(s);
                }
            }
            return;
        }
        if (!Before(syn->nonce, s.nonce) || s.nonce - syn->nonce > kNonceReplaceDistance) {
            Kill(s, SocketTransport::kErrNotConnected);  // a restarted exchange replaces it
            break;
        }
        return;
    }
    const bool listening = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
        return entry.second->role == Role::kBound && entry.second->state == State::kListening &&
               entry.second->service_port == syn->service_port;
    });
    if (!listening) {
        SendReject(header, datagram, *syn, from_ip, from_port);
        return;
    }
    if (PendingCount() >= static_cast<size_t>(backlog_) ||
        PendingFrom(from_ip) >= kMaxPendingPerSource) {
        return;  // full: the connector retries with its next SYN
    }
    Session& s = Create(Role::kPending);
    s.state = State::kAccepting;
    s.accepted = true;
    s.peer_ip = from_ip;
    s.peer_port = from_port;
    s.peer_handle = header.handle;
    s.peer_identity = UdpWire::IdentityOf(connector);
    s.nonce = syn->nonce;
    s.service_port = syn->service_port;
    s.addressed_port = syn->addressed_port;
    s.control_received = header.control;
    s.last_syn_ms = now;
    SendSynAck(s);
}

void TunnelSessions::OnSynAck(const UdpWire::SessionHeader& header,
                              std::span<const uint8_t> datagram, uint32_t from_ip,
                              int32_t from_port) {
    const std::optional<TunnelPacket::SynAck> answer = TunnelPacket::ParseSynAck(datagram);
    if (!answer || answer->connector_handle > 0x7FFFFFFF) {
        return;
    }
    Session* s = FindRole(static_cast<int32_t>(answer->connector_handle), Role::kOpen);
    if (s == nullptr || s->accepted || s->service_port != answer->service_port ||
        s->peer_ip != from_ip || s->peer_port != from_port ||
        !Before(s->control_received, header.control) ||
        (s->peer_handle != 0 && s->peer_handle != header.handle) ||
        (answer->nonce != s->nonce && answer->nonce != 0) ||
        answer->connector != host_.OwnIdentity() ||
        (s->state != State::kPunched && s->state != State::kEstablished)) {
        return;
    }
    s->peer_handle = header.handle;
    s->control_received = header.control;
    s->state = State::kEstablished;
    s->connected = true;
    s->last_activity_ms = host_.NowMs();
    SendTwice(*s, TunnelPacket::kHandshakeAck, TunnelPacket::HandshakeAckBody(s->nonce));
}

void TunnelSessions::OnHandshakeAck(const UdpWire::SessionHeader& header,
                                    std::span<const uint8_t> datagram, uint32_t from_ip,
                                    int32_t from_port) {
    const std::optional<uint32_t> nonce = TunnelPacket::ParseHandshakeAck(datagram);
    if (!nonce || header.handle > 0x7FFFFFFF) {
        return;
    }
    Session* s = FindRole(static_cast<int32_t>(header.handle), Role::kPending);
    if (s == nullptr || !s->accepted || s->state != State::kAccepting || *nonce != s->nonce ||
        s->peer_ip != from_ip || Before(s->control_sent, header.control)) {
        return;
    }
    s->peer_port = from_port;
    s->state = State::kEstablished;
    s->connected = true;
    s->last_activity_ms = host_.NowMs();
}

void TunnelSessions::OnStream(const UdpWire::SessionHeader& header,
                              std::span<const uint8_t> datagram, uint32_t from_ip,
                              int32_t from_port) {
    if (header.handle > 0x7FFFFFFF) {
        return;
    }
    Session* found = Find(static_cast<int32_t>(header.handle));
    if (found == nullptr || found->role == Role::kBound || found->peer_ip != from_ip) {
        return;
    }
    Session& s = *found;
    const uint64_t now = host_.NowMs();
    if (header.type == TunnelPacket::kReject) {
        const std::optional<TunnelPacket::Syn> rejected = TunnelPacket::ParseSyn(datagram);
        if (rejected && s.state == State::kPunched && s.peer_port == from_port &&
            rejected->service_port == s.service_port && rejected->nonce == s.nonce) {
            Kill(s, SocketTransport::kErrNotConnected);
        }
        return;
    }
    if (s.state == State::kAccepting && s.role == Role::kPending && s.peer_port == from_port &&
        (header.type == TunnelPacket::kData || header.type == TunnelPacket::kWindowAck ||
         header.type == TunnelPacket::kKeepAlive)) {
        // Only the connector, which learnt our handle from the SYN-ACK, sends these: both its
        // handshake ACKs were lost, and it sends no more SYNs that would draw another SYN-ACK.
        s.state = State::kEstablished;
        s.connected = true;
    }
    if (s.state != State::kEstablished) {
        return;
    }
    switch (header.type) {
        case TunnelPacket::kData: {
            const std::optional<TunnelPacket::Data> data = TunnelPacket::ParseData(datagram);
            if (!data || s.peer_port != from_port) {
                return;
            }
            const Session::Stored stored = s.StoreData(data->sequence, data->payload);
            if (stored == Session::Stored::kTooFar) {
                return;
            }
            // A copy of a packet already taken means our acknowledgement was lost: repeat it.
            if (stored == Session::Stored::kStored) {
                s.last_activity_ms = now;
                AckEarly(s);
            }
            if (!s.ack_due) {
                s.ack_due = true;
                host_.WakeEndpoint();
            }
            return;
        }
        case TunnelPacket::kWindowAck: {
            const std::optional<TunnelPacket::WindowAck> ack =
                TunnelPacket::ParseWindowAck(datagram);
            if (ack) {
                s.ApplyWindowAck(*ack);
                s.last_activity_ms = now;
            }
            return;
        }
        case TunnelPacket::kSingleAck: {
            const std::optional<TunnelPacket::SingleAck> ack =
                TunnelPacket::ParseSingleAck(datagram);
            if (ack) {
                s.ApplySingleAck(*ack);
            }
            return;
        }
        case TunnelPacket::kKeepAlive: {
            const std::optional<uint32_t> port = TunnelPacket::ParseKeepAlive(datagram);
            if (port && *port == s.service_port) {
                s.peer_port = from_port;
                s.last_activity_ms = now;
            }
            return;
        }
        case TunnelPacket::kClose: {
            const std::optional<TunnelPacket::Close> close = TunnelPacket::ParseClose(datagram);
            if (close && close->service_port == s.service_port && close->nonce == s.nonce &&
                close->handle == s.peer_handle) {
                Kill(s, SocketTransport::kErrNotConnected);
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace kf
