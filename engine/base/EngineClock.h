#pragma once

#include <cstdint>

namespace kf {

// Engine clocks. Both advance from the monotonic tick once the clock thread has started, so a
// change of the system clock never disturbs a period measured with them. Reads start the clock
// thread on demand; they take no lock.

// Wall-clock seconds since 1970, fixed to the system clock when the clock thread started.
int64_t NowSeconds();
// Seconds since the engine clock started, beginning at 1 (never 0).
uint32_t SecondsSinceStart();

void StartClock();
// Makes the clock's process-wide storage exist now, so that it outlives whoever calls this first
// during start-up (objects are destroyed in reverse order of construction).
void TouchClockStorage();
// Stops the clock thread (engine shutdown) and logs that it stopped.
void StopClock();

}  // namespace kf
