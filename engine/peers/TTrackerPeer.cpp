#include "engine/peers/TTrackerPeer.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QProxyConfig.h"
#include "engine/peers/AddressText.h"

namespace kf {

namespace {

constexpr int32_t kStatusRequestSent = 1;
constexpr int32_t kReadSize = 16384;
constexpr std::string_view kRecordPrefix = "tracker://";

// A tracker's text as a notice may carry it: control bytes (a line end, an escape) become '?'.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = '?';
        }
    }
    return out;
}

}  // namespace

TTrackerPeer::TTrackerPeer(const TaskFaces& task) : TPeerObject(PeerKind::Tracker, task) {}

TTrackerPeer::~TTrackerPeer() {
    TTrackerPeer::Reset();
}

void TTrackerPeer::ClearAnnounce() {
    udp_socket_.Close();
    attach_time_ = 0;
    told_ = false;
    left_ = false;
    response_.clear();
    announced_ = false;
    last_announce_ = 0;
    query_.clear();
    request_.clear();
    connect_transaction_ = {};
    announce_transaction_ = {};
    connection_id_ = {};
}

void TTrackerPeer::Reset() {
    TPeerObject::Reset();
    ClearAnnounce();
}

bool TTrackerPeer::UsesUdp() const {
    return Source() != nullptr && Source()->transport == TPeerId::kTransportUdp;
}

bool TTrackerPeer::IsConnected() const {
    if ((State() == kIdle && Status() == 0) || Connection() == nullptr) {
        return false;
    }
    return UsesUdp() ? udp_socket_.IsOpen() : Connection()->IsOpen();
}

bool TTrackerPeer::Attach(const RefPtr<TPeerId>& source) {
    if (!source || source->kind != PeerKind::Tracker || !TPeerObject::Attach(source)) {
        return false;
    }
    // A recycled object (or one attached again) starts a new announce for this record.
    ClearAnnounce();
    SetState(kIdle);
    SetStatus(0);
    MutableActivity().incoming = false;
    attach_time_ = Swarm().CurrentTime();
    TPeerId& record = *Source();
    return record.transport == TPeerId::kTransportTcp ? AttachTcp(record) : AttachUdp(record);
}

bool TTrackerPeer::AttachTcp(TPeerId& record) {
    QSocket& conn = EnsureConnection();
    // The engine-wide proxy settings; a stopped announce may not wait long for the proxy.
    QProxyConfig proxy = EngineProxyConfig();
    if (Stopping()) {
        proxy.timeout = std::min(proxy.EffectiveTimeout(), kStoppedProxySeconds);
    }
    const bool connecting =
        record.ConnectsByName()
            ? conn.ConnectByName(record.UrlInfo().host, record.port, false, &proxy,
                                 Swarm().LocalBindAddress())
            : conn.ConnectTo(record.ip, record.port, false, &proxy, Swarm().LocalBindAddress());
    if (!connecting) {
        TellFailure("refused");
        return false;
    }
    SetState(kEstablished);
    SetStatus(kStatusRequestSent);
    return true;
}

bool TTrackerPeer::AttachUdp(TPeerId& record) {
    if (!udp_socket_.Open(Swarm().LocalBindAddress(), 0)) {
        TellFailure("no UDP socket");
        return false;
    }
    connect_transaction_ = TrackerRequest::NewTransactionId();
    const auto request = TrackerRequest::UdpConnect(connect_transaction_);
    if (!udp_socket_.SendTo(request, record.ip, record.port)) {
        udp_socket_.Close();
        TellFailure("refused");
        return false;
    }
    SetStatus(kStatusRequestSent);
    return true;
}

std::string TTrackerPeer::TrackerUrl() const {
    const TPeerId* record = Source();
    if (record == nullptr) {
        return {};
    }
    std::string_view url = record->url;
    if (StartsWithIgnoreCase(url, kRecordPrefix)) {
        url.remove_prefix(kRecordPrefix.size());
    }
    return std::string(url);
}

void TTrackerPeer::TellFailure(std::string_view why) {
    if (told_ || Stopping()) {
        return;
    }
    told_ = true;
    Swarm().Notice(NoticeKind::kTrackerFailed, TrackerUrl(), 0, Printable(why));
}

void TTrackerPeer::TellAnswer(const TrackerAnswer& answer) {
    if (answer.failure_reason.has_value()) {
        TellFailure(answer.failure_reason->empty() ? "refused" : *answer.failure_reason);
        return;
    }
    if (!answer.well_formed) {
        TellFailure("unreadable answer");
        return;
    }
    if (!told_ && !Stopping()) {
        told_ = true;
        Swarm().Notice(NoticeKind::kTrackerAnswer, TrackerUrl(),
                       static_cast<int64_t>(answer.peers.size()), {});
    }
}

bool TTrackerPeer::ConnectionLost(bool was_connected) {
    TellFailure(was_connected ? "connection closed before the answer" : "refused");
    return false;
}

TrackerRequest::Figures TTrackerPeer::CurrentFigures(bool udp) {
    TrackerRequest::Figures figures;
    figures.info_hash = Swarm().InfoHash();
    figures.peer_id = udp ? Swarm().HandshakePeerId() : Swarm().AnnouncePeerId();
    figures.port = Swarm().ListenPort();
    figures.uploaded = Swarm().UploadedTotal();
    figures.downloaded = Swarm().DownloadedTotal();
    figures.left = Swarm().BytesLeft();
    figures.event = event_;
    figures.ip = Swarm().ListenAddress();
    return figures;
}

bool TTrackerPeer::PlanRequests() {
    if ((State() == kIdle && Status() == 0) || Status() == kStatusFinished) {
        return false;
    }
    const int64_t now = Swarm().CurrentTime();
    if (now - attach_time_ >= kAnswerSeconds) {
        SetStatus(kStatusTimedOut);
        TellFailure("time-out");
        return false;
    }
    if (State() != kEstablished) {
        return true;
    }
    if (announced_ && now >= last_announce_ && now - last_announce_ < kResendSeconds) {
        return true;
    }
    if (!SendAnnounce()) {
        return false;
    }
    announced_ = true;
    last_announce_ = now;
    if (UsesUdp() && !left_) {
        AnnounceLeft();
    }
    return true;
}

void TTrackerPeer::AnnounceLeft() {
    left_ = true;
    Source()->announced = !Stopping();
    if (Stopping()) {
        SetStatus(kStatusFinished);
    }
}

bool TTrackerPeer::RequestWritten() const {
    const QSocket* conn = Connection();
    return announced_ && conn != nullptr && conn->IsOpen() && conn->Connected() &&
           conn->ProxyDone() && conn->QueuedLength() == 0;
}

bool TTrackerPeer::SendAnnounce() {
    TPeerId* record = Source();
    if (record == nullptr) {
        return false;
    }
    if (UsesUdp()) {
        const auto request = TrackerRequest::UdpAnnounce(connection_id_, announce_transaction_,
                                                         CurrentFigures(true));
        if (!udp_socket_.SendTo(request, record->ip, record->port)) {
            TellFailure("refused");
            return false;
        }
        return true;
    }
    if (query_.empty()) {
        const TPeerUrlInfo& info = record->UrlInfo();
        query_ = TrackerRequest::HttpQuery(info.path, CurrentFigures(false));
        request_ = TrackerRequest::HttpRequest(query_, info.host, record->port);
    }
    QSocket* conn = Connection();
    if (conn == nullptr) {
        return false;
    }
    if (request_.empty()) {
        TellFailure("no request can be made for this address");
        return false;
    }
    const bool was_connected = conn->Connected();
    return conn->SendBytes(request_.data(), static_cast<int32_t>(request_.size())) >= 0 ||
           ConnectionLost(was_connected);
}

bool TTrackerPeer::Flush() {
    QSocket* conn = Connection();
    if (UsesUdp() || conn == nullptr || !conn->IsOpen()) {
        return true;
    }
    if (conn->QueuedLength() > 0) {
        const bool was_connected = conn->Connected();
        if (conn->FlushQueue(-1) < 0) {
            return ConnectionLost(was_connected);
        }
    }
    if (!left_ && RequestWritten()) {
        AnnounceLeft();
    }
    return true;
}

bool TTrackerPeer::Receive() {
    if ((State() == kIdle && Status() == kStatusFinished) || Source() == nullptr) {
        return false;
    }
    return UsesUdp() ? ReceiveUdp() : ReceiveTcp();
}

bool TTrackerPeer::ReceiveTcp() {
    QSocket* conn = Connection();
    if (conn == nullptr || !conn->IsOpen()) {
        return false;
    }
    if (State() != kEstablished) {
        return true;
    }
    // The answer is moved out of conn as it arrives: a read that meets the tracker's close closes
    // conn and drops its buffer, and an answer without a length ends exactly there.
    const bool was_connected = conn->Connected();
    const bool closed = conn->ReceiveBytes(kReadSize) < 0;
    if (closed && response_.empty()) {
        return ConnectionLost(was_connected);
    }
    if (!closed && conn->ReceivedLength() > 0) {
        const std::span<const uint8_t> bytes = conn->Received();
        if (response_.size() + bytes.size() > TrackerAnswer::kMaxHttpAnswer) {
            CloseConnection();
            TellFailure("unreadable answer");
            return false;
        }
        response_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        conn->Consume(-1);
    }
    const TrackerAnswer::HttpFrame frame = TrackerAnswer::FrameHttp(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(response_.data()),
                                 response_.size()),
        closed);
    switch (frame.state) {
        case TrackerAnswer::HttpState::kNeedMore:
            return true;
        case TrackerAnswer::HttpState::kBroken:
            CloseConnection();
            TellFailure("unreadable answer");
            return false;
        case TrackerAnswer::HttpState::kComplete:
            break;
    }
    const TrackerAnswer answer = TrackerAnswer::ParseHttpBody(std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(frame.body.data()), frame.body.size()));
    response_.clear();
    CloseConnection();
    TakeAnswer(answer);
    return true;
}

bool TTrackerPeer::ReceiveUdp() {
    if (!udp_socket_.IsOpen()) {
        return false;
    }
    const TPeerId& record = *Source();
    std::array<uint8_t, TrackerAnswer::kMaxDatagram> buffer{};
    for (int32_t i = 0; i < kMaxDatagramsPerTurn && Status() != kStatusFinished; ++i) {
        uint32_t from_ip = 0;
        int32_t from_port = 0;
        const int32_t length = udp_socket_.ReceiveFrom(buffer, from_ip, from_port);
        if (length < 0) {
            TellFailure("refused");
            return false;
        }
        if (length == 0) {
            break;
        }
        // Only the tracker's own datagrams: anyone else could otherwise feed us peers.
        if (from_ip == record.ip && from_port == record.port) {
            HandleDatagram(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(length)));
        }
    }
    return true;
}

void TTrackerPeer::HandleDatagram(std::span<const uint8_t> datagram) {
    if (State() != kEstablished) {
        if (Status() != kStatusRequestSent) {
            return;
        }
        if (const auto connection = TrackerAnswer::ParseUdpConnect(datagram, connect_transaction_);
            connection.has_value()) {
            connection_id_ = *connection;
            announce_transaction_ = TrackerRequest::NewTransactionId();
            SetState(kEstablished);  // the announce goes out on the next PlanRequests
        } else if (std::optional<std::string> error =
                       TrackerAnswer::ParseUdpError(datagram, connect_transaction_);
                   error.has_value()) {
            TrackerAnswer refused;  // nothing more to ask
            refused.failure_reason = std::move(error);
            TakeAnswer(refused);
        }
        return;
    }
    if (!announced_) {
        return;
    }
    if (const auto answer = TrackerAnswer::ParseUdpAnnounce(datagram, announce_transaction_);
        answer.has_value()) {
        TakeAnswer(*answer);
    }
}

void TTrackerPeer::TakeAnswer(const TrackerAnswer& answer) {
    TellAnswer(answer);
    // A task that is leaving has no use for peers.
    const std::span<const TrackerAnswer::Peer> peers =
        Stopping() ? std::span<const TrackerAnswer::Peer>() : answer.peers;
    for (const TrackerAnswer::Peer& peer : peers) {
        RefPtr<TPeerId> record = RefPtr<TPeerId>::Make("btnode://" + DottedText(peer.ip) + ":" +
                                                       std::to_string(peer.port));
        record->kind = PeerKind::BtNode;
        record->ip = peer.ip;
        record->port = peer.port;
        record->resolved = true;
        record->max_connections = 1;
        record->weight = TPeerId::kWeightBtPeer;
        record->peer_id = peer.peer_id;
        Swarm().AddSource(*record, false, false);
    }
    udp_socket_.Close();
    SetStatus(kStatusFinished);
}

}  // namespace kf
