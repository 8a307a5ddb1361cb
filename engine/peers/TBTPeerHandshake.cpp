// TBTPeer: the handshake both ways, optionally behind an HTTP-shaped wrapper, and what follows
// its acceptance (bitfield, interested and unchoke).

#include <string>

#include "engine/base/EngineClock.h"
#include "engine/peers/TBTPeer.h"

namespace kf {

bool TBTPeer::StartSession() {
    // An accepted connection answers once the remote's handshake has been accepted (and its
    // wrapper seen): nothing of ours goes to a party that has not shown it knows the torrent.
    return GetActivity().incoming || SendHandshake();
}

bool TBTPeer::SendHandshake() {
    if (!IsConnected()) {
        return false;
    }
    if (handshake_sent_) {
        return true;
    }
    QSocket& conn = *Connection();
    handshake_ = BtWire::BuildHandshake(Swarm().InfoHash(), Swarm().HandshakePeerId());
    std::string wrapper;
    if (GetActivity().incoming) {
        if (wrapped_) {
            wrapper =
                BtWire::BuildWrapperResponse(NowSeconds() % 2 != 0, SecondsSinceStart() % 2 == 0);
        }
    } else if (!conn.UsesUdpTransport() && Source() != nullptr) {
        const int32_t attempts = Source()->attempts;
        // Plain peers drop a wrapped handshake; one that did so once is not asked that way again.
        if (!Source()->wrapper_refused && (Swarm().HttpWrappedHandshake() ||
                                           (Swarm().PreferUdpTransport() && attempts % 3 == 1))) {
            wrapper = BtWire::BuildWrapperRequest(Source()->ip, Source()->port, attempts);
            wrapper_unanswered_ = true;
        }
    }
    if (!wrapper.empty() &&
        conn.SendBytes(wrapper.data(), static_cast<int32_t>(wrapper.size())) < 0) {
        return false;
    }
    if (conn.SendBytes(handshake_) < 0) {
        return false;
    }
    handshake_sent_ = true;
    return true;
}

bool TBTPeer::CheckHandshake() {
    if (State() != kConnecting || !IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const std::span<const uint8_t> buffered = conn.Received();
    if (buffered.size() < BtWire::kHandshakeLength ||
        !BtWire::HandshakeMatches(buffered, Swarm().InfoHash()) || !Swarm().IsBtTask()) {
        return false;
    }
    const BtWire::Hash20 peer_id = BtWire::PeerIdOf(buffered);
    if (peer_id == Swarm().HandshakePeerId()) {
        return false;  // a connection to ourselves
    }
    if (!GetActivity().incoming) {
        return true;
    }
    if (Swarm().HasPeerWithId(conn.RemoteIp(), peer_id, *this, true)) {
        return false;
    }
    if (Source() == nullptr) {
        RefPtr<TPeerId> record =
            RefPtr<TPeerId>::Share(Swarm().AddPeerAddress(conn.RemoteIp(), conn.RemotePort()));
        if (!record) {
            record = RefPtr<TPeerId>::Make();
            record->kind = PeerKind::BtNode;
            record->ip = conn.RemoteIp();
            record->port = conn.RemotePort();
            record->resolved = true;
        }
        AdoptSource(record);
    }
    Source()->peer_id = peer_id;
    return true;
}

bool TBTPeer::ReceiveHandshake(QSocket& conn) {
    const BtWire::WrapperScan scan = BtWire::ScanWrapper(conn.Received());
    if (scan.result == BtWire::Wrapper::kStripped) {
        conn.Consume(static_cast<int32_t>(scan.header_length));
        wrapped_ = true;
    }
    if (scan.result == BtWire::Wrapper::kIncomplete ||
        conn.ReceivedLength() < static_cast<int32_t>(BtWire::kHandshakeLength)) {
        if (SecondsConnected() > kHandshakeTimeout) {
            SetStatus(kStatusTimedOut);
            CloseConnection();
            return false;
        }
        return true;
    }
    const BtWire::Hash20 peer_id = BtWire::PeerIdOf(conn.Received());
    if (!CheckHandshake() || Swarm().HasPeerWithId(conn.RemoteIp(), peer_id, *this, false)) {
        SetState(kIdle);
        CloseConnection();
        return false;
    }
    return AcceptHandshake(conn);
}

bool TBTPeer::AcceptHandshake(QSocket& conn) {
    if (GetActivity().incoming && !handshake_sent_ && !SendHandshake()) {
        return false;
    }
    wrapper_unanswered_ = false;
    Swarm().NoteConnectedAddress(conn.RemoteIp(), conn.RemotePort());
    // The record's address: a proxied connection's far end is the proxy.
    work_.address = Source() != nullptr ? Source()->ip : conn.RemoteIp();
    SetState(kEstablished);
    conn.Consume(static_cast<int32_t>(BtWire::kHandshakeLength));

    const int32_t piece_count = Content().ContentSizeKnown() ? Content().PieceCount() : 0;
    const size_t bitfield_size = piece_count > 0 ? (static_cast<size_t>(piece_count) + 7) / 8 : 0;
    work_.has.assign(bitfield_size, 0);
    if (bitfield_size > 0) {
        std::vector<uint8_t> bits = Content().BitfieldBytes();
        bits.resize(bitfield_size, 0);
        const std::vector<uint8_t> message = BtWire::Bitfield(bits);
        if (conn.SendBytes(message) < 0) {
            return false;
        }
    }
    exchange_.haves_received = 0;
    exchange_.remote_pieces = 0;
    exchange_.remote_pieces_at_bitfield = 0;
    exchange_.choked_since = Swarm().CurrentTime();
    SetStatus(kStatusChoked);
    exchange_.peer_choking = true;
    if (conn.SendBytes(BtWire::kInterestedUnchoke) < 0) {
        return false;
    }
    exchange_.interested = true;
    exchange_.am_choking = false;
    return true;
}

}  // namespace kf
