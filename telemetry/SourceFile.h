#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kf {

// Small reads of system files (procfs, sysfs, dpkg status) for the machine description.
//
// Threads: any. Results: none / empty when the file cannot be read; never more than `cap` bytes
// (the rest of a longer file is not read). Limits: kMaxNames entries per folder listing.
class SourceFile {
  public:
    static constexpr size_t kSmallCap = 64 * 1024;
    static constexpr size_t kMaxNames = 4096;

    static std::optional<std::string> Read(const std::string& path, size_t cap = kSmallCap);
    // The first line without its line end and surrounding blanks; empty when unreadable.
    static std::string FirstLine(const std::string& path);
    // The entry names of a folder ("." and ".." left out), sorted; empty when unreadable.
    static std::vector<std::string> List(const std::string& folder);
    // `text` without leading and trailing blanks, tabs and line ends.
    static std::string Trim(std::string_view text);
};

}  // namespace kf
