#include "app/DisplayFormat.h"

#include <cstdio>

namespace kf::app {
namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = kKiB * 1024;
constexpr int64_t kGiB = kMiB * 1024;
constexpr int64_t kTiB = kGiB * 1024;

unsigned Unsigned(int32_t value) {
    return static_cast<unsigned>(value < 0 ? 0 : value);
}

}  // namespace

std::string DisplayFormat::Size(int64_t bytes) {
    char text[64];
    const auto value = static_cast<double>(bytes);
    if (bytes <= 0) {
        return {};
    }
    if (bytes < kKiB) {
        std::snprintf(text, sizeof(text), "%u B", static_cast<unsigned>(bytes));
    } else if (bytes < kMiB) {
        std::snprintf(text, sizeof(text), "%0.1f KB", value / static_cast<double>(kKiB));
    } else if (bytes < kGiB) {
        std::snprintf(text, sizeof(text), "%0.1f MB", value / static_cast<double>(kMiB));
    } else if (bytes < kTiB) {
        std::snprintf(text, sizeof(text), "%0.1f GB", value / static_cast<double>(kGiB));
    } else {
        std::snprintf(text, sizeof(text), "%0.1f TB", value / static_cast<double>(kTiB));
    }
    return text;
}

std::string DisplayFormat::Speed(uint32_t bytes_per_second) {
    char text[64];
    const auto value = static_cast<double>(bytes_per_second);
    if (bytes_per_second >= 0xCCCCCCCCu) {
        return "未知";
    }
    if (bytes_per_second >= kGiB) {
        std::snprintf(text, sizeof(text), "%0.1f GB/s", value / static_cast<double>(kGiB));
    } else if (bytes_per_second >= kMiB) {
        std::snprintf(text, sizeof(text), "%0.1f MB/s", value / static_cast<double>(kMiB));
    } else if (bytes_per_second < kKiB) {
        std::snprintf(text, sizeof(text), "%u B/s", bytes_per_second);
    } else {
        std::snprintf(text, sizeof(text), "%0.1f KB/s", value / static_cast<double>(kKiB));
    }
    return text;
}

std::string DisplayFormat::Percentage(int32_t hundredths) {
    char text[32];
    const unsigned value = Unsigned(hundredths);
    if (value == 0) {
        return "0%";
    }
    if (value % 100 != 0) {
        std::snprintf(text, sizeof(text), "%u.%02u%%", value / 100, value % 100);
    } else {
        std::snprintf(text, sizeof(text), "%u%%", value / 100);
    }
    return text;
}

std::string DisplayFormat::Decimal(int32_t hundredths) {
    char text[32];
    std::snprintf(text, sizeof(text), "%3.2f%%", static_cast<double>(Unsigned(hundredths)) / 100.0);
    return text;
}

std::string DisplayFormat::RowPercent(int32_t hundredths) {
    char text[32];
    const unsigned value = Unsigned(hundredths);
    std::snprintf(text, sizeof(text), "%u.%02u%%", value / 100, value % 100);
    return text;
}

}  // namespace kf::app
