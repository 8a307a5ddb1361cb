#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// The data-upload configuration file (INI): one section per submission kind with the collection
// URLs (SubmitUrl, SubmitUrl1, SubmitUrl2, ... tried in this order; the list ends at the first
// missing or empty key), InputDataKeyWord (';'-separated names the caller's fragment must hold)
// and SubmitDataKeyWord (names the final info text must hold).
//
// Parse: bytes in, entries out; the file is outside input. Sections and keys compare without
// regard to case, values lose surrounding blanks and one pair of surrounding quotes, lines
// starting with ';' or '#' are comments, the first of repeated keys wins. Limits: kMaxBytes of
// text (none beyond), kMaxEntries entries (the rest ignored), kMaxUrls URLs per section.
// Plain data after parsing.
class CollectorConfig {
  public:
    static constexpr size_t kMaxBytes = 256 * 1024;
    static constexpr size_t kMaxEntries = 1024;
    static constexpr size_t kMaxUrls = 32;

    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };

    static std::optional<CollectorConfig> Parse(std::string_view text);
    // None when the file is missing, unreadable or too large.
    static std::optional<CollectorConfig> Load(const std::string& path);

    const std::string* Find(std::string_view section, std::string_view key) const;
    std::vector<std::string> Urls(std::string_view section) const;
    std::vector<std::string> Keywords(std::string_view section, std::string_view key) const;
    const std::vector<Entry>& Entries() const { return entries_; }

  private:
    std::vector<Entry> entries_;
};

}  // namespace kf
