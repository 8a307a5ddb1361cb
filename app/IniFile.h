#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kf::app {

// A settings file with the private-profile semantics of the design: "[section]" headers and
// "key=value" lines, section and key names compared without regard to ASCII case, values trimmed
// of blanks and of one pair of enclosing quotes, defaults when a file, section or key is missing.
//
// Owner and threads: a value object; every call reads the file afresh, so two objects on one path
// see each other's writes. Not for concurrent writers of one file (the controller thread is the
// only one).
//
// Results: a write creates the file, the section and the key as needed and keeps every other line
// as it was (CR LF files stay CR LF). Writes are atomic: a temporary file in the same folder,
// flushed to the disk, then renamed over the old one; a failed write leaves the old file whole
// and answers false. The folder must exist.
//
// Limits and trust: the file is untrusted input: a file above kMaxBytes reads as missing. Names
// holding CR, LF, '=' or ']' and values holding CR or LF are refused, so that no write can add
// lines of its own.
class IniFile {
  public:
    static constexpr size_t kMaxBytes = 1 << 20;

    explicit IniFile(std::string path);

    const std::string& Path() const { return path_; }
    bool Exists() const;
    // Deletes the file; true when it is gone.
    bool Remove() const;

    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& fallback = {}) const;
    // An optional sign and decimal digits, up to the first other character, wrapped to 32 bits
    // (so "-1" is 0xFFFFFFFF when compared unsigned); `fallback` when the key is missing or empty.
    int32_t GetInt(const std::string& section, const std::string& key, int32_t fallback) const;

    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    // Several keys of one section in one atomic write.
    bool WriteStrings(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& values);

  private:
    bool ReadText(std::string* text) const;
    bool WriteText(const std::string& text) const;

    std::string path_;
};

}  // namespace kf::app
