#include "engine/task/TWorkThread.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>

#include "engine/CKestrelfetchLogApi.h"
#include "engine/net/EngineClock.h"
#include "engine/os/FileBytes.h"
#include "engine/os/Tick.h"

namespace kf {
namespace {

constexpr char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;
constexpr int32_t kTaskChannel = 23;
constexpr int64_t kSaveSeconds = 20;
constexpr int64_t kCacheSeconds = 6;
constexpr int64_t kNoProgressSeconds = 900;
constexpr int64_t kNoSourceGraceSeconds = 15;

bool IsFileLocation(const std::string& location) {
    return location.size() >= kFileSchemeLength &&
           strncasecmp(location.c_str(), kFileScheme, kFileSchemeLength) == 0;
}

}  // namespace

TWorkThread::~TWorkThread() {
    StopThread();
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

void TWorkThread::SetState(int32_t state) {
    QTMutexLock hold(TaskLock());
    working_.state = state;
}

bool TWorkThread::Prepare() {
    if (Kind() != TaskKind::kHttp && !TorrentLocation().empty()) {
        SetState(kTaskIdle);
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
        if (!IsStopRequested() && !Resume().torrent().empty()) {
            BuildPieceMap();
        }
        SetState(kTaskRunning);
    }
    if (IsStopRequested()) {
        return false;
    }
    bool has_source = false;
    for (const SourceEntry& entry : sources_) {
        has_source = has_source || !entry.text.empty();
    }
    return Kind() == TaskKind::kHttp || IsPieceMapReady() || has_source;
}

void TWorkThread::Run() {
    completed_ = false;
    last_second_tick_ = TickMilliseconds();
    last_save_time_ = last_cache_time_ = NowSeconds();
    LoadResumeFile();
    bool metadata_timeout = false;
    bool no_source = false;
    if (Prepare()) {
        SetState(kTaskRunning);
        Publish(true, true);
        int64_t now = NowSeconds();
        while (!IsStopRequested()) {
            if (CompletionCheck(now)) {
                char line[KF_TEXT_MAX + 64];
                snprintf(line, sizeof(line), "TID : %5lu] [%s is Download Complete",
                         static_cast<unsigned long>(Generation()), TargetFile().c_str());
                EngineLogWrite(line, kTaskChannel);
                break;
            }
            now = Tick();
            if (IsStopRequested()) {
                break;
            }
            if (!IsPieceMapReady() && now - StartTime() > Settings().metadata_time_limit) {
                metadata_timeout = true;
                break;
            }
            if (!completed_ && NoSourceLeft(now)) {
                no_source = true;
                break;
            }
        }
        if (!completed_) {
            CompletionCheck(NowSeconds());
        }
    }
    RestoreSourceMarks();
    // Closing the piece map produces its resume data; then the file is written (or deleted).
    Reset(false, false);
    SaveOrDeleteResumeFile();
    {
        QTMutexLock hold(TaskLock());
        working_.state = kTaskIdle;
        if (!completed_ && no_source) {
            working_.status = KF_STATUS_NO_SOURCE;
        } else if (!completed_ && metadata_timeout) {
            working_.status = KF_STATUS_NO_METADATA;
        }
        Publish(true, false);
    }
}

bool TWorkThread::NoSourceLeft(int64_t now) {
    if (smoothed_speed_ != 0) {
        return false;
    }
    return now - StartTime() > kNoSourceGraceSeconds &&
           (Kind() == TaskKind::kHttp || !IsPieceMapReady()) && CandidateCount() == 0;
}

int64_t TWorkThread::Tick() {
    ServeReadRequests();
    const uint64_t tick = TickMilliseconds();
    sleep_ms_ = loop_interval_ms_ + 1;
    if (tick - last_second_tick_ >= 1000) {
        last_second_tick_ = tick;
        const int64_t now = NowSeconds();
        PerSecondStep(now);
        if (TaskLock().TryLock()) {
            Publish(true, false);
            RefreshProgress();
            TaskLock().Unlock();
        }
    }
    SleepPass();
    return NowSeconds();
}

void TWorkThread::PerSecondStep(int64_t now) {
    PerSecondStatistics(IsTaskComplete(), working_.completion_time != 0, now - StartTime());
    {
        QTMutexLock hold(TaskLock());
        working_.speed = smoothed_speed_;
        working_.seconds_left = remaining_seconds_;
        working_.average_download_speed = average_download_;
        working_.average_second_speed = average_upload_;
        working_.http_bytes = http_bytes_;
        working_.bt_bytes = bt_bytes_;
    }
    if (!pieces_) {
        return;
    }
    if (now - last_save_time_ >= kSaveSeconds || save_now_) {
        last_save_time_ = now;
        save_now_ = false;
        sleep_ms_ = sleep_ms_ / 2 + 1;
        if (!completed_) {
            pieces_->WriteHeldPieces();
            CompletionCheck(now);
        }
        SaveOrDeleteResumeFile();
    }
    if (now - last_cache_time_ >= kCacheSeconds) {
        last_cache_time_ = now;
        {
            QTMutexLock hold(TaskLock());
            pieces_->SetCacheUnits(settings_.cache_units);
            pieces_->SetPreallocate(true);
            Publish(true, false);
        }
        if (!completed_ && now - map_progress_time_ > kNoProgressSeconds) {
            RequestStop();
        }
        pieces_->CachePass();
        sleep_ms_ = sleep_ms_ / 2 + 1;
    }
}

void TWorkThread::SleepPass() {
    SleepMilliseconds(sleep_ms_);
}

}  // namespace kf
