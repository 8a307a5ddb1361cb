#pragma once

#include <cstdint>
#include <string>

namespace kf::app {

// The figures a "full" event carries (the design's statistics record).
struct DownloadStatistics {
    std::string progress;        // overall progress as the percentage text ("50.25%")
    int64_t active_seconds = 0;  // seconds this process has been downloading since the start
    int64_t http_bytes = 0;      // over the three files: from HTTP sources
    int64_t bt_bytes = 0;        // from BitTorrent peers
    int64_t total_bytes = 0;     // their sum, 0 if negative
    int64_t session_bytes = 0;   // downloaded total minus the one saved by the previous session
    int64_t total_speed = 0;     // each of the three byte counts ÷ the active seconds
    int64_t http_speed = 0;
    int64_t bt_speed = 0;
};

// The info texts of the events the controller submits: members-only JSON fragments that start
// with a comma, so that the telemetry layer can join them to its own members of the same object.
// The member names live here and nowhere else.
class EventReport {
  public:
    // What a record's flags ask the telemetry layer to add: the processor, memory and video-card
    // lists.
    static constexpr uint32_t kHardwareLists = 7;

    // An "event" report: the message text and the record's flags, if any.
    static std::string Plain(const std::string& message, uint32_t flags = 0);
    // A "file" report: the file name and the message.
    static std::string File(const std::string& file_name, const std::string& message);
    // A "full" report: the statistics and, for an unexplained exit, its error message.
    static std::string Full(const DownloadStatistics& statistics,
                            const std::string& error_message = {});
};

}  // namespace kf::app
