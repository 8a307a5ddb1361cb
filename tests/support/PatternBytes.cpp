#include "support/PatternBytes.h"

namespace kf::test {

std::string PatternBytes(int64_t size, int64_t step, int64_t stride) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int64_t i = 0; i < size; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>((i * step + i / stride) & 0xFF);
    }
    return bytes;
}

}  // namespace kf::test
