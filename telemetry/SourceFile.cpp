#include "telemetry/SourceFile.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string_view>

namespace kf {

std::optional<std::string> SourceFile::Read(const std::string& path, size_t cap) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes(cap, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(cap));
    if (in.bad()) {
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

std::string SourceFile::FirstLine(const std::string& path) {
    const std::optional<std::string> bytes = Read(path, 4096);
    if (!bytes) {
        return {};
    }
    return Trim(std::string_view(*bytes).substr(0, bytes->find('\n')));
}

std::vector<std::string> SourceFile::List(const std::string& folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return names;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        if (names.size() >= kMaxNames) {
            break;
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string SourceFile::Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace kf
