#pragma once

#include <unistd.h>

namespace kf {

// The calling thread's system-wide id, as ps -L and debuggers show it (log lines name threads
// with it).
inline unsigned long CurrentThreadId() {
    return static_cast<unsigned long>(gettid());
}

}  // namespace kf
