#include "NfqDelayOptions.h"

#include <charconv>
#include <optional>

namespace kf {
namespace {

std::optional<int64_t> Number(std::string_view text, int64_t low, int64_t high) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::variant<NfqDelayOptions, std::string> NfqDelayOptions::Parse(
    std::span<const std::string_view> args) {
    NfqDelayOptions options;
    bool have_queue = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::string_view value;
        if (size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return "missing value for " + std::string(name);
        }
        struct Field {
            std::string_view name;
            int64_t low, high;
        };
        static constexpr Field kFields[] = {{"--queue", 0, 65535},
                                            {"--delay-ms", 0, kMaxDelayMs},
                                            {"--loss", 0, 100},
                                            {"--capacity", 1, kMaxCapacity}};
        const Field* field = nullptr;
        for (const Field& candidate : kFields) {
            if (candidate.name == name) {
                field = &candidate;
            }
        }
        if (field == nullptr) {
            return "unknown option " + std::string(name);
        }
        std::optional<int64_t> number = Number(value, field->low, field->high);
        if (!number) {
            return std::string(name) + " takes a number from " + std::to_string(field->low) +
                   " to " + std::to_string(field->high);
        }
        if (name == "--queue") {
            options.queue = static_cast<uint16_t>(*number);
            have_queue = true;
        } else if (name == "--delay-ms") {
            options.delay_ms = static_cast<int32_t>(*number);
        } else if (name == "--loss") {
            options.loss_percent = static_cast<int32_t>(*number);
        } else {
            options.capacity = static_cast<int32_t>(*number);
        }
    }
    if (!have_queue) {
        return std::string("--queue is required");
    }
    return options;
}

}  // namespace kf
