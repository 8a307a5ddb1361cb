#pragma once

#include <cstdint>

namespace kf {

// A task's tunable limits. Validate() replaces every value outside its range by its default; it
// runs whenever a limit changes.
struct TaskSettings {
    int32_t peer_limit = 52;             // 1..20480 base number of peer connections
    int32_t per_source_connections = 1;  // 1..20 connections at once to one server source
    int32_t cache_units = 64;            // 1..8000 write-back cache in units of 256 KiB
    int32_t seeding_hours = 12;          // 0..20480 how long a complete task keeps running
    int32_t download_limit_kib = 0;      // 0..32766 KB/s, 0 = none
    int32_t upload_limit_kib = 0;        // 0..32766 KB/s, 0 = none
    bool random_piece_start = true;
    bool use_dht = true;
    bool quick_check = false;
    int32_t metadata_time_limit = 45;  // seconds a task may run without a piece map

    void Validate() {
        Clamp(peer_limit, 1, 20480, 52);
        Clamp(per_source_connections, 1, 20, 1);
        Clamp(cache_units, 1, 8000, 64);
        Clamp(seeding_hours, 0, 20480, 12);
        Clamp(download_limit_kib, 0, 32766, 0);
        Clamp(upload_limit_kib, 0, 32766, 0);
    }

  private:
    static void Clamp(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
        if (value < low || value > high) {
            value = fallback;
        }
    }
};

}  // namespace kf
