#include "engine/task/TWorkWithTransStatis.h"

#include <algorithm>

#include "engine/base/EngineGlobals.h"

namespace kf {
namespace {

int32_t CapFor(int32_t limit_kib) {
    const int64_t wanted =
        limit_kib > 0 ? int64_t{limit_kib} * 1024 : TWorkWithTransStatis::kUnlimitedCap;
    return static_cast<int32_t>(std::max<int64_t>(wanted, TWorkWithTransStatis::kMinimumCap));
}

}  // namespace

void TWorkWithTransStatis::CountWritten(int32_t peer_kind, int32_t bytes) {
    written_this_second_ += bytes;
    if (peer_kind == 1) {
        bt_bytes_ += bytes;
    } else if (peer_kind == 2) {
        http_bytes_ += bytes;
    }
}

int32_t TWorkWithTransStatis::DownloadAllowanceNow() const {
    return std::max(download_cap_ - received_this_second_, 0);
}

int32_t TWorkWithTransStatis::DownloadLimitNow() const {
    return download_cap_ == kUnlimitedCap ? 0 : download_cap_;
}

int32_t TWorkWithTransStatis::UploadAllowanceNow() const {
    return std::max(upload_cap_ - sent_this_second_, 0);
}

void TWorkWithTransStatis::PerSecondStatistics(bool complete, bool has_completion_time,
                                               int64_t seconds_running) {
    const int32_t amount = complete ? written_this_second_ : received_this_second_;
    download_sum_ += amount;
    upload_sum_ += sent_this_second_;
    smoothed_speed_ = complete ? 0 : (3 * written_this_second_ + smoothed_speed_) / 4;

    const int32_t traffic = complete ? sent_this_second_ : received_this_second_;
    if (traffic >= 3145729) {
        loop_interval_ms_ = 1, peer_step_period_ = 14;
    } else if (traffic >= 1536001) {
        loop_interval_ms_ = 2, peer_step_period_ = 9;
    } else if (traffic >= 819201) {
        loop_interval_ms_ = 3, peer_step_period_ = 7;
    } else if (traffic < 307201) {
        loop_interval_ms_ = 5, peer_step_period_ = 5;
    } else {
        loop_interval_ms_ = 4, peer_step_period_ = 6;
    }

    const int64_t seconds = std::max<int64_t>(seconds_running, 1);
    if (!complete) {
        average_download_ = static_cast<int32_t>(download_sum_ / seconds);
    }
    average_upload_ = static_cast<int32_t>(upload_sum_ / seconds);

    remaining_seconds_ = 0;
    if ((!has_completion_time || !complete) && download_rate_ >= 1024) {
        QTMutexLock hold(TaskLock());
        const int64_t left = int64_t{working_.piece_length} *
                             (working_.piece_count - working_.verified_pieces) / download_rate_;
        remaining_seconds_ = static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX));
    }

    peer_limit_ = std::max((download_rate_ + upload_rate_) / 4096 + 8, 52);
    const int32_t lower = std::max(upload_rate_ / 8192 - 8, 8);
    int32_t target = upload_rate_ / 16384 - 8;
    if (target < lower) {
        target = std::min(lower, 20);
    }
    target = std::min(target, 48);
    while (!EngineGlobals::Instance().reachable && target < 6) {
        ++target;
    }
    peer_slot_target_ = target;

    received_this_second_ = 0;
    sent_this_second_ = 0;
    written_this_second_ = 0;

    RecomputeCaps();
}

void TWorkWithTransStatis::RecomputeCaps() {
    limits_changed_ = false;
    const TaskSettings settings = Settings();
    download_cap_ = CapFor(settings.download_limit_kib);
    upload_cap_ = CapFor(settings.upload_limit_kib);
}

void TWorkWithTransStatis::ComputePeerRates() {
    int64_t download = 0;
    int64_t upload = 0;
    for (const RefPtr<TPeerObject>& peer : active_) {
        // Divided by three, not four: the peer limits and targets derived from these rates
        // assume it.
        const TPeerObject::Window window = peer->TakeRateWindow();
        peer->SetRates(static_cast<int32_t>(window.received / 3),
                       static_cast<int32_t>(window.sent / 3));
        download += peer->GetRates().download_rate;
        upload += peer->GetRates().upload_rate;
    }
    download_rate_ = static_cast<int32_t>(std::min<int64_t>(download, INT32_MAX));
    upload_rate_ = static_cast<int32_t>(std::min<int64_t>(upload, INT32_MAX));
}

void TWorkWithTransStatis::Reset(bool full, bool keep) {
    received_this_second_ = sent_this_second_ = written_this_second_ = 0;
    download_sum_ = upload_sum_ = http_bytes_ = bt_bytes_ = 0;
    download_rate_ = upload_rate_ = smoothed_speed_ = 0;
    average_download_ = average_upload_ = remaining_seconds_ = 0;
    download_cap_ = upload_cap_ = kUnlimitedCap;
    loop_interval_ms_ = 6;
    peer_step_period_ = 5;
    peer_limit_ = 52;
    TWorkWithPieces::Reset(full, keep);
}

}  // namespace kf
