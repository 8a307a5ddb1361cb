#include "engine/dht/DhtNodeList.h"

#include <algorithm>

namespace kf {

std::optional<uint16_t> ParseDhtPort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int port = std::stoi(std::string(digits));
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

std::optional<std::vector<std::string>> ParseDhtNodeList(std::string_view text) {
    std::vector<std::string> entries;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(", \t\r\n", at);
        const std::string_view entry =
            text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (entry.empty()) {
            continue;
        }
        const size_t colon = entry.rfind(':');
        if (entry.size() > kMaxDhtNodeEntryLength || colon == std::string_view::npos ||
            colon == 0 || entries.size() >= kMaxDhtNodeEntries) {
            return std::nullopt;
        }
        if (!ParseDhtPort(entry.substr(colon + 1))) {
            return std::nullopt;
        }
        entries.emplace_back(entry);
    }
    return entries;
}

}  // namespace kf
