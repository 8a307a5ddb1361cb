#pragma once

#include <cstdint>
#include <string>

namespace kf::test {

// `size` bytes of test content, byte i being (i × step + i ÷ stride) mod 256: no block repeats
// another at the offsets the tests use, so a block written at the wrong place shows.
std::string PatternBytes(int64_t size, int64_t step, int64_t stride);

}  // namespace kf::test
