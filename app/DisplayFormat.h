#pragma once

#include <cstdint>
#include <string>

namespace kf::app {

// The number formats the window shows (binary units, one decimal). Pure functions.
class DisplayFormat {
  public:
    // 0 → empty; "%u B"; "%0.1f KB", "MB", "GB", "TB".
    static std::string Size(int64_t bytes);
    // "未知" from 0xCCCCCCCC up; "%u B/s" below 1024; else "%0.1f KB/s", "MB/s", "GB/s".
    static std::string Speed(uint32_t bytes_per_second);
    // Hundredths of a percent: "0%", "50%", "50.25%", "0.07%".
    static std::string Percentage(int32_t hundredths);
    // The big percentage of the window: "%3.2f%%".
    static std::string Decimal(int32_t hundredths);
    // The list's "%u.%02u%%".
    static std::string RowPercent(int32_t hundredths);
};

}  // namespace kf::app
