#pragma once

#include <cstdint>

#include "engine/task/TWorkWithPieces.h"

namespace kf {

// Transfer statistics and rate limits of a task: per-second byte counters, the sums and speeds the
// engine calls report, the loop timing chosen from the traffic, and the per-second download and
// upload allowances that the peer objects respect.
class TWorkWithTransStatis : public TWorkWithPieces {
  public:
    // Caps in bytes per second when no limit is set, and the floor of any cap.
    static constexpr int32_t kUnlimitedCap = 1048576000;
    static constexpr int32_t kMinimumCap = 3072;

    using TWorkWithPieces::TWorkWithPieces;

    void Reset(bool full, bool keep) override;

  protected:
    // Counting, from the peer turns.
    void CountReceived(int32_t bytes) { received_this_second_ += bytes; }
    void CountSent(int32_t bytes) { sent_this_second_ += bytes; }
    // Payload accepted by the piece map; `peer_kind` 1 BT, 2 HTTP (FTP counts in neither sum).
    void CountWritten(int32_t peer_kind, int32_t bytes);

    // Takes the caps from the settings (at start, each second, and at once after a limit change).
    void RecomputeCaps();
    int32_t DownloadAllowanceNow() const;
    int32_t DownloadLimitNow() const;
    int32_t UploadAllowanceNow() const;

    // Every 4 seconds: each peer's rates from the bytes of its window, and the task's sums.
    void ComputePeerRates();
    // The per-second conversion: sums, smoothed speed, loop timing, averages, the estimate, peer
    // targets and caps; then the per-second counters start again. `complete`: every piece verified.
    void PerSecondStatistics(bool complete, bool has_completion_time, int64_t seconds_running);

    int32_t received_this_second_ = 0;
    int32_t sent_this_second_ = 0;
    int32_t written_this_second_ = 0;
    int64_t download_sum_ = 0;
    int64_t upload_sum_ = 0;
    int64_t http_bytes_ = 0;
    int64_t bt_bytes_ = 0;
    int32_t download_rate_ = 0;  // sums of the peers' 4-second rates
    int32_t upload_rate_ = 0;
    int32_t smoothed_speed_ = 0;
    int32_t average_download_ = 0;
    int32_t average_upload_ = 0;
    int32_t remaining_seconds_ = 0;
    int32_t download_cap_ = kUnlimitedCap;
    int32_t upload_cap_ = kUnlimitedCap;
    // Loop timing: the pause per pass (ms) and how often slow peers are served (passes).
    int32_t loop_interval_ms_ = 6;
    int32_t peer_step_period_ = 5;
};

}  // namespace kf
