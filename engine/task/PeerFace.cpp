#include "engine/task/PeerFace.h"

#include <algorithm>

#include "engine/base/EngineGlobals.h"
#include "engine/net/Ipv4Address.h"
#include "engine/peers/TPeerObject.h"
#include "engine/task/SchedulerFace.h"
#include "engine/task/SwarmRegistry.h"
#include "engine/udp/QUInternalServer.h"

namespace kf {
namespace {

// Peers ask for a piece's blocks in order: one larger read serves the next ones too.
constexpr int32_t kUploadReadAhead = 262144;

}  // namespace

int64_t TWorkThread::PeerFace::CurrentTime() {
    return task_.now_;
}

bool TWorkThread::PeerFace::P2PEnabled() {
    return EngineGlobals::Instance().p2p_enabled;
}

bool TWorkThread::PeerFace::ContentSizeKnown() {
    return task_.IsPieceMapReady();
}

int64_t TWorkThread::PeerFace::ContentSize() {
    return Ready() ? task_.pieces_->total_length() : 0;
}

int32_t TWorkThread::PeerFace::PieceCount() {
    return Ready() ? static_cast<int32_t>(task_.pieces_->piece_count()) : 0;
}

int32_t TWorkThread::PeerFace::PieceLength() {
    return Ready() ? task_.pieces_->piece_length() : 0;
}

bool TWorkThread::PeerFace::IsComplete() {
    return task_.IsTaskComplete();
}

std::optional<PieceIndex> TWorkThread::PeerFace::PreferredPiece() {
    return task_.scheduler_->PreferredPiece();
}

bool TWorkThread::PeerFace::InEndGame() {
    return task_.scheduler_->InEndGame();
}

bool TWorkThread::PeerFace::IsPieceVerified(PieceIndex piece) {
    return Ready() && InRange(piece) && task_.pieces_->IsVerified(piece);
}

std::pair<int32_t, int32_t> TWorkThread::PeerFace::MissingRange(PieceIndex piece) {
    if (!Ready() || !InRange(piece)) {
        return {0, 0};
    }
    return task_.pieces_->MissingRange(piece);
}

bool TWorkThread::PeerFace::IsBlockDone(ContentBlock block, int32_t length) {
    return task_.scheduler_face_->IsBlockDone(block, length);
}

TaskContent::WriteResult TWorkThread::PeerFace::WriteBlock(ContentBlock block,
                                                           std::span<const uint8_t> bytes,
                                                           TPeerObject& from) {
    WriteResult result;
    if (!Ready()) {
        return result;
    }
    const int64_t offset = block.value() * kBlockSize;
    const bool fresh = !IsBlockDone(block, static_cast<int32_t>(bytes.size()));
    if (fresh) {
        task_.NoteBlockFrom(block, bytes, from);
    }
    bool completed = false;
    const int64_t taken = task_.pieces_->AddData(offset, bytes, &from, &completed);
    if (taken == TPieces::kHashFailed) {
        result.piece_failed = true;
        task_.OnPieceFailed(PieceIndex(offset / PieceLength()));
        return result;
    }
    result.accepted = taken == static_cast<int64_t>(bytes.size());
    if (fresh && result.accepted && InEndGame()) {
        // The other peers asked for it too: what they would send now comes twice.
        task_.CancelElsewhere(BlockRequest{static_cast<int32_t>(block.value()),
                                           static_cast<int32_t>(bytes.size()), 0},
                              from);
    }
    return result;
}

std::span<uint8_t> TWorkThread::PeerFace::BlockRoom(ContentBlock block, int32_t offset) {
    if (!Ready() || block.value() < 0 || offset < 0 || offset >= kBlockSize) {
        return {};
    }
    return task_.pieces_->ReceiveRoom(block.value() * kBlockSize + offset);
}

TaskContent::WriteResult TWorkThread::PeerFace::CommitBlockBytes(ContentBlock block, int32_t offset,
                                                                 int32_t length,
                                                                 TPeerObject& from) {
    WriteResult result;
    if (!Ready() || block.value() < 0 || offset < 0 || length <= 0) {
        return result;
    }
    const int64_t at = block.value() * kBlockSize + offset;
    const int64_t taken = task_.pieces_->CommitReceived(at, length, &from, nullptr);
    if (taken == TPieces::kHashFailed) {
        result.piece_failed = true;
        task_.OnPieceFailed(PieceIndex(at / PieceLength()));
        return result;
    }
    result.accepted = taken == length;
    return result;
}

bool TWorkThread::PeerFace::TakeFromSharedBlocks(const BlockRequest& request) {
    return task_.scheduler_->RemoveSharedBlock(request);
}

void TWorkThread::PeerFace::ReturnBlocks(std::deque<BlockRequest> blocks) {
    task_.scheduler_->ReturnBlocks(std::move(blocks));
}

std::optional<PieceIndex> TWorkThread::PeerFace::NextServerPiece(PeerWork& peer) {
    return task_.scheduler_->NextServerPiece(peer);
}

void TWorkThread::PeerFace::ReleaseRange(PeerWork& peer) {
    task_.scheduler_->ReleaseRange(peer);
}

void TWorkThread::PeerFace::FinishRange(PeerWork& peer) {
    task_.scheduler_->FinishRange(peer);
}

std::optional<PieceIndex> TWorkThread::PeerFace::TakeRangeAtPreferred(PeerWork& peer) {
    return task_.scheduler_->TakeRangeAtPreferred(peer);
}

void TWorkThread::PeerFace::CountPayload(int32_t peer_kind, int32_t bytes) {
    task_.CountWritten(peer_kind, bytes);
}

int32_t TWorkThread::PeerFace::DownloadAllowance() {
    return task_.DownloadAllowanceNow();
}

int32_t TWorkThread::PeerFace::DownloadLimit() {
    return task_.DownloadLimitNow();
}

int32_t TWorkThread::PeerFace::UploadAllowance() {
    return task_.UploadAllowanceNow();
}

void TWorkThread::PeerFace::AddSource(TPeerId& record, bool from_lan, bool replace_id) {
    if (task_.TWorkWithPeers::AddSource(record, from_lan, replace_id) &&
        record.kind == PeerKind::BtNode) {
        task_.peers_announced_ = true;
    }
}

void TWorkThread::PeerFace::RemoveSource(TPeerId& record) {
    task_.TWorkWithPeers::RemoveSource(record);
}

void TWorkThread::PeerFace::SetTaskState(TaskState state) {
    task_.SetState(state);
}

void TWorkThread::PeerFace::SetTaskStatus(int32_t status) {
    task_.SetStatus(status);
    if (status == KF_STATUS_UNRESOLVABLE) {
        task_.Publish(true, false);
    }
}

std::array<uint8_t, 20> TWorkThread::PeerFace::InfoHash() {
    return task_.identity_.info_hash();
}

std::array<uint8_t, 20> TWorkThread::PeerFace::AnnouncePeerId() {
    return task_.identity_.announce_peer_id();
}

std::array<uint8_t, 20> TWorkThread::PeerFace::HandshakePeerId() {
    return task_.identity_.peer_id();
}

int32_t TWorkThread::PeerFace::ListenPort() {
    return task_.swarm_.ListenPort();
}

uint32_t TWorkThread::PeerFace::ListenAddress() {
    return task_.swarm_.ListenIp();
}

uint32_t TWorkThread::PeerFace::LocalBindAddress() {
    return EngineGlobals::Instance().bind_ip;
}

std::optional<QProxyConfig> TWorkThread::PeerFace::TaskProxy() {
    return task_.PeerProxy();
}

int64_t TWorkThread::PeerFace::UploadedTotal() {
    return task_.uploaded_payload_;
}

int64_t TWorkThread::PeerFace::DownloadedTotal() {
    return task_.http_bytes_ + task_.bt_bytes_;
}

int64_t TWorkThread::PeerFace::BytesLeft() {
    if (!Ready()) {
        return 0;
    }
    const PiecesProgress progress = task_.pieces_->Progress();
    return std::max<int64_t>(progress.total_length - progress.verified_bytes, 0);
}

std::string TWorkThread::PeerFace::TargetFileName() {
    const std::string& path = task_.TargetFile();
    return path.substr(path.rfind('/') + 1);
}

bool TWorkThread::PeerFace::IsBtTask() {
    return task_.Kind() != TaskKind::kHttp;
}

std::vector<uint8_t> TWorkThread::PeerFace::BitfieldBytes() {
    return Ready() ? task_.pieces_->Bitfield() : std::vector<uint8_t>();
}

bool TWorkThread::PeerFace::UdpTransportUsable() {
    // Above this rate the task does well enough over TCP that a tunnel (at most about 790 KB/s)
    // would only slow it down.
    constexpr int32_t kTunnelRateLimit = 368640;
    const QUInternalServer& endpoint = QUInternalServer::Engine();
    if (!endpoint.IsRunning() || !IsValidAddress(endpoint.ExternalAddress())) {
        return false;
    }
    if (PreferUdpTransport()) {
        return true;
    }
    const bool seeding = Ready() && BytesLeft() == 0;
    return (seeding ? task_.upload_rate_ : task_.download_rate_) < kTunnelRateLimit;
}

bool TWorkThread::PeerFace::PreferUdpTransport() {
    return EngineGlobals::Instance().prefer_udp_transport;
}

int32_t TWorkThread::PeerFace::CandidateCount() {
    return task_.CandidateCount();
}

TaskContent::BtPlan TWorkThread::PeerFace::PlanBtRequests(PeerWork& peer) {
    const BlockScheduler::BtPlan plan = task_.scheduler_->PlanBtRequests(peer);
    BtPlan answer;
    answer.ran = plan.ran;
    answer.complete = plan.complete;
    answer.queued = plan.queued;
    answer.shared = plan.shared;
    return answer;
}

std::optional<PieceIndex> TWorkThread::PeerFace::NextBtPiece(PeerWork& peer) {
    return task_.scheduler_->NextBtPiece(peer);
}

bool TWorkThread::PeerFace::InSharedBlocks(const BlockRequest& request) {
    const std::deque<BlockRequest>& shared = task_.scheduler_->SharedBlocks();
    return std::find(shared.begin(), shared.end(), request) != shared.end();
}

void TWorkThread::PeerFace::AddSharedBlock(const BlockRequest& request) {
    task_.scheduler_->ReturnBlocks({request});
}

bool TWorkThread::PeerFace::ReadBlock(PieceIndex piece, int32_t begin, std::span<uint8_t> out) {
    if (!Ready() || !InRange(piece) || begin < 0 || !task_.pieces_->IsVerified(piece) ||
        begin + static_cast<int64_t>(out.size()) > task_.pieces_->PieceSize(piece)) {
        return false;
    }
    const int64_t offset = piece.value() * PieceLength() + begin;
    return task_.pieces_->ReadData(offset, out, kUploadReadAhead) ==
           static_cast<int64_t>(out.size());
}

void TWorkThread::PeerFace::CountUploaded(int32_t bytes) {
    task_.uploaded_payload_ += bytes;
}

int32_t TWorkThread::PeerFace::PeerSlotTarget() {
    return task_.peer_slot_target_;
}

int32_t TWorkThread::PeerFace::PeersWithUnsentData() {
    return task_.pending_senders_;
}

void TWorkThread::PeerFace::NotePendingSend() {
    ++task_.pending_senders_;
}

TPeerId* TWorkThread::PeerFace::AddPeerAddress(uint32_t ip, int32_t port) {
    return task_.AddPeerAddress(ip, port, false, 1);
}

bool TWorkThread::PeerFace::HasPeerWithId(uint32_t ip, const std::array<uint8_t, 20>& peer_id,
                                          const TPeerObject& except, bool incoming_only) {
    return std::any_of(task_.active_.begin(), task_.active_.end(), [&](const auto& peer) {
        const TPeerId* source = peer->Source();
        return peer.get() != &except && peer->Type() == PeerKind::BtNode && peer->IsEstablished() &&
               source != nullptr && source->ip == ip && source->peer_id == peer_id &&
               (!incoming_only || peer->GetActivity().incoming);
    });
}

bool TWorkThread::PeerFace::Ready() {
    return task_.IsPieceMapReady();
}

bool TWorkThread::PeerFace::InRange(PieceIndex piece) {
    return piece.value() >= 0 && piece.value() < task_.pieces_->piece_count();
}

}  // namespace kf
