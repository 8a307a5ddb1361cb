#include "app/DisplayFormat.h"

#include <charconv>
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

// "%.Nf" without the C locale's say: the window's toolkit adopts the user's locale at start, and
// a decimal comma must not turn "1.0 KB" into "1,0 KB".
std::string Fixed(double value, int precision, const char* unit) {
    char text[64];
    const std::to_chars_result end =
        std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, precision);
    return std::string(text, end.ptr) + unit;
}

}  // namespace

std::string DisplayFormat::Size(int64_t bytes) {
    const auto value = static_cast<double>(bytes);
    if (bytes <= 0) {
        return {};
    }
    if (bytes < kKiB) {
        return std::to_string(bytes) + " B";
    }
    if (bytes < kMiB) {
        return Fixed(value / static_cast<double>(kKiB), 1, " KB");
    }
    if (bytes < kGiB) {
        return Fixed(value / static_cast<double>(kMiB), 1, " MB");
    }
    if (bytes < kTiB) {
        return Fixed(value / static_cast<double>(kGiB), 1, " GB");
    }
    return Fixed(value / static_cast<double>(kTiB), 1, " TB");
}

std::string DisplayFormat::Speed(uint32_t bytes_per_second) {
    const auto value = static_cast<double>(bytes_per_second);
    if (bytes_per_second >= 0xCCCCCCCCu) {
        return "未知";
    }
    if (bytes_per_second >= kGiB) {
        return Fixed(value / static_cast<double>(kGiB), 1, " GB/s");
    }
    if (bytes_per_second >= kMiB) {
        return Fixed(value / static_cast<double>(kMiB), 1, " MB/s");
    }
    if (bytes_per_second < kKiB) {
        return std::to_string(bytes_per_second) + " B/s";
    }
    return Fixed(value / static_cast<double>(kKiB), 1, " KB/s");
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
    return Fixed(static_cast<double>(Unsigned(hundredths)) / 100.0, 2, "%");
}

std::string DisplayFormat::RowPercent(int32_t hundredths) {
    char text[32];
    const unsigned value = Unsigned(hundredths);
    std::snprintf(text, sizeof(text), "%u.%02u%%", value / 100, value % 100);
    return text;
}

}  // namespace kf::app
