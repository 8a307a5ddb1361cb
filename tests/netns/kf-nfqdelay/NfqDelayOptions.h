#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace kf {

// The command line of kf-nfqdelay:
//   --queue N (0-65535, required)  --delay-ms D (0-60000, default 0)  --loss P (0-100, default 0)
//   --capacity N (1-1000000 held packets, default 65536)
// Each option takes its value as the next argument or after "=". Parse answers the options or a
// one-line reason; it never throws and reads nothing beyond the arguments given.
struct NfqDelayOptions {
    static constexpr int64_t kMaxDelayMs = 60000;
    static constexpr int64_t kMaxCapacity = 1000000;

    uint16_t queue = 0;
    int32_t delay_ms = 0;
    int32_t loss_percent = 0;
    int32_t capacity = 65536;

    static std::variant<NfqDelayOptions, std::string> Parse(std::span<const std::string_view> args);
};

}  // namespace kf
