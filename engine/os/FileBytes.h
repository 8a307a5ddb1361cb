#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kf {

// Reads a whole file, refusing files larger than `max_bytes` (files named by input are untrusted).
std::optional<std::string> ReadFileBytes(const std::string& path, int64_t max_bytes);

}  // namespace kf
