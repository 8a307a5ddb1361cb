// The sending side of TunnelSessions: packet headers, the timed passes (retransmission,
// acknowledgement, housekeeping), the punch list and the connect-request batch.
#include <algorithm>

#include "engine/net/Ipv4Address.h"
#include "engine/udp/TunnelSessions.h"

namespace kf {

namespace {

constexpr uint64_t kAckIntervalMs = 1200;
constexpr uint64_t kIdleAckMs = 12000;
constexpr uint64_t kRequestRetryMs = 3000;
// The connector repeats its SYN every housekeeping (3 s); an accepting session answers again only
// while one came within about that long, so a single spoofed SYN draws few answers.
constexpr uint64_t kSynFreshMs = 4500;
constexpr uint64_t kPunchWindowMs = 1000;
constexpr int32_t kPunchSends = 3;
constexpr uint64_t kPunchRepeatMs = 200;
constexpr size_t kBatchFlushBytes = 256;
constexpr int kSlowRetransmitLoss = 19;

uint64_t Elapsed(uint64_t now, uint64_t then) {
    return now > then ? now - then : 0;
}

}  // namespace

TunnelPacket::Header TunnelSessions::HeaderFor(Session& session, uint32_t type) {
    TunnelPacket::Header header;
    const bool own_handle = type == TunnelPacket::kSyn || type == TunnelPacket::kSynAck;
    header.handle = own_handle ? static_cast<uint32_t>(session.handle) : session.peer_handle;
    header.control = (type & 0x80000000u) != 0 ? session.control_received : ++session.control_sent;
    header.type = type;
    header.receiver = session.peer_identity;
    return header;
}

TunnelHost::Sent TunnelSessions::SendPacket(Session& session, std::span<const uint8_t> packet) {
    if (session.peer_port <= 0 || session.peer_port > 0xFFFF) {
        return TunnelHost::Sent::kFailed;
    }
    const TunnelHost::Sent sent = host_.SendTo(packet, session.peer_ip, session.peer_port);
    if (sent == TunnelHost::Sent::kSent) {
        session.last_sent_ms = host_.NowMs();
    }
    return sent;
}

void TunnelSessions::SendTwice(Session& session, uint32_t type, const TunnelPacket::Body& body) {
    for (int copy = 0; copy < 2; ++copy) {
        const std::vector<uint8_t> packet = TunnelPacket::Build(HeaderFor(session, type), body);
        SendPacket(session, packet);
    }
}

void TunnelSessions::SendSyn(Session& session) {
    TunnelPacket::Syn syn;
    syn.addressed_port = static_cast<uint32_t>(session.peer_port);
    syn.connector = host_.OwnIdentity();
    syn.service_port = session.service_port;
    syn.nonce = session.nonce;
    SendTwice(session, TunnelPacket::kSyn, TunnelPacket::SynBody(syn));
}

void TunnelSessions::SendSynAck(Session& session) {
    TunnelPacket::SynAck answer;
    answer.syn_port = session.addressed_port;
    answer.connector = session.peer_identity;
    answer.service_port = session.service_port;
    answer.nonce = session.nonce;
    answer.connector_handle = session.peer_handle;
    SendTwice(session, TunnelPacket::kSynAck, TunnelPacket::SynAckBody(answer));
}

void TunnelSessions::SendClose(Session& session) {
    const TunnelPacket::Close close{session.service_port, static_cast<uint32_t>(session.handle),
                                    session.nonce};
    SendTwice(session, TunnelPacket::kClose, TunnelPacket::CloseBody(close));
}

void TunnelSessions::SendKeepAlive(Session& session) {
    const std::vector<uint8_t> packet =
        TunnelPacket::Build(HeaderFor(session, TunnelPacket::kKeepAlive),
                            TunnelPacket::KeepAliveBody(session.service_port));
    SendPacket(session, packet);
}

void TunnelSessions::SendWindowAck(Session& session, int copies) {
    const TunnelPacket::WindowAck ack = session.BuildWindowAck();
    for (int copy = 0; copy < copies; ++copy) {
        const std::vector<uint8_t> packet = TunnelPacket::Build(
            HeaderFor(session, TunnelPacket::kWindowAck), TunnelPacket::WindowAckBody(ack));
        SendPacket(session, packet);
    }
    session.last_ack_ms = host_.NowMs();
    // News for the sender is told again on the next passes: should this one be lost, a sender
    // whose window is full would wait for the 12 s idle acknowledgement, or time out.
    if (ack.next_expected != session.acked_expected && session.bytes_received > 0) {
        session.window_updates = Session::kWindowUpdates;
    }
    session.acked_expected = ack.next_expected;
    session.ack_due = false;
}

bool TunnelSessions::AckEarly(Session& session) {
    session.MoveInOrder();
    if (session.NextExpected() - session.acked_expected < kEarlyAckPackets) {
        return false;
    }
    SendWindowAck(session, 1);
    return true;
}

bool TunnelSessions::NeedsFastPasses() const {
    const bool punch_due = std::any_of(punches_.begin(), punches_.end(),
                                       [](const PunchEntry& entry) { return entry.sends == 1; });
    return punch_due || std::any_of(sessions_.begin(), sessions_.end(), [](const auto& entry) {
               const Session& s = *entry.second;
               return s.state == State::kEstablished &&
                      (s.HasSendWork() || s.ack_due || s.HeldCount() > 0);
           });
}

bool TunnelSessions::RetransmitSession(Session& session, uint64_t now) {
    const int loss = session.LossPercent(now);
    const size_t walk = Session::Budget(loss) / 2 + 2;
    const size_t limit = loss > kSlowRetransmitLoss ? 2 : walk;
    size_t reached = 0;
    size_t sent_before = 0;
    for (Session::Slot& slot : session.Slots()) {
        if (slot.transmissions > Session::kMaxTransmissions) {
            Kill(session, SocketTransport::kErrNotConnected);
            return true;
        }
        if (++reached >= walk) {
            break;
        }
        if (slot.transmissions > 0 && ++sent_before >= limit) {
            break;
        }
        const bool due = slot.transmissions == 0 ||
                         Elapsed(now, slot.sent_ms) > 800ull * slot.transmissions + 1600;
        if (!due) {
            continue;
        }
        const TunnelHost::Sent sent = SendPacket(session, slot.packet);
        if (sent == TunnelHost::Sent::kWouldBlock) {
            return false;
        }
        const bool retransmission = slot.transmissions > 0;
        slot.sent_ms = now;
        ++slot.transmissions;
        if (sent == TunnelHost::Sent::kSent) {
            session.CountSent(retransmission);
        }
        if (retransmission) {
            break;
        }
    }
    return true;
}

void TunnelSessions::RetransmitPass() {
    const uint64_t now = host_.NowMs();
    RepeatFreshPunches(now);
    for (auto& [handle, session] : sessions_) {
        if (session->state == State::kEstablished && session->HasSendWork() &&
            !RetransmitSession(*session, now)) {
            break;
        }
    }
    RefreshReadiness();
}

void TunnelSessions::AckSession(Session& session, uint64_t now) {
    session.MoveInOrder();
    const size_t held = session.HeldCount();
    // Nothing new for the peer: what it last reported, or what we last told it (a peer that
    // only sends data reports its own window rarely; repeating ours would not help it).
    const bool known = session.NextExpected() == session.PeerFirstUnacked() ||
                       session.NextExpected() == session.acked_expected;
    if (!session.ack_due && session.window_updates == 0 && held == 0 && known &&
        Elapsed(now, session.last_ack_ms) < kIdleAckMs) {
        return;
    }
    SendWindowAck(session, held >= 2 ? 2 : 1);
    if (session.window_updates > 0) {
        --session.window_updates;
    }
}

void TunnelSessions::AckPass() {
    const uint64_t now = host_.NowMs();
    for (auto& [handle, session] : sessions_) {
        if (session->state == State::kEstablished &&
            (session->ack_due || Elapsed(now, session->last_ack_ms) >= kAckIntervalMs)) {
            AckSession(*session, now);
        }
    }
    RefreshReadiness();
}

void TunnelSessions::HousekeepPending(uint64_t now) {
    const uint64_t timeout = static_cast<uint64_t>(options_.session_timeout_seconds) * 1000;
    std::vector<int32_t> gone;
    for (auto& [handle, session] : sessions_) {
        if (session->role != Role::kPending) {
            continue;
        }
        const uint64_t idle = Elapsed(now, session->last_activity_ms);
        if (session->state == State::kDead || idle > timeout) {
            gone.push_back(handle);
        } else if (session->state == State::kAccepting) {
            if (Elapsed(now, session->last_syn_ms) <= kSynFreshMs) {
                SendSynAck(*session);
            }
        } else if (session->state == State::kEstablished &&
                   (idle > timeout / 2 || Elapsed(now, session->last_sent_ms) > timeout / 2)) {
            SendKeepAlive(*session);
        }
    }
    for (int32_t handle : gone) {
        Recycle(handle);
    }
}

void TunnelSessions::HousekeepOpen(uint64_t now) {
    const uint64_t timeout = static_cast<uint64_t>(options_.session_timeout_seconds) * 1000;
    for (auto& [handle, session] : sessions_) {
        if (session->role != Role::kOpen) {
            continue;
        }
        Session& s = *session;
        const uint64_t idle = Elapsed(now, s.last_activity_ms);
        if (s.state == State::kConnecting || s.state == State::kPunched) {
            if (idle > timeout) {
                Kill(s, kErrTimedOut);
            } else if (s.state == State::kPunched) {
                SendSyn(s);
            } else if (Elapsed(now, s.last_request_ms) > kRequestRetryMs) {
                QueueConnectRequest(s);
                SendOpeningPunch(s);
            }
        } else if (s.state == State::kEstablished) {
            if (s.window_updates > 0) {
                // News the fast passes did not get to repeat before the line went quiet: the
                // sender may be waiting for exactly this.
                SendWindowAck(s, 1);
                --s.window_updates;
            }
            if (idle > timeout) {
                Kill(s, SocketTransport::kErrNotConnected);
            } else if (idle > timeout / 2 || Elapsed(now, s.last_sent_ms) > timeout / 2) {
                // Also when only this side is quiet: the peer's time-out counts what it receives.
                SendKeepAlive(s);
            }
        }
    }
}

bool TunnelSessions::TakePunchToken() {
    const uint64_t now = host_.NowMs();
    if (Elapsed(now, punch_window_ms_) >= kPunchWindowMs || now < punch_window_ms_) {
        punch_window_ms_ = now;
        punches_in_window_ = 0;
    }
    if (punches_in_window_ >= kPunchesPerSecond) {
        return false;
    }
    ++punches_in_window_;
    return true;
}

TunnelHost::Sent TunnelSessions::SendPunch(const PunchEntry& entry) {
    UdpWire::Punch punch;
    punch.receiver = entry.identity;
    punch.port = static_cast<uint16_t>(host_.LocalPort());
    punch.sender = host_.OwnIdentity();
    return host_.SendTo(UdpWire::BuildPunch(punch), entry.ip, entry.port);
}

void TunnelSessions::SendOpeningPunch(const Session& session) {
    // Only a peer known by address that the server has located: the punch names no one the peer
    // knows (it ignores it), but it opens this side's router to the peer's own punches.
    if (!session.answered || session.peer_port == 0 || !TakePunchToken()) {
        return;
    }
    SendPunch(PunchEntry{session.peer_ip, session.peer_port, session.peer_identity, 0});
}

void TunnelSessions::RepeatFreshPunches(uint64_t now) {
    for (PunchEntry& entry : punches_) {
        if (entry.sends == 1 && Elapsed(now, entry.relayed_ms) >= kPunchRepeatMs &&
            TakePunchToken() && SendPunch(entry) == TunnelHost::Sent::kSent) {
            entry.sends = 2;
        }
    }
}

void TunnelSessions::HousekeepPunches() {
    for (auto entry = punches_.begin(); entry != punches_.end();) {
        if (!TakePunchToken() || SendPunch(*entry) == TunnelHost::Sent::kWouldBlock) {
            break;
        }
        if (++entry->sends >= kPunchSends) {
            entry = punches_.erase(entry);
        } else {
            ++entry;
        }
    }
}

void TunnelSessions::Housekeeping() {
    const uint64_t now = host_.NowMs();
    HousekeepPending(now);
    HousekeepOpen(now);
    HousekeepPunches();
    RefreshReadiness();
}

void TunnelSessions::QueueConnectRequest(Session& session) {
    const UdpWire::NodeId id = UdpWire::IdOfIdentity(session.peer_identity);
    const bool listed = std::any_of(batch_.begin(), batch_.end(),
                                    [&](const UdpWire::Entry& entry) { return entry.id == id; });
    if (!listed) {
        if (batch_.size() >= UdpWire::kMaxConnectEntries ||
            UdpWire::kEntriesOffset + batch_.size() * UdpWire::kEntryLength >= kBatchFlushBytes) {
            FlushConnectRequests();
        }
        if (batch_.empty()) {
            batch_sequence_ = ++request_sequence_;
            if (pending_requests_.size() >= kMaxPendingRequests) {
                pending_requests_.clear();
            }
            pending_requests_.push_back(batch_sequence_);
            // The batch leaves at the end of the endpoint's next pass, which may be seconds
            // away while nothing else is going on.
            host_.WakeEndpoint();
        }
        batch_.push_back(UdpWire::Entry{session.peer_ip, 0, id});
    }
    session.request_sequence = batch_sequence_;
    session.last_request_ms = host_.NowMs();
}

void TunnelSessions::FlushConnectRequests() {
    if (batch_.empty()) {
        return;
    }
    UdpWire::ConnectRequest request;
    request.identity = host_.OwnIdentity();
    request.sequence = batch_sequence_;
    request.local_ip = host_.LocalIp();
    request.local_port = static_cast<uint32_t>(host_.LocalPort());
    request.entries = std::move(batch_);
    batch_.clear();
    host_.SendToServer(UdpWire::BuildConnectRequest(request));
}

}  // namespace kf
