#pragma once

#include <cstdint>
#include <string>

namespace kf {

// The caller's figures of one download report (ReportDownload's arguments). Texts are UTF-8 and
// may hold any bytes: the report escapes them.
struct DownloadReport {
    std::string server_ip;
    std::string http_result;
    uint32_t total_time = 0;  // seconds
    uint64_t total_bytes = 0;
    uint64_t average_speed = 0;
    std::string progress;
    uint64_t http_bytes = 0;
    uint64_t http_speed = 0;
    uint64_t p2p_bytes = 0;
    uint64_t p2p_speed = 0;
    uint32_t corrupt_piece = 0;
    std::string file_name;
    std::string url;
    std::string error_message;
};

}  // namespace kf
