#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kf {

// A 160-bit DHT id, most significant byte first. Ids compare as unsigned big-endian numbers and
// the distance between two ids is their XOR compared the same way.
using NodeId = std::array<uint8_t, 20>;

bool IsZeroId(const NodeId& id);
// Whether `a` lies closer to `target` than `b` (XOR distance).
bool CloserTo(const NodeId& target, const NodeId& a, const NodeId& b);
// a + b and a - b modulo 2^160; a / 2.
NodeId AddIds(const NodeId& a, const NodeId& b);
NodeId SubtractIds(const NodeId& a, const NodeId& b);
NodeId HalveId(const NodeId& a);
NodeId IdFromNumber(uint64_t low);
// The id held by 20 bytes; a zero id when `bytes` is not 20 bytes long.
NodeId IdFromBytes(std::span<const uint8_t> bytes);
NodeId IdFromBytes(std::string_view bytes);
std::string_view IdBytes(const NodeId& id);

}  // namespace kf
