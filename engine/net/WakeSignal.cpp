#include "engine/net/WakeSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kf {

WakeSignal::WakeSignal() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (handle_ >= 0) {
        close(handle_);
    }
}

void WakeSignal::Signal() {
    if (handle_ >= 0) {
        const uint64_t one = 1;
        // A full counter already wakes the waiter; nothing else can fail here.
        [[maybe_unused]] const ssize_t written = write(handle_, &one, sizeof one);
    }
}

void WakeSignal::Drain() {
    if (handle_ >= 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = read(handle_, &count, sizeof count);
    }
}

}  // namespace kf
