#include "engine/os/DebugOutput.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kf {
namespace {

struct CaptureStorage {
    std::mutex mutex;
    std::function<void(std::string_view)> capture;
};

CaptureStorage& Capture() {
    static CaptureStorage storage;
    return storage;
}

bool DebugEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("KESTRELFETCH_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

}  // namespace

void WriteDebugOutput(std::string_view line) {
    CaptureStorage& storage = Capture();
    if (line.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(storage.mutex);
        if (storage.capture) {
            storage.capture(line);
            return;
        }
    }
    if (DebugEnabled()) {
        // One write call per line keeps lines from different threads whole.
        [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    }
}

void SetDebugOutputCapture(std::function<void(std::string_view)> new_capture) {
    std::lock_guard<std::mutex> hold(Capture().mutex);
    Capture().capture = std::move(new_capture);
}

}  // namespace kf
