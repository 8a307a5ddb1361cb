#include "engine/task/TWorkThread.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineLog.h"
#include "engine/os/FileBytes.h"
#include "engine/os/ThreadId.h"
#include "engine/os/Tick.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TFtpPeer.h"
#include "engine/peers/THttpPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/task/SwarmRegistry.h"

namespace kf {
namespace {

constexpr char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;
constexpr int64_t kSaveSeconds = 20;
constexpr int64_t kCacheSeconds = 6;
constexpr int64_t kSourceRefreshSeconds = 15;
constexpr int64_t kNoProgressSeconds = 900;
constexpr int64_t kNoSourceGraceSeconds = 15;
// How long a plain download waits for a second server to confirm the first one's size.
constexpr int64_t kSizeVoteSeconds = 4;
// Before the piece map exists connections are opened on every pass, but not more often than
// this: a refused source's back-off counts down once per attempt.
constexpr uint64_t kEarlyOpenPeriodMs = 100;
// A source that was tried this often without a piece map in sight, and is backing off again,
// counts as gone.
constexpr int32_t kFailedAttempts = 3;
constexpr uint64_t kRatesPeriodMs = 4000;
constexpr int32_t kUploadReadAhead = 262144;
constexpr uint64_t kIncomingPeriodMs = 400;
constexpr int64_t kHaveSeconds = 8;
constexpr int64_t kLanSeconds = 10;
// A complete task that has served no peer for this long waits longer between passes; a new
// connection or a tracker answer still wakes it at once.
constexpr int64_t kIdleSeedingSeconds = 60;
constexpr int32_t kIdleSeedingWaitMs = 200;

bool IsFileLocation(const std::string& location) {
    return location.size() >= kFileSchemeLength &&
           strncasecmp(location.c_str(), kFileScheme, kFileSchemeLength) == 0;
}

}  // namespace

// The task and its piece map as the block scheduler sees them.
class TWorkThread::SchedulerFace : public SchedulingContext {
  public:
    explicit SchedulerFace(TWorkThread& task) : task_(task) {}

    bool PieceMapReady() override { return task_.IsPieceMapReady(); }
    int32_t PieceCount() override {
        return PieceMapReady() ? static_cast<int32_t>(task_.pieces_->piece_count()) : 0;
    }
    int32_t PieceLength() override { return PieceMapReady() ? task_.pieces_->piece_length() : 0; }
    int32_t VerifiedCount() override { return task_.verified_pieces_; }
    bool IsVerified(int32_t piece) override {
        return InRange(piece) && task_.pieces_->IsVerified(PieceIndex(piece));
    }
    bool IsBeingFinished(int32_t piece) override {
        // Complete data that the piece map still holds for its check.
        return InRange(piece) && task_.pieces_->IsComplete(PieceIndex(piece)) &&
               !task_.pieces_->IsVerified(PieceIndex(piece));
    }
    int32_t BytesDone(int32_t piece) override {
        return InRange(piece) ? task_.pieces_->BytesDone(PieceIndex(piece)) : 0;
    }
    int32_t PieceSize(int32_t piece) override {
        return InRange(piece) ? task_.pieces_->PieceSize(PieceIndex(piece)) : 0;
    }
    bool IsBlockDone(int32_t block, int32_t /*length*/) override {
        if (!PieceMapReady() || block < 0) {
            return false;
        }
        const int64_t offset = int64_t{block} * kBlockSize;
        const int64_t piece = offset / task_.pieces_->piece_length();
        if (piece >= task_.pieces_->piece_count()) {
            return false;
        }
        if (task_.pieces_->IsVerified(PieceIndex(piece))) {
            return true;
        }
        const int64_t in_piece = offset - piece * task_.pieces_->piece_length();
        return task_.pieces_->HasBlock(PieceIndex(piece), BlockIndex(in_piece / kBlockSize));
    }
    std::vector<int32_t> PartialPieces() override {
        std::vector<int32_t> pieces;
        if (PieceMapReady()) {
            for (const PieceIndex piece : task_.pieces_->PartialPieces()) {
                pieces.push_back(static_cast<int32_t>(piece.value()));
            }
        }
        return pieces;
    }
    int32_t FileCount() override {
        return PieceMapReady() ? static_cast<int32_t>(task_.pieces_->FileCount()) : 0;
    }
    SchedulingFile File(int32_t index) override {
        SchedulingFile file;
        if (index >= 0 && index < FileCount()) {
            const FileEntry& entry = task_.pieces_->File(FileIndex(index));
            file.first_piece = static_cast<int32_t>(entry.first_piece);
            file.piece_span = static_cast<int32_t>(entry.piece_span);
            file.size = entry.size;
            file.priority = entry.priority;
            file.skipped = entry.skipped();
        }
        return file;
    }
    int32_t ActiveConnections() override { return static_cast<int32_t>(task_.active_.size()); }
    bool HasServerCandidates() override {
        return std::any_of(task_.candidates_.records().begin(), task_.candidates_.records().end(),
                           [](const RefPtr<TPeerId>& record) { return record->IsServerSource(); });
    }
    std::vector<ServerSlot> ServerSlots() override {
        std::vector<ServerSlot> slots;
        for (const RefPtr<TPeerId>& record : task_.candidates_.records()) {
            if (!record->IsServerSource()) {
                continue;
            }
            ServerSlot slot;
            slot.source = RefPtr<TRefObject>::Share(record.get());
            slot.torrent_line = record->role == TPeerId::kRoleTorrentLine;
            slot.fetch_to_memory = record->HasUrlInfo() && record->UrlInfo().fetch_to_memory;
            slot.max_connections = record->max_connections;
            slots.push_back(std::move(slot));
        }
        return slots;
    }
    void ApplyServerSlots(const std::vector<ServerSlot>& slots) override {
        for (const ServerSlot& slot : slots) {
            static_cast<TPeerId*>(slot.source.get())->max_connections = slot.max_connections;
        }
    }
    int64_t ThreadSeconds() override { return task_.now_ - task_.StartTime(); }
    bool RandomStart() override { return task_.settings_.random_piece_start; }
    bool P2PEnabled() override { return EngineGlobals::Instance().p2p_enabled; }
    bool IsStopping() override { return task_.StopRequestedNow(); }
    uint32_t Tick() override { return TickCount32(); }
    int64_t Now() override { return task_.now_; }
    uint32_t QueueClock() override { return SecondsSinceStart(); }

  private:
    bool InRange(int32_t piece) {
        return PieceMapReady() && piece >= 0 && piece < task_.pieces_->piece_count();
    }

    TWorkThread& task_;
};

// The task as its peer objects see it.
class TWorkThread::PeerFace : public PeerTask {
  public:
    explicit PeerFace(TWorkThread& task) : task_(task) {}

    int64_t CurrentTime() override { return task_.now_; }
    bool P2PEnabled() override { return EngineGlobals::Instance().p2p_enabled; }
    bool IsStopping() override { return task_.StopRequestedNow(); }

    bool ContentSizeKnown() override { return task_.IsPieceMapReady(); }
    int64_t ContentSize() override { return Ready() ? task_.pieces_->total_length() : 0; }
    int32_t PieceCount() override {
        return Ready() ? static_cast<int32_t>(task_.pieces_->piece_count()) : 0;
    }
    int32_t PieceLength() override { return Ready() ? task_.pieces_->piece_length() : 0; }
    bool IsComplete() override { return task_.IsTaskComplete(); }
    int32_t PreferredPiece() override { return task_.scheduler_->PreferredPiece(); }

    bool WantsPiece(int32_t piece) override { return task_.scheduler_->WantsPiece(piece); }
    bool EngagePiece(int32_t piece) override { return task_.scheduler_->EngagePiece(piece); }
    void ReleasePiece(int32_t piece) override { task_.scheduler_->ReleasePiece(piece); }
    bool InEndGame() override { return task_.scheduler_->InEndGame(); }
    bool IsPieceVerified(int32_t piece) override {
        return Ready() && InRange(piece) && task_.pieces_->IsVerified(PieceIndex(piece));
    }
    std::pair<int32_t, int32_t> MissingRange(int32_t piece) override {
        if (!Ready() || !InRange(piece)) {
            return {0, 0};
        }
        return task_.pieces_->MissingRange(PieceIndex(piece));
    }
    bool IsBlockDone(int32_t block, int32_t length) override {
        return task_.scheduler_face_->IsBlockDone(block, length);
    }

    WriteResult WriteBlock(int32_t block, std::span<const uint8_t> bytes,
                           TPeerObject& from) override {
        WriteResult result;
        if (!Ready()) {
            return result;
        }
        const int64_t offset = int64_t{block} * kBlockSize;
        bool completed = false;
        const int64_t taken = task_.pieces_->AddData(offset, bytes, &from, &completed);
        if (taken == TPieces::kHashFailed) {
            result.piece_failed = true;
            task_.scheduler_->PieceFailed(static_cast<int32_t>(offset / PieceLength()));
            return result;
        }
        result.accepted = taken == static_cast<int64_t>(bytes.size());
        return result;
    }
    std::span<uint8_t> BlockRoom(int32_t block, int32_t offset) override {
        if (!Ready() || block < 0 || offset < 0 || offset >= kBlockSize) {
            return {};
        }
        return task_.pieces_->ReceiveRoom(int64_t{block} * kBlockSize + offset);
    }
    WriteResult CommitBlockBytes(int32_t block, int32_t offset, int32_t length,
                                 TPeerObject& from) override {
        WriteResult result;
        if (!Ready() || block < 0 || offset < 0 || length <= 0) {
            return result;
        }
        const int64_t at = int64_t{block} * kBlockSize + offset;
        const int64_t taken = task_.pieces_->CommitReceived(at, length, &from, nullptr);
        if (taken == TPieces::kHashFailed) {
            result.piece_failed = true;
            task_.scheduler_->PieceFailed(static_cast<int32_t>(at / PieceLength()));
            return result;
        }
        result.accepted = taken == length;
        return result;
    }
    bool TakeFromSharedBlocks(const BlockRequest& request) override {
        return task_.scheduler_->RemoveSharedBlock(request);
    }
    void ReturnBlocks(std::deque<BlockRequest>& queue) override {
        task_.scheduler_->ReturnBlocks(queue);
    }

    int32_t NextServerPiece(PeerWork& peer) override {
        return task_.scheduler_->NextServerPiece(peer);
    }
    void ReleaseRange(PeerWork& peer) override { task_.scheduler_->ReleaseRange(peer); }
    void FinishRange(PeerWork& peer) override { task_.scheduler_->FinishRange(peer); }
    int32_t TakeRangeAtPreferred(PeerWork& peer) override {
        return task_.scheduler_->TakeRangeAtPreferred(peer);
    }

    void CountPayload(int32_t peer_kind, int32_t bytes) override {
        task_.CountWritten(peer_kind, bytes);
    }
    int32_t DownloadAllowance() override { return task_.DownloadAllowanceNow(); }
    int32_t UploadAllowance() override { return task_.UploadAllowanceNow(); }

    void AddSource(TPeerId& record, bool from_lan, bool replace_id) override {
        if (task_.TWorkWithPeers::AddSource(record, from_lan, replace_id) &&
            record.kind == PeerKind::BtNode) {
            task_.peers_announced_ = true;
        }
    }
    void RemoveSource(TPeerId& record) override { task_.TWorkWithPeers::RemoveSource(record); }
    void SetTaskState(TaskState state) override { task_.SetState(state); }
    void SetTaskStatus(int32_t status) override {
        task_.SetStatus(status);
        if (status == KF_STATUS_UNRESOLVABLE) {
            task_.Publish(true, false);
        }
    }

    // Tracker announces.
    std::array<uint8_t, 20> InfoHash() override { return task_.identity_.info_hash(); }
    std::array<uint8_t, 20> AnnouncePeerId() override { return task_.identity_.announce_peer_id(); }
    std::array<uint8_t, 20> HandshakePeerId() override { return task_.identity_.peer_id(); }
    int32_t ListenPort() override { return task_.swarm_.ListenPort(); }
    uint32_t ListenAddress() override { return task_.swarm_.ListenIp(); }
    uint32_t LocalBindAddress() override { return EngineGlobals::Instance().bind_ip; }
    std::optional<QProxyConfig> TaskProxy() override { return task_.PeerProxy(); }
    int64_t UploadedTotal() override { return task_.uploaded_payload_; }
    int64_t DownloadedTotal() override { return task_.http_bytes_ + task_.bt_bytes_; }
    int64_t BytesLeft() override {
        if (!Ready()) {
            return 0;
        }
        const PiecesProgress progress = task_.pieces_->Progress();
        return std::max<int64_t>(progress.total_length - progress.verified_bytes, 0);
    }
    // BitTorrent peers.
    bool IsBtTask() override { return task_.Kind() != TaskKind::kHttp; }
    std::vector<uint8_t> BitfieldBytes() override {
        return Ready() ? task_.pieces_->Bitfield() : std::vector<uint8_t>();
    }
    int32_t CandidateCount() override { return task_.CandidateCount(); }
    BtPlan PlanBtRequests(PeerWork& peer) override {
        const BlockScheduler::BtPlan plan = task_.scheduler_->PlanBtRequests(peer);
        BtPlan answer;
        answer.ran = plan.ran;
        answer.complete = plan.complete;
        answer.queued = plan.queued;
        answer.shared = plan.shared;
        return answer;
    }
    int32_t NextBtPiece(PeerWork& peer) override { return task_.scheduler_->NextBtPiece(peer); }
    bool InSharedBlocks(const BlockRequest& request) override {
        const std::deque<BlockRequest>& shared = task_.scheduler_->SharedBlocks();
        return std::find(shared.begin(), shared.end(), request) != shared.end();
    }
    void AddSharedBlock(const BlockRequest& request) override {
        std::deque<BlockRequest> one{request};
        task_.scheduler_->ReturnBlocks(one);
    }
    bool ReadBlock(int32_t piece, int32_t begin, std::span<uint8_t> out) override {
        if (!Ready() || !InRange(piece) || begin < 0 ||
            !task_.pieces_->IsVerified(PieceIndex(piece)) ||
            begin + static_cast<int64_t>(out.size()) >
                task_.pieces_->PieceSize(PieceIndex(piece))) {
            return false;
        }
        // Peers ask for a piece's blocks in order: one larger read serves the next ones too.
        const int64_t offset = int64_t{piece} * PieceLength() + begin;
        return task_.pieces_->ReadData(offset, out, kUploadReadAhead) ==
               static_cast<int64_t>(out.size());
    }
    void CountUploaded(int32_t bytes) override { task_.uploaded_payload_ += bytes; }
    int32_t PeerSlotTarget() override { return task_.peer_slot_target_; }
    int32_t PeersWithUnsentData() override { return task_.pending_senders_; }
    void NotePendingSend() override { ++task_.pending_senders_; }
    TPeerId* AddPeerAddress(uint32_t ip, int32_t port) override {
        return task_.AddPeerAddress(ip, port, false, 1);
    }
    bool HasPeerWithId(uint32_t ip, const std::array<uint8_t, 20>& peer_id,
                       const TPeerObject& except, bool incoming_only) override {
        return std::any_of(task_.active_.begin(), task_.active_.end(), [&](const auto& peer) {
            const TPeerId* source = peer->Source();
            return peer.get() != &except && peer->Type() == PeerKind::BtNode &&
                   peer->IsEstablished() && source != nullptr && source->ip == ip &&
                   source->peer_id == peer_id && (!incoming_only || peer->GetActivity().incoming);
        });
    }

    void StoreTrackerFigures(int32_t interval, int64_t done_peers, int64_t num_completed) override {
        tracker_interval_ = interval;
        tracker_done_peers_ = done_peers;
        tracker_completed_ = num_completed;
    }

  private:
    bool Ready() { return task_.IsPieceMapReady(); }
    bool InRange(int32_t piece) { return piece >= 0 && piece < task_.pieces_->piece_count(); }

    TWorkThread& task_;
    // The last tracker answer's figures, kept as reported (nothing steers by them).
    int32_t tracker_interval_ = 0;
    int64_t tracker_done_peers_ = 0;
    int64_t tracker_completed_ = 0;
};

TWorkThread::TWorkThread(SwarmRegistry& swarm)
    : TWorkWithTransStatis(swarm),
      peer_face_(std::make_unique<PeerFace>(*this)),
      scheduler_face_(std::make_unique<SchedulerFace>(*this)),
      scheduler_(std::make_unique<BlockScheduler>(*scheduler_face_)) {}

TWorkThread::~TWorkThread() {
    StopThread();
    // Peer objects point into the scheduler and the faces; they go first.
    TWorkWithPeers::Reset(true, false);
}

int32_t TWorkThread::Stop() {
    return StopThread() ? KF_OK : KF_ERR_INTERNAL;
}

int32_t TWorkThread::StartDownload() {
    return StartThread("StartDownload") ? KF_OK : KF_ERR_INTERNAL;
}

int32_t TWorkThread::ContinueDownload() {
    return StartThread("ContinueDownload") ? KF_OK : KF_ERR_INTERNAL;
}

int32_t TWorkThread::Pause() {
    return QThread::Pause(true) ? KF_OK : KF_ERR_INTERNAL;
}

void TWorkThread::SetStatus(int32_t status) {
    QTMutexLock hold(TaskLock());
    working_.status = status;
}

RefPtr<TPeerObject> TWorkThread::MakePeer(PeerKind kind) {
    if (kind == PeerKind::Http) {
        return RefPtr<TPeerObject>::Adopt(new THttpPeer(*peer_face_));
    }
    if (kind == PeerKind::Ftp) {
        return RefPtr<TPeerObject>::Adopt(new TFtpPeer(*peer_face_));
    }
    if (kind == PeerKind::BtNode) {
        return RefPtr<TPeerObject>::Adopt(new TBTPeer(*peer_face_));
    }
    if (kind == PeerKind::Tracker) {
        return RefPtr<TPeerObject>::Adopt(new TTrackerPeer(*peer_face_));
    }
    return {};
}

void TWorkThread::CountPeerTraffic(int32_t received, int32_t sent) {
    CountReceived(received);
    CountSent(sent);
}

void TWorkThread::ReportUnresolvable() {
    SetStatus(KF_STATUS_UNRESOLVABLE);
    Publish(true, false);
}

void TWorkThread::OnPeerLeaving(TPeerObject& peer) {
    scheduler_->OnPeerLeaving(peer.Work());
}

void TWorkThread::OnPieceVerified(int32_t piece) {
    scheduler_->OnPieceVerified(piece);
}

void TWorkThread::OnPieceMapReplaced(bool piece_length_changed) {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && peer->Source()->IsServerSource()) {
            peer->ReleaseRange();
        }
    }
    scheduler_->OnPieceMapRebuilt(piece_length_changed);
}

bool TWorkThread::Prepare() {
    if (Kind() != TaskKind::kHttp && !TorrentLocation().empty()) {
        SetState(TaskState::kIdle);
        if (IsFileLocation(TorrentLocation())) {
            std::optional<std::string> bytes =
                ReadFileBytes(TorrentLocation().substr(kFileSchemeLength), kMaxTorrentBytes);
            if (!bytes || bytes->size() <= 2 || (bytes->front() != 'd' && bytes->front() != 'D')) {
                SetStatus(KF_STATUS_TORRENT_UNREADABLE);
                RequestStop();
            } else {
                Resume().SetTorrent(std::move(*bytes));
            }
        }
        if (!StopRequestedNow() && !Resume().torrent().empty()) {
            BuildPieceMap();
        }
        SetState(TaskState::kRunning);
    }
    if (Kind() == TaskKind::kHttp) {
        // A task without metainfo that ran before knows its file already.
        if (const std::optional<PlainLayout> layout = PlainLayout::Decode(Resume().torrent())) {
            BuildPlainPieceMap(*layout);
        }
    }
    if (StopRequestedNow()) {
        return false;
    }
    const bool has_source =
        std::any_of(sources_.begin(), sources_.end(),
                    [](const SourceEntry& entry) { return !entry.text.empty(); });
    return Kind() == TaskKind::kHttp || IsPieceMapReady() || has_source;
}

void TWorkThread::Run() {
    completed_ = false;
    now_ = NowSeconds();
    last_second_tick_ = last_rates_tick_ = TickMilliseconds();
    last_save_time_ = last_cache_time_ = last_source_refresh_ = last_eight_second_ = now_;
    last_lan_time_ = last_have_time_ = last_peer_seen_ = now_;
    last_incoming_tick_ = 0;
    last_early_open_tick_ = 0;
    size_vote_since_ = 0;
    LoadResumeFile();
    bool metadata_timeout = false;
    bool no_source = false;
    if (Prepare()) {
        SetState(TaskState::kRunning);
        AddSourceLines(false, false);
        // The first connections go out now rather than at the first per-second step.
        OpenServerConnections();
        if (IsPieceMapReady()) {
            OpenPeerConnections();
        }
        Publish(true, true);
        while (!IsStopRequested()) {
            const bool was_completed = completed_;
            if (CompletionCheck(now_)) {
                char line[KF_TEXT_MAX + 64];
                snprintf(line, sizeof(line), "TID : %5lu] [%s is Download Complete",
                         CurrentThreadId(), TargetFile().c_str());
                EngineLogWrite(line, LogChannel::kTask);
                break;
            }
            if (completed_ && !was_completed) {
                PublishCompletion();
            }
            now_ = Tick();
            if (IsStopRequested()) {
                break;
            }
            if (now_ - last_source_refresh_ >= kSourceRefreshSeconds) {
                last_source_refresh_ = now_;
                AddSourceLines(false, false);
            }
            if (!IsPieceMapReady() && now_ - StartTime() > Settings().metadata_time_limit) {
                metadata_timeout = true;
                break;
            }
            if (!completed_ && NoSourceLeft()) {
                no_source = true;
                break;
            }
            if (now_ - last_eight_second_ >= 8) {
                last_eight_second_ = now_;
                DhtStep();
                if (++eight_second_passes_ % 4 == 0) {
                    scheduler_->SharedBlockUpkeep();
                    sources_changed_ = bitfield_changed_ = true;
                }
            }
            if (now_ - last_lan_time_ >= kLanSeconds) {
                last_lan_time_ = now_;
                LanStep();
            }
            if (torrent_arrived_) {
                torrent_arrived_ = false;
                const bool stored = Resume().torrent().empty();
                if (stored) {
                    Resume().SetTorrent(arrived_torrent_);
                }
                RebuildPieceMap();
                if (!IsPieceMapReady()) {
                    // Not metainfo (an error page, say): say so, and keep the bytes out of the
                    // resume file, or every later run would stop on them without asking again.
                    if (stored) {
                        Resume().SetTorrent(std::string());
                    }
                    SetStatus(KF_STATUS_TORRENT_UNREADABLE);
                    break;
                }
                // Building the map let go of the candidates; the sources come back at once.
                AddSourceLines(false, false);
                OpenServerConnections();
            }
        }
        if (!completed_) {
            CompletionCheck(NowSeconds());
        }
    }
    // A stopped task reports what it keeps: the pieces held in memory are written now (closing
    // the map would write them anyway) and counted, and the byte sums take in the last second.
    if (pieces_ && !completed_) {
        pieces_->WriteHeldPieces();
    }
    RefreshProgress();
    {
        QTMutexLock hold(TaskLock());
        working_.http_bytes = http_bytes_;
        working_.bt_bytes = bt_bytes_;
    }
    RestoreSourceMarks();
    // Closing the piece map produces its resume data; then the file is written (or deleted).
    Reset(false, false);
    SaveOrDeleteResumeFile();
    QTMutexLock hold(TaskLock());
    SetState(TaskState::kIdle);
    if (!completed_ && no_source) {
        working_.status = KF_STATUS_NO_SOURCE;
    } else if (!completed_ && metadata_timeout) {
        working_.status = KF_STATUS_NO_METADATA;
    }
    Publish(true, false);
}

void TWorkThread::LayOutFromServerSize() {
    // Without metainfo nothing checks the size a server states, and a short one would end in a
    // truncated file reported complete. So the size is taken when two servers agree on it, when
    // no other server can still answer, or, once the first answer is kSizeVoteSeconds old, from
    // the most servers (the first in candidate order on a tie). Servers that state another size
    // are refused by their own peers afterwards.
    struct Vote {
        int64_t size = 0;
        int32_t count = 0;
        const TPeerId* first = nullptr;
    };
    std::vector<Vote> votes;
    int32_t unanswered = 0;
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (!record->IsServerSource() || !record->HasUrlInfo() ||
            record->UrlInfo().fetch_to_memory) {
            continue;
        }
        const int64_t size = record->UrlInfo().content_length;
        if (size <= 0) {
            unanswered += (record->penalty <= 0 && !record->unresolvable) ? 1 : 0;
            continue;
        }
        auto vote = std::find_if(votes.begin(), votes.end(),
                                 [size](const Vote& known) { return known.size == size; });
        if (vote == votes.end()) {
            votes.push_back({size, 0, record.get()});
            vote = votes.end() - 1;
        }
        ++vote->count;
    }
    if (votes.empty()) {
        return;
    }
    if (size_vote_since_ == 0) {
        size_vote_since_ = now_;
    }
    const Vote& best = *std::max_element(
        votes.begin(), votes.end(), [](const Vote& a, const Vote& b) { return a.count < b.count; });
    if (best.count < 2 && unanswered > 0 && now_ - size_vote_since_ < kSizeVoteSeconds) {
        return;
    }
    const TPeerId& record = *best.first;
    PlainLayout layout;
    layout.size = best.size;
    layout.piece_length = PlainLayout::PieceLengthFor(layout.size);
    if (FullPath()) {
        layout.path = TargetFile();
    } else {
        layout.path = Folder();
        if (layout.path.empty() || layout.path.back() != '/') {
            layout.path += '/';
        }
        layout.path += PlainLayout::SafeFileName(record.UrlInfo().file_name);
    }
    if (BuildPlainPieceMap(layout)) {
        Publish(true, true);
    } else {
        RequestStop();  // the layout was refused (e.g. the disk cannot hold the file)
    }
}

bool TWorkThread::NoSourceLeft() {
    if (smoothed_speed_ != 0 || now_ - StartTime() <= kNoSourceGraceSeconds) {
        return false;
    }
    if ((Kind() == TaskKind::kHttp || !IsPieceMapReady()) && CandidateCount() == 0) {
        return true;
    }
    // Without a piece map only servers can deliver (there is no info-hash to find peers with):
    // when every one of them keeps failing (refused by its proxy, say) the task has no source,
    // which says more than running into the metadata time limit.
    if (IsPieceMapReady() || !active_.empty()) {
        return false;
    }
    return std::all_of(candidates_.records().begin(), candidates_.records().end(),
                       [](const RefPtr<TPeerId>& record) {
                           return record->IsServerSource() && record->connections == 0 &&
                                  record->reconnects >= kFailedAttempts && record->penalty > 0;
                       });
}

int64_t TWorkThread::Tick() {
    ServeReadRequests();
    PeerStep();
    const uint64_t tick = TickMilliseconds();
    if (tick - last_rates_tick_ >= kRatesPeriodMs) {
        last_rates_tick_ = tick;
        ComputePeerRates();
        TrimPeers();
        PeerUpkeep();
        DropBadSources();
    }
    WaitForTraffic(IdleSeeding() ? std::max(sleep_ms_, kIdleSeedingWaitMs) : sleep_ms_);
    return NowSeconds();
}

bool TWorkThread::IdleSeeding() {
    if (!completed_) {
        return false;
    }
    const bool serving = std::any_of(active_.begin(), active_.end(), [](const auto& peer) {
        return peer->Type() != PeerKind::Tracker;
    });
    if (serving) {
        last_peer_seen_ = now_;
    }
    return now_ - last_peer_seen_ > kIdleSeedingSeconds;
}

void TWorkThread::WaitForTraffic(int32_t ms) {
    wait_set_.Clear();
    waited_peers_.clear();
    ready_peers_.clear();
    listener_ready_ = false;
    for (const RefPtr<TPeerObject>& peer : active_) {
        const QSocket* conn = peer->Connection();
        if (conn != nullptr && conn->IsOpen()) {
            // Writability matters only while the connect is under way or bytes wait to be sent:
            // a connected socket is always writable, and waiting for it while the peer waits for
            // its first reply would turn the wait into a busy loop.
            const bool want_write = conn->QueuedLength() > 0 || !conn->Connected();
            wait_set_.Add(*conn, want_write);
            waited_peers_.push_back(peer.get());
        }
        const QSocket* data = peer->DataConnection();
        if (data != nullptr && data->IsOpen()) {
            wait_set_.Add(*data, !data->Connected());  // POLLOUT until connected
            waited_peers_.push_back(peer.get());
        }
        if (peer->Type() == PeerKind::Tracker) {
            const QUdpSocket& udp = static_cast<const TTrackerPeer&>(*peer).UdpSocket();
            if (udp.IsOpen()) {
                wait_set_.AddHandle(udp.Handle(), false);
                waited_peers_.push_back(peer.get());
            }
        }
    }
    // New connections wake the loop too; the incoming step then runs at once.
    const bool listener_waited = swarm_.AddListenerTo(wait_set_);
    if (listener_waited) {
        waited_peers_.push_back(nullptr);
    }
    if (waited_peers_.empty()) {
        SleepMilliseconds(ms);
        return;
    }
    if (wait_set_.Wait(ms) > 0) {
        for (size_t i = 0; i < waited_peers_.size(); ++i) {
            if (!wait_set_.Ready(i)) {
                continue;
            }
            if (waited_peers_[i] == nullptr) {
                listener_ready_ = true;
            } else {
                ready_peers_.push_back(waited_peers_[i]);
            }
        }
    }
}

void TWorkThread::PeerStep() {
    if (limits_changed_) {
        RecomputeCaps();
    }
    const uint64_t tick = TickMilliseconds();
    const bool second = tick - last_second_tick_ >= 1000;
    sleep_ms_ = loop_interval_ms_ + 1;
    if (second) {
        last_second_tick_ = tick;
        now_ = NowSeconds();
        PerSecondStep();
        pass_ = 0;
    }
    ++pass_;
    if (tick - last_incoming_tick_ >= kIncomingPeriodMs || listener_ready_) {
        last_incoming_tick_ = tick;
        listener_ready_ = false;
        IncomingStep();
    }
    // Peers a tracker just named are tried now, not up to a second later.
    if (peers_announced_ && !second && IsPieceMapReady() && !IsTaskComplete()) {
        OpenPeerConnections();
    }
    peers_announced_ = false;
    const auto ready = [this](const TPeerObject& peer) {
        return std::find(ready_peers_.begin(), ready_peers_.end(), &peer) != ready_peers_.end();
    };
    const int32_t period = std::max(peer_step_period_, 1);
    pending_senders_ = 0;
    ReceiveTurn(second || pass_ % period == 0, ready);
    SendTurn(second || pass_ % (3 * period) == 0, ready);
    if (pieces_ && !completed_) {
        // Once every piece is at least held in memory nothing more will arrive: write the held
        // pieces now so that the task completes without waiting for the cache's timers.
        const PiecesProgress progress = pieces_->Progress();
        if (progress.held_bytes > 0 &&
            progress.verified_bytes + progress.held_bytes >= progress.total_length) {
            pieces_->WriteHeldPieces();
        }
    }
    if (!IsPieceMapReady() && !StopRequestedNow()) {
        if (Kind() == TaskKind::kHttp) {
            LayOutFromServerSize();
        }
        if (tick - last_early_open_tick_ >= kEarlyOpenPeriodMs) {
            last_early_open_tick_ = tick;
            OpenServerConnections();
        }
    }
    if (second && TaskLock().TryLock()) {
        scheduler_->ClearStickyEndGame();
        // The byte sums go out with the progress: pieces finished since the per-second step
        // would otherwise be published as done before the bytes that made them.
        working_.http_bytes = http_bytes_;
        working_.bt_bytes = bt_bytes_;
        Publish(true, false);
        RefreshProgress();
        TaskLock().Unlock();
    }
}

void TWorkThread::PublishCompletion() {
    {
        QTMutexLock hold(TaskLock());
        working_.http_bytes = http_bytes_;
        working_.bt_bytes = bt_bytes_;
    }
    RefreshProgress();
    Publish(true, false);
}

void TWorkThread::PerSecondStep() {
    PerSecondStatistics(IsTaskComplete(), working_.completion_time != 0, now_ - StartTime());
    {
        QTMutexLock hold(TaskLock());
        working_.speed = smoothed_speed_;
        working_.seconds_left = remaining_seconds_;
        working_.average_download_speed = average_download_;
        working_.average_second_speed = average_upload_;
        working_.http_bytes = http_bytes_;
        working_.bt_bytes = bt_bytes_;
    }
    scheduler_->PruneSharedBlocks();
    if (pieces_) {
        if (now_ - last_save_time_ >= kSaveSeconds || save_now_) {
            last_save_time_ = now_;
            save_now_ = false;
            sleep_ms_ = sleep_ms_ / 2 + 1;
            if (!completed_) {
                pieces_->WriteHeldPieces();
                CompletionCheck(now_);
            }
            SaveOrDeleteResumeFile();
        }
        if (now_ - last_cache_time_ >= kCacheSeconds) {
            last_cache_time_ = now_;
            {
                QTMutexLock hold(TaskLock());
                pieces_->SetCacheUnits(settings_.cache_units);
                pieces_->SetPreallocate(true);
                Publish(true, false);
            }
            if (!completed_ && now_ - map_progress_time_ > kNoProgressSeconds) {
                SetStatus(KF_STATUS_NO_SOURCE);  // nothing arrived for a long time: say why
                RequestStop();
            }
            pieces_->CachePass();
            sleep_ms_ = sleep_ms_ / 2 + 1;
        }
    }
    if (now_ - last_have_time_ >= kHaveSeconds) {
        const std::vector<int32_t> haves = scheduler_->TakeHaveAnnouncements();
        if (!haves.empty()) {
            last_have_time_ = now_;
            AnnounceHaves(haves);
        }
    }
    if (!IsTaskComplete()) {
        OpenServerConnections();
        PerSecondPeerWork();
    }
    // Complete tasks keep announcing themselves, and with P2P off BT peers leave two a second.
    OpenPeerConnections();
}

void TWorkThread::Reset(bool full, bool keep) {
    TWorkWithTransStatis::Reset(full, keep);
    scheduler_->Reset();
}

}  // namespace kf
