#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>

namespace kf::app {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return std::nullopt;
    }
    const size_t close = line.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(line.substr(1, close - 1));
}

// The key and the raw value of a "key=value" line; comments and other lines have none.
bool SplitKey(std::string_view line, std::string_view* key, std::string_view* value) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';') {
        return false;
    }
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        return false;
    }
    *key = Trim(trimmed.substr(0, equals));
    *value = Trim(trimmed.substr(equals + 1));
    return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool ValidName(std::string_view name) {
    return !Trim(name).empty() && name.find_first_of("\r\n=]") == std::string_view::npos;
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

bool IniFile::Exists() const {
    struct stat facts {};
    return stat(path_.c_str(), &facts) == 0 && S_ISREG(facts.st_mode);
}

bool IniFile::Remove() const {
    return unlink(path_.c_str()) == 0 || errno == ENOENT;
}

bool IniFile::ReadText(std::string* text) const {
    FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    text->clear();
    char buffer[8192];
    size_t got;
    bool whole = true;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        if (text->size() + got > kMaxBytes) {
            whole = false;
            break;
        }
        text->append(buffer, got);
    }
    whole = whole && std::ferror(file) == 0;
    std::fclose(file);
    return whole;
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& fallback) const {
    std::string text;
    if (!ReadText(&text)) {
        return fallback;
    }
    bool in_section = false;
    bool section_seen = false;
    for (const std::string_view line : Lines(text)) {
        if (const auto name = SectionName(line)) {
            if (section_seen) {
                break;  // only the first section of that name counts
            }
            in_section = SameName(*name, section);
            section_seen = in_section;
            continue;
        }
        std::string_view line_key;
        std::string_view value;
        if (in_section && SplitKey(line, &line_key, &value) && SameName(line_key, key)) {
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            return std::string(value);
        }
    }
    return fallback;
}

int32_t IniFile::GetInt(const std::string& section, const std::string& key,
                        int32_t fallback) const {
    const std::string text = GetString(section, key);
    if (text.empty()) {
        return fallback;
    }
    size_t at = 0;
    bool negative = false;
    if (text[at] == '+' || text[at] == '-') {
        negative = text[at] == '-';
        ++at;
    }
    uint32_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10u + static_cast<uint32_t>(text[at] - '0');
    }
    return static_cast<int32_t>(negative ? 0u - value : value);
}

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    return WriteStrings(section, {{key, value}});
}

bool IniFile::WriteStrings(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values) {
    if (!ValidName(section)) {
        return false;
    }
    for (const auto& [key, value] : values) {
        if (!ValidName(key) || value.find_first_of("\r\n") != std::string::npos) {
            return false;
        }
    }
    std::string old_text;
    if (Exists() && !ReadText(&old_text)) {
        return false;  // never replace a file that could not be read whole
    }
    const bool crlf = old_text.find("\r\n") != std::string::npos;
    std::vector<std::string> lines;
    for (const std::string_view line : Lines(old_text)) {
        lines.emplace_back(line);
    }
    const auto make_line = [crlf](std::string text) { return crlf ? text + "\r" : text; };

    for (const auto& [key, value] : values) {
        // Where the first section of that name starts and ends (the end before trailing blanks).
        std::optional<size_t> header;
        size_t insert_at = lines.size();
        std::optional<size_t> found;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (const auto name = SectionName(lines[i])) {
                if (header) {
                    break;
                }
                if (SameName(*name, section)) {
                    header = i;
                    insert_at = i + 1;
                }
                continue;
            }
            if (!header) {
                continue;
            }
            std::string_view line_key;
            std::string_view ignored;
            if (SplitKey(lines[i], &line_key, &ignored) && SameName(line_key, key)) {
                found = i;
                break;
            }
            if (!Trim(lines[i]).empty()) {
                insert_at = i + 1;
            }
        }
        if (found) {
            std::string_view line_key;
            std::string_view ignored;
            SplitKey(lines[*found], &line_key, &ignored);
            lines[*found] = make_line(std::string(line_key) + "=" + value);
        } else if (header) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at),
                         make_line(key + "=" + value));
        } else {
            lines.push_back(make_line("[" + section + "]"));
            lines.push_back(make_line(key + "=" + value));
        }
    }
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return WriteText(text);
}

bool IniFile::WriteText(const std::string& text) const {
    std::string temporary = path_ + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t wrote = write(fd, text.data() + written, text.size() - written);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            break;
        }
        written += static_cast<size_t>(wrote);
    }
    const bool flushed = written == text.size() && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!flushed || !closed || rename(temporary.c_str(), path_.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace kf::app
