#include "engine/task/SourceEntry.h"

namespace kf {
namespace {

bool IsTrimmed(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
}

std::string Trim(std::string_view line) {
    while (!line.empty() && IsTrimmed(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && IsTrimmed(line.back())) {
        line.remove_suffix(1);
    }
    return std::string(line);
}

}  // namespace

std::vector<std::string> SplitSourceLines(const char* text) {
    std::vector<std::string> lines;
    if (text == nullptr) {
        return lines;
    }
    const std::string_view all(text);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(Trim(all.substr(start)));
            break;
        }
        lines.push_back(Trim(all.substr(start, end - start)));
        start = end + ((all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

}  // namespace kf
