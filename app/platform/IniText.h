#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf::app {

// A read-only INI text as a product folder's "product.ini" is written: "[section]" lines,
// "key = value" lines, comments from ';' or '#' at the start of a line, blank lines; LF or CRLF
// line ends and a leading UTF-8 byte-order mark are accepted. Section and key names are matched
// without regard to ASCII case; values keep their bytes, without the spaces and tabs around them.
//
// Bytes in, results out; the text is untrusted. Limits: kMaxBytes of text and kMaxEntries keys.
// A line that is none of the above, a key outside any section, a key given twice in a section, a
// NUL byte or text over a limit makes Parse answer none, `error` naming the line.
class IniText {
  public:
    static constexpr size_t kMaxBytes = 64 * 1024;
    static constexpr size_t kMaxEntries = 256;

    struct Entry {
        std::string section;  // lower case
        std::string key;      // lower case
        std::string value;
        int line = 0;  // from 1
    };

    static std::optional<IniText> Parse(std::string_view text, std::string* error);

    // The value of `key` in `section`, or null.
    const std::string* Find(std::string_view section, std::string_view key) const;
    // Every key in the order of the text.
    const std::vector<Entry>& Entries() const { return entries_; }

  private:
    std::vector<Entry> entries_;
};

}  // namespace kf::app
