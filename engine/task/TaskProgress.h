#pragma once

#include <cstdint>
#include <string>

#include "engine/content/TaskState.h"

namespace kf {

// The progress snapshot: the worker writes a working copy and publishes it under the task lock;
// the engine calls read only the published copy.
struct TaskProgress {
    TaskState state = TaskState::kIdle;
    int32_t status = 0;
    std::string name;
    int64_t total_bytes = 0;
    int64_t bytes_done = 0;
    int64_t verified_bytes = 0;
    int32_t piece_count = 0;
    int32_t verified_pieces = 0;
    int32_t piece_length = 0;
    int64_t last_verified_run_bytes = 0;
    int32_t average_download_speed = 0;
    int32_t average_second_speed = 0;
    int32_t speed = 0;  // smoothed download speed
    int32_t seconds_left = 0;
    int64_t completion_time = 0;  // 0 while incomplete
    bool still_seeding = true;
    int64_t http_bytes = 0;
    int64_t bt_bytes = 0;
    // What the task holds: live objects and candidates, and of the live ones the connected
    // servers and the BT peers past their handshake (each second); bytes its files take on disk
    // (every 4 seconds).
    int32_t active_objects = 0;
    int32_t candidates = 0;
    int32_t servers = 0;
    int32_t peers = 0;
    int64_t allocated_bytes = 0;
    // Of the metainfo, once there is a piece map: its comment and the first target file.
    std::string comment;
    std::string first_file;

    // Progress in units of 1/10000; 0 while the total is unknown.
    int32_t Progress() const {
        if (total_bytes <= 0) {
            return 0;
        }
        const int64_t done = bytes_done < 0 ? 0 : bytes_done;
        // done * 10000 overflows only beyond 922 TB; divide first for such totals.
        const int64_t progress = total_bytes > (INT64_MAX / 10000) ? done / (total_bytes / 10000)
                                                                   : done * 10000 / total_bytes;
        return static_cast<int32_t>(progress > 10000 ? 10000 : progress);
    }
};

}  // namespace kf
