#include "engine/base/Adler32.h"

#include <algorithm>

namespace kf {

uint32_t Adler32(uint32_t start, std::span<const uint8_t> data) {
    constexpr uint32_t kBase = 65521;
    // Largest n with 255 n (n + 1) / 2 + (n + 1) (kBase - 1) below 2^32: the sums may run that
    // long before they must be reduced. A start above kBase - 1 is still below 2^16, well inside.
    constexpr size_t kRun = 5552;
    if (data.empty()) {
        return start;
    }
    uint32_t a = start & 0xffff;
    uint32_t b = start >> 16;
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        const size_t run = std::min(left, kRun);
        for (size_t i = 0; i < run; ++i) {
            a += p[i];
            b += a;
        }
        a %= kBase;
        b %= kBase;
        p += run;
        left -= run;
    }
    return (b << 16) | a;
}

}  // namespace kf
