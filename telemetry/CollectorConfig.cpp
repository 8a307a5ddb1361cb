#include "telemetry/CollectorConfig.h"

#include <strings.h>

#include "telemetry/SourceFile.h"

namespace kf {
namespace {

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::optional<CollectorConfig> CollectorConfig::Parse(std::string_view text) {
    if (text.size() > kMaxBytes) {
        return std::nullopt;
    }
    CollectorConfig config;
    std::string section;
    while (!text.empty() && config.entries_.size() < kMaxEntries) {
        const size_t end = text.find('\n');
        const std::string line = SourceFile::Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find(']');
            section = close == std::string::npos ? std::string()
                                                 : SourceFile::Trim(line.substr(1, close - 1));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || section.empty()) {
            continue;
        }
        Entry entry{section, SourceFile::Trim(line.substr(0, equals)),
                    SourceFile::Trim(line.substr(equals + 1))};
        if (entry.value.size() >= 2 && entry.value.front() == '"' && entry.value.back() == '"') {
            entry.value = entry.value.substr(1, entry.value.size() - 2);
        }
        if (!entry.key.empty() && config.Find(entry.section, entry.key) == nullptr) {
            config.entries_.push_back(std::move(entry));
        }
    }
    return config;
}

std::optional<CollectorConfig> CollectorConfig::Load(const std::string& path) {
    const std::optional<std::string> text = SourceFile::Read(path, kMaxBytes + 1);
    return text ? Parse(*text) : std::nullopt;
}

const std::string* CollectorConfig::Find(std::string_view section, std::string_view key) const {
    for (const Entry& entry : entries_) {
        if (SameText(entry.section, section) && SameText(entry.key, key)) {
            return &entry.value;
        }
    }
    return nullptr;
}

std::vector<std::string> CollectorConfig::Urls(std::string_view section) const {
    std::vector<std::string> urls;
    for (size_t i = 0; i < kMaxUrls; ++i) {
        const std::string key = i == 0 ? "SubmitUrl" : "SubmitUrl" + std::to_string(i);
        const std::string* url = Find(section, key);
        if (url == nullptr || url->empty()) {
            break;
        }
        urls.push_back(*url);
    }
    return urls;
}

std::vector<std::string> CollectorConfig::Keywords(std::string_view section,
                                                   std::string_view key) const {
    std::vector<std::string> words;
    const std::string* value = Find(section, key);
    std::string_view rest = value == nullptr ? std::string_view() : std::string_view(*value);
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        std::string word = SourceFile::Trim(rest.substr(0, semicolon));
        if (!word.empty()) {
            words.push_back(std::move(word));
        }
        rest =
            semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    }
    return words;
}

}  // namespace kf
