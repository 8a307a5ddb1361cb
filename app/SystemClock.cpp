#include "app/SystemClock.h"

#include <chrono>
#include <ctime>

namespace kf::app {

uint64_t SystemClock::NowMs() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

std::string SystemClock::LocalTimeText() const {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[64];
    const size_t length = strftime(text, sizeof(text), "%Y-%m-%d %X", &local);
    return std::string(text, length);
}

void SystemClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            uint64_t deadline_ms) {
    const uint64_t now = NowMs();
    if (deadline_ms > now) {
        cv.wait_for(lock, std::chrono::milliseconds(deadline_ms - now));
    }
}

}  // namespace kf::app
