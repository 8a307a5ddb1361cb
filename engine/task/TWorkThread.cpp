#include "engine/task/TWorkThread.h"

#include <strings.h>

#include "engine/os/FileBytes.h"

namespace kf {
namespace {

constexpr char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;

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

std::string TWorkThread::TorrentBytes() {
    QTMutexLock hold(TaskLock());
    return torrent_bytes_;
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
                QTMutexLock hold(TaskLock());
                torrent_bytes_ = std::move(*bytes);
            }
        }
        SetState(kTaskRunning);
    }
    bool has_source = false;
    for (const SourceEntry& entry : sources_) {
        has_source = has_source || !entry.text.empty();
    }
    return Kind() == TaskKind::kHttp || has_source;
}

void TWorkThread::Run() {
    if (Prepare()) {
        SetState(kTaskRunning);
        Publish(true, true);
        while (!IsStopRequested()) {
            SleepMilliseconds(100);
        }
    }
    QTMutexLock hold(TaskLock());
    working_.state = kTaskIdle;
    Publish(true, false);
}

}  // namespace kf
