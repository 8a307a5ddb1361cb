#pragma once

#include <cstdint>
#include <ctime>

namespace kf {

// Milliseconds of the monotonic system clock; never goes back when the wall clock is changed.
inline uint64_t TickMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// The 32-bit tick count that millisecond timing in the engine compares with wrapping arithmetic.
inline uint32_t TickCount32() {
    return static_cast<uint32_t>(TickMilliseconds());
}

}  // namespace kf
