#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kf {

// Bytes available to this process on the file system holding `path`; none when the query fails.
std::optional<int64_t> FreeBytesAt(const std::string& path);

// Bytes a file occupies on disk: the path itself, else the path with ".kftmp" appended (a download
// still under its temporary name). 0 when neither exists, -1 for another open failure, -2 when
// the size query fails.
int64_t AllocatedBytes(const std::string& path);

}  // namespace kf
