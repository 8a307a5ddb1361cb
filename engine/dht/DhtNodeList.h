#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// Reads a list of DHT nodes given as "host:port" entries separated by commas, spaces or line
// breaks. Nothing (nullopt) when an entry lacks a host or a port in 1..65535, is longer than
// kMaxEntryLength, or there are more than kMaxEntries; an empty text is an empty list.
inline constexpr size_t kMaxDhtNodeEntries = 256;
inline constexpr size_t kMaxDhtNodeEntryLength = 255;
std::optional<std::vector<std::string>> ParseDhtNodeList(std::string_view text);
// A port of 1..65535 written as 1-5 decimal digits and nothing else.
std::optional<uint16_t> ParseDhtPort(std::string_view digits);

}  // namespace kf
