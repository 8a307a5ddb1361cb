#include "engine/task/TWorkThread.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineLog.h"
#include "engine/os/DiskSpace.h"
#include "engine/os/FileBytes.h"
#include "engine/os/FileSystem.h"
#include "engine/os/ThreadId.h"
#include "engine/os/Tick.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TFtpPeer.h"
#include "engine/peers/THttpPeer.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/task/PeerFace.h"
#include "engine/task/SchedulerFace.h"
#include "engine/task/SwarmRegistry.h"

namespace kf {
namespace {

constexpr char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;
constexpr int64_t kSaveSeconds = 20;
// Without a download limit verified pieces wait in memory at most this long: a killed process
// loses only what arrived since, because the start check finds on disk what the last resume
// record did not claim.
constexpr int64_t kHeldWriteSeconds = 2;
constexpr int64_t kCacheSeconds = 6;
constexpr int64_t kSourceRefreshSeconds = 15;
constexpr int64_t kNoProgressSeconds = 900;
constexpr int64_t kNoSourceGraceSeconds = 15;
// Before the piece map exists connections are opened on every pass, but not more often than
// this: a refused source's back-off counts down once per attempt.
constexpr uint64_t kEarlyOpenPeriodMs = 100;
// A DHT lookup's replies arrive within milliseconds; its peers are tried this soon after.
constexpr uint64_t kDhtHarvestPeriodMs = 100;
// A source that was tried this often without a piece map in sight, and is backing off again,
// counts as gone.
constexpr int32_t kFailedAttempts = 3;
constexpr uint64_t kRatesPeriodMs = 4000;
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

int32_t TWorkThread::Restart() {
    EngineLogWrite("Download Restarted..", LogChannel::kRestart);
    if (!StopThread()) {
        return KF_ERR_INTERNAL;
    }
    os::FileSystem files;
    for (const std::string& path : RestartFiles()) {
        files.Remove(path);
    }
    ClearProgress();
    Reset(true, true);
    return Start();
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

bool TWorkThread::Prepare() {
    TakeIpFilter();
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
    last_have_time_ = last_peer_seen_ = now_;
    // The LAN query goes out as soon as the task can send it.
    last_lan_time_ = now_ - kLanSeconds;
    last_incoming_tick_ = 0;
    last_early_open_tick_ = 0;
    last_dht_tick_ = 0;
    size_vote_since_ = 0;
    if (!TakeOwnership()) {
        QTMutexLock hold(TaskLock());
        SetState(TaskState::kIdle);
        working_.status = KF_STATUS_IN_USE;
        Publish(true, false);
        return;
    }
    LoadResumeFile();
    bool metadata_timeout = false;
    bool no_source = false;
    if (Prepare()) {
        SetState(TaskState::kRunning);
        // The first connections size their buffers and requests by the download limit.
        RecomputeCaps();
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
                // A step that could not run yet (no multicast socket, no piece map) is tried
                // again a second later rather than a whole period.
                last_lan_time_ = LanStep() ? now_ : now_ - kLanSeconds + 1;
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
    // The swarm stops handing out a peer that is gone.
    AnnounceStopped();
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
    owner_lock_.Release();
}

bool TWorkThread::TakeOwnership() {
    if (ResumePath().empty()) {
        return true;  // nothing on disk to share
    }
    const std::string lock_path = ResumePath() + ".lock";
    os::FileSystem files;
    files.CreateFolders(os::FolderOf(lock_path));
    switch (owner_lock_.Take(lock_path)) {
        case os::FileLock::Result::kTaken:
            return true;
        case os::FileLock::Result::kHeldElsewhere:
            EngineLogWrite("Resume file in use by another download: " + ResumePath(),
                           LogChannel::kTask);
            return false;
        case os::FileLock::Result::kFailed:
            break;
    }
    // A folder we may not write to fails the download later with a clear status; the lock alone
    // never stops it.
    EngineLogWrite("No lock beside the resume file: " + lock_path, LogChannel::kTask);
    return true;
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
        NoteDiskBytes();
    }
    WaitForTraffic(IdleSeeding() ? std::max(sleep_ms_, kIdleSeedingWaitMs) : sleep_ms_);
    return NowSeconds();
}

void TWorkThread::NoteDiskBytes() {
    int64_t allocated = 0;
    if (pieces_) {
        for (size_t i = 0; i < pieces_->FileCount(); ++i) {
            allocated += std::max<int64_t>(
                AllocatedBytes(pieces_->File(FileIndex(static_cast<int64_t>(i))).final_path), 0);
        }
    }
    QTMutexLock hold(TaskLock());
    working_.allocated_bytes = allocated;
}

void TWorkThread::NoteHoldings() {
    int32_t servers = 0;
    int32_t peers = 0;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (IsServerSource(peer->Type()) && peer->IsConnected()) {
            ++servers;
        } else if (peer->Type() == PeerKind::BtNode && peer->IsEstablished()) {
            ++peers;
        }
    }
    QTMutexLock hold(TaskLock());
    working_.active_objects = static_cast<int32_t>(active_.size());
    working_.candidates = CandidateCount();
    working_.servers = servers;
    working_.peers = peers;
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
    // Before the per-second step, whose connections then include what the DHT just found.
    if (tick - last_dht_tick_ >= kDhtHarvestPeriodMs && !IsTaskComplete()) {
        last_dht_tick_ = tick;
        peers_announced_ |= DhtHarvest();
    }
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
    // Peers a tracker or the DHT just named are tried now, not up to a second later.
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
        // pieces now so that the task completes without waiting for the cache's timers. Under a
        // download limit pieces come slowly and each write is small, so they go at once: a
        // killed process then loses no verified piece.
        const PiecesProgress progress = pieces_->Progress();
        if (progress.held_bytes > 0 &&
            (DownloadLimitNow() > 0 ||
             progress.verified_bytes + progress.held_bytes >= progress.total_length)) {
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
    RefreshIpFilter();
    PerSecondStatistics(IsTaskComplete(), working_.completion_time != 0, now_ - StartTime());
    NoteHoldings();
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
    DropBannedPeers();
    PerSecondBtPeerCalls();
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
        } else if (now_ - last_held_write_ >= kHeldWriteSeconds && !completed_) {
            last_held_write_ = now_;
            pieces_->WriteHeldPieces();
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
        const std::vector<PieceIndex> haves = scheduler_->TakeHaveAnnouncements();
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

std::vector<std::string> TWorkThread::TorrentTrackers() {
    if (!pieces_ || pieces_->torrent() == nullptr) {
        return {};
    }
    return pieces_->torrent()->trackers();
}

void TWorkThread::Reset(bool full, bool keep) {
    TWorkWithTransStatis::Reset(full, keep);
    scheduler_->Reset();
    blame_.ForgetPieces();
}

}  // namespace kf
