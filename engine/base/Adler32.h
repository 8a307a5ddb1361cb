#pragma once

#include <cstdint>
#include <span>

namespace kf {

// Adler-32 as in RFC 1950, continued from `start` (low 16 bits the first sum, high 16 bits the
// second). The standard checksum starts from 1; the resume and spill files start from a piece
// index or from an earlier checksum. With no data `start` is answered unchanged.
uint32_t Adler32(uint32_t start, std::span<const uint8_t> data);

}  // namespace kf
