#include "engine/peers/TPeerObject.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLog.h"
#include "engine/base/EventSink.h"
#include "engine/net/Ipv4Address.h"

namespace kf {

namespace {

constexpr int32_t kPreferredJump = 6;
constexpr int32_t kMinLimitedReceiveBuffer = 64 << 10;
constexpr int32_t kNextPieceTries = 4;

std::atomic<TPeerObject::WholeBadPieceHook> g_whole_bad_piece_hook{nullptr};

}  // namespace

void TPeerObject::SetWholeBadPieceHook(WholeBadPieceHook hook) {
    g_whole_bad_piece_hook.store(hook);
}

TPeerObject::TPeerObject(PeerKind type, const TaskFaces& task)
    : type_(type), content_(task.content), ranges_(task.ranges), swarm_(task.swarm) {
    work_.kind = KindBits(type);
}

TPeerObject::~TPeerObject() {
    // Virtual calls do not reach a derived class here; every kind resets its own part first.
    TPeerObject::Reset();
    conn_.reset();
}

void TPeerObject::Reset() {
    if (!work_.requests.empty()) {
        content_.ReturnBlocks(work_.requests.TakeAll());
    }
    peer_requests_.clear();
    CloseConnection();
    ReleaseRange();
    state_ = kIdle;
    status_ = 0;
    serial_ = 0;
    end_reason_ = nullptr;
    activity_ = Activity{};
    rates_ = Rates{};
    work_.download_rate = 0;
    if (source_) {
        if (source_->connections > 0) {
            --source_->connections;
        }
        source_.reset();
    }
}

void TPeerObject::SetState(int32_t state) {
    if (state == kEstablished && state_ != kEstablished && type_ != PeerKind::Tracker &&
        NoticesWanted()) {
        const bool tunnel = conn_ != nullptr && conn_->UsesUdpTransport();
        swarm_.Notice(NoticeKind::kConnected, AddressText(), 0,
                      type_ != PeerKind::BtNode ? "server"
                      : tunnel                  ? "BitTorrent peer over a UDP tunnel"
                                                : "BitTorrent peer");
    }
    state_ = state;
}

std::string TPeerObject::AddressText() const {
    if (!source_) {
        return {};
    }
    if (source_->IsServerSource() && !source_->url.empty()) {
        return source_->url;
    }
    return DottedText(source_->ip) + ":" + std::to_string(source_->port);
}

bool TPeerObject::IsConnected() const {
    return state_ != kIdle && conn_ != nullptr && conn_->IsOpen();
}

uint64_t TPeerObject::ReceivedTotal() const {
    return conn_ != nullptr ? conn_->ReceivedTotal() : 0;
}

void TPeerObject::MarkActivity() {
    activity_.last_activity = swarm_.CurrentTime();
}

void TPeerObject::CloseConnection() {
    if (conn_ != nullptr) {
        conn_->Close();
    }
}

QSocket& TPeerObject::EnsureConnection() {
    if (conn_ == nullptr) {
        conn_ = std::make_unique<QSocket>();
    }
    return *conn_;
}

void TPeerObject::FitReceiveBufferToLimit() {
    const int32_t limit = Content().DownloadLimit();
    if (limit > 0 && conn_ != nullptr) {
        // A quarter of a second at the whole task's limit, within the socket's bounds.
        conn_->SetReceiveBuffer(
            std::clamp(limit / 4, kMinLimitedReceiveBuffer, QSocket::kMaxSocketReceiveBuffer));
    }
}

RefPtr<TPeerId> TPeerObject::DetachSource() {
    RefPtr<TPeerId> source = std::move(source_);
    source_.reset();
    return source;
}

void TPeerObject::AdoptSource(const RefPtr<TPeerId>& source) {
    if (!source || source.get() == source_.get()) {
        return;
    }
    if (source_ && source_->connections > 0) {
        --source_->connections;
    }
    source_ = source;
    ++source_->connections;
}

void TPeerObject::PenalizeSource(int32_t amount) {
    if (source_) {
        source_->penalty += amount;
    }
}

TPeerObject::Window TPeerObject::TakeRateWindow() {
    const Window window{rates_.received_window, rates_.sent_window};
    rates_.received_window = 0;
    rates_.sent_window = 0;
    return window;
}

void TPeerObject::SetRates(int32_t download_rate, int32_t upload_rate) {
    rates_.download_rate = download_rate;
    rates_.upload_rate = upload_rate;
    work_.download_rate = download_rate;
}

bool TPeerObject::Attach(const RefPtr<TPeerId>& source) {
    if (!source || source.get() == source_.get() || !source->IsValid()) {
        return false;
    }
    source_ = source;
    TPeerUrlInfo& info = source_->UrlInfo();
    info.memory_done = false;
    info.memory_body.clear();
    if (conn_ == nullptr) {
        conn_ = std::make_unique<QSocket>();
    } else {
        conn_->Close();
    }
    MarkActivity();
    return true;
}

bool TPeerObject::AttachIncoming(std::unique_ptr<QSocket> connection) {
    Reset();
    conn_ = std::move(connection);
    activity_.incoming = true;
    state_ = conn_ != nullptr ? kConnecting : kIdle;
    MarkActivity();
    return IsConnected();
}

bool TPeerObject::IsDroppable(bool keep_useless) {
    if (!IsConnected() || IsIdle()) {
        return true;
    }
    if (!keep_useless && IsUseless()) {
        return true;
    }
    if (!content_.IsComplete()) {
        return false;
    }
    NoteSeed();
    return IsSeed();
}

bool TPeerObject::Pump() {
    if (!IsConnected()) {
        return false;
    }
    if (type_ == PeerKind::BtNode && !swarm_.P2PEnabled()) {
        return false;
    }
    const uint64_t sent_before = conn_->SentTotal();
    const uint64_t received_before = ReceivedTotal();
    rates_.received_tick = 0;
    rates_.sent_tick = 0;
    activity_.pending_send = false;

    if (!Receive() || !PlanRequests() || !TopUpRequests() || !Flush() || !IsConnected()) {
        return false;
    }

    // A connection closed and reopened during the tick starts its totals again: never below 0.
    const uint64_t sent_after = conn_->SentTotal();
    const uint64_t received_after = ReceivedTotal();
    rates_.sent_tick =
        sent_after > sent_before
            ? static_cast<int32_t>(std::min<uint64_t>(sent_after - sent_before, INT32_MAX))
            : 0;
    rates_.received_tick =
        received_after > received_before
            ? static_cast<int32_t>(std::min<uint64_t>(received_after - received_before, INT32_MAX))
            : 0;
    rates_.sent_total += rates_.sent_tick;
    if (rates_.sent_tick > 0 || rates_.received_tick > 0) {
        activity_.stall_count = 0;
    }
    if (state_ == kEstablished && conn_->QueuedLength() > 0) {
        activity_.pending_send = true;
        content_.NotePendingSend();
    }
    return true;
}

bool TPeerObject::PumpUpload() {
    if (type_ != PeerKind::BtNode) {
        return true;
    }
    if (!IsConnected() || !swarm_.P2PEnabled()) {
        return false;
    }
    const uint64_t sent_before = conn_->SentTotal();
    if (!ServeUploads() || !IsConnected()) {
        return false;
    }
    const uint64_t sent_after = conn_->SentTotal();
    const int32_t sent =
        sent_after > sent_before
            ? static_cast<int32_t>(std::min<uint64_t>(sent_after - sent_before, INT32_MAX))
            : 0;
    rates_.sent_tick += sent;
    rates_.sent_total += sent;
    if (sent > 0) {
        activity_.stall_count = 0;
    }
    return true;
}

std::optional<PieceIndex> TPeerObject::NextPiece() {
    return ranges_.NextServerPiece(work_);
}

void TPeerObject::ReleaseRange() {
    if (work_.range != nullptr || work_.private_range != nullptr) {
        ranges_.ReleaseRange(work_);
    }
    work_.range = nullptr;
}

bool TPeerObject::PlanRequests() {
    const int32_t target = work_.download_rate * 2 / kBlockSize + 2;
    if (static_cast<int32_t>(work_.requests.size()) > target) {
        return true;
    }
    const int32_t piece_length = content_.PieceLength();
    if (!content_.ContentSizeKnown() || piece_length <= 0 || piece_length % kBlockSize != 0) {
        return true;
    }

    std::optional<PieceIndex> piece;
    std::pair<int32_t, int32_t> missing{0, 0};
    for (int32_t i = 0; i < kNextPieceTries; ++i) {
        const std::optional<PieceIndex> candidate = NextPiece();
        if (!candidate) {
            break;
        }
        missing = content_.MissingRange(*candidate);
        if (missing.second > 0) {
            piece = candidate;
            break;
        }
    }

    // The record keeps -1 for "no preferred piece", which the jump test counts from.
    const std::optional<PieceIndex> wanted = content_.PreferredPiece();
    const int32_t preferred = wanted ? static_cast<int32_t>(wanted->value()) : -1;
    const bool server = IsServerSource(type_) && source_ && source_->IsServerSource();
    if (server && std::abs(work_.preferred_seen - preferred) > kPreferredJump && piece &&
        piece->value() > 0 && preferred > 0) {
        // The reader jumped: continue where it now reads instead of finishing the old range.
        ReleaseRange();
        piece = ranges_.TakeRangeAtPreferred(work_);
        missing = piece ? content_.MissingRange(*piece) : std::pair<int32_t, int32_t>{0, 0};
        if (missing.second <= 0) {
            piece.reset();
        }
    }
    work_.preferred_seen = preferred;
    if (!piece) {
        return true;
    }
    if (work_.range != nullptr) {
        work_.range->current = static_cast<int32_t>(piece->value());
    }
    activity_.current_piece = static_cast<int32_t>(piece->value());

    const int64_t piece_start = piece->value() * piece_length;
    for (int64_t offset = missing.first - missing.first % kBlockSize; offset < missing.second;
         offset += kBlockSize) {
        const auto length =
            static_cast<int32_t>(std::min<int64_t>(kBlockSize, missing.second - offset));
        const auto block = static_cast<int32_t>((piece_start + offset) / kBlockSize);
        const bool queued =
            std::any_of(work_.requests.begin(), work_.requests.end(),
                        [block](const BlockRequest& r) { return r.block == block; });
        if (queued || content_.IsBlockDone(ContentBlock(block), length)) {
            continue;
        }
        work_.requests.Push(BlockRequest{block, length, SecondsSinceStart()});
    }
    return true;
}

bool TPeerObject::DeliverBlock(int32_t block, std::span<const uint8_t> bytes) {
    const auto length = static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX));
    if (block < 0 || length <= 0 || length > kBlockSize || bytes.data() == nullptr ||
        !IsConnected()) {
        return false;
    }
    if (!content_.ContentSizeKnown()) {
        return true;  // nothing to place it in yet
    }
    if (!TakeDeliveredRequest(block, length)) {
        return false;
    }
    return FinishDelivery(block, length, content_.WriteBlock(ContentBlock(block), bytes, *this));
}

bool TPeerObject::DeliverBlockInPlace(int32_t block, int32_t length, int32_t tail) {
    if (block < 0 || length <= 0 || length > kBlockSize || tail <= 0 || tail > length ||
        !IsConnected() || !content_.ContentSizeKnown()) {
        return false;
    }
    if (!TakeDeliveredRequest(block, length)) {
        return false;
    }
    return FinishDelivery(
        block, length, content_.CommitBlockBytes(ContentBlock(block), length - tail, tail, *this));
}

bool TPeerObject::TakeDeliveredRequest(int32_t block, int32_t length) {
    MarkActivity();
    if (work_.range != nullptr) {
        ++work_.range->blocks_received;
    }

    const BlockRequest wanted{block, length, 0};
    // A BT peer's answers match only requests it has sent; other kinds search their whole queue.
    if (!work_.requests.TakeAnswered(wanted, type_ == PeerKind::BtNode) &&
        !content_.TakeFromSharedBlocks(wanted)) {
        return false;
    }
    if (status_ == 4) {
        status_ = kStatusUnchoked;
    }
    return true;
}

bool TPeerObject::FinishDelivery(int32_t block, int32_t length,
                                 const TaskContent::WriteResult& result) {
    if (result.piece_failed) {
        // A BT piece is made of blocks from several peers: the task finds the one at fault and
        // bans it, and this connection, which merely delivered the last block, stays. A server
        // connection starts over.
        return type_ == PeerKind::BtNode;
    }
    if (result.accepted) {
        content_.CountPayload(KindBits(type_), length);
        kib_received_ += length / 1024;
        rates_.received_window += length;
    }

    const int32_t piece_length = content_.PieceLength();
    if (content_.InEndGame() && piece_length > 0) {
        const auto piece =
            static_cast<int32_t>(static_cast<int64_t>(block) * kBlockSize / piece_length);
        if (content_.MissingRange(PieceIndex(piece)).second == 0) {
            // Requests not yet sent for a piece that is now complete are no longer needed.
            work_.requests.DropUnsentOfPiece(PieceIndex(piece), piece_length);
        }
    }
    return true;
}

void TPeerObject::OnWholePiece(PieceIndex /*piece*/) {
    if (source_) {
        ++source_->whole_pieces;
    }
}

void TPeerObject::ReportWholeBadPiece(PieceIndex piece) {
    if (!source_) {
        return;
    }
    const std::string piece_text = std::to_string(piece.value());
    const std::string file = EventMember("Filename", swarm_.TargetFileName());
    if (type_ == PeerKind::BtNode) {
        SubmitEvent(kBadPieceFromPeerEvent,
                    EventMember("Serverip",
                                DottedText(source_->ip) + " : " + std::to_string(source_->port)) +
                        EventMember("Corruptpakid", piece_text) + file);
    } else if (source_->IsServerSource()) {
        // A server that sent a whole piece that fails its digest holds a damaged file.
        SubmitEvent(kBadPieceFromServerEvent, EventMember("Corruptpakid", piece_text) +
                                                  EventMember("Url", AddressText()) + file);
    }
}

void TPeerObject::OnBadPiece(PieceIndex piece, bool whole_piece) {
    if (!whole_piece) {
        // A BT peer that merely sent some blocks, the last among them, is not at fault for
        // that: the task finds out who is.
        errors_ += type_ == PeerKind::BtNode ? 0 : 1;
        return;
    }
    ++errors_;
    if (source_ && source_->IsServerSource()) {
        ++source_->UrlInfo().bad_pieces;
    }
    if (source_ && EngineLogWants(LogChannel::kSha1Check)) {
        EngineLogWrite("Bad piece " + std::to_string(piece.value()) + " wholly from " +
                           DottedText(source_->ip) + ":" + std::to_string(source_->port),
                       LogChannel::kSha1Check);
    }
    ReportWholeBadPiece(piece);
    if (const WholeBadPieceHook hook = g_whole_bad_piece_hook.load(); hook != nullptr) {
        hook(*this, piece.value());
    }
}

}  // namespace kf
