#include "app/platform/IniText.h"

#include <algorithm>

namespace kf::app {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return lower;
}

bool Fail(std::string* error, int line, const std::string& what) {
    if (error != nullptr) {
        *error = "line " + std::to_string(line) + ": " + what;
    }
    return false;
}

}  // namespace

std::optional<IniText> IniText::Parse(std::string_view text, std::string* error) {
    if (text.size() > kMaxBytes) {
        Fail(error, 0, "more than " + std::to_string(kMaxBytes) + " bytes");
        return std::nullopt;
    }
    if (text.find('\0') != std::string_view::npos) {
        Fail(error, 0, "a NUL byte");
        return std::nullopt;
    }
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    IniText ini;
    std::string section;
    bool in_section = false;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        line = Trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                Fail(error, number, "a section line without its name or ']'");
                return std::nullopt;
            }
            section = Lower(Trim(line.substr(1, line.size() - 2)));
            in_section = true;
            continue;
        }
        const size_t equals = line.find('=');
        const std::string key = Lower(Trim(line.substr(0, equals)));
        if (equals == std::string_view::npos || key.empty()) {
            Fail(error, number, "neither a section nor \"key = value\"");
            return std::nullopt;
        }
        if (!in_section) {
            Fail(error, number, "a key before the first section");
            return std::nullopt;
        }
        if (ini.Find(section, key) != nullptr) {
            Fail(error, number, "\"" + key + "\" given twice in [" + section + "]");
            return std::nullopt;
        }
        if (ini.entries_.size() == kMaxEntries) {
            Fail(error, number, "more than " + std::to_string(kMaxEntries) + " keys");
            return std::nullopt;
        }
        ini.entries_.push_back({section, key, std::string(Trim(line.substr(equals + 1))), number});
    }
    return ini;
}

const std::string* IniText::Find(std::string_view section, std::string_view key) const {
    const std::string wanted_section = Lower(section);
    const std::string wanted_key = Lower(key);
    for (const Entry& entry : entries_) {
        if (entry.section == wanted_section && entry.key == wanted_key) {
            return &entry.value;
        }
    }
    return nullptr;
}

}  // namespace kf::app
