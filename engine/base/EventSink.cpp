#include "engine/base/EventSink.h"

#include <mutex>

namespace kf {
namespace {

struct SinkStorage {
    std::mutex mutex;
    std::shared_ptr<EventSink> sink;
};

SinkStorage& Storage() {
    static SinkStorage storage;
    return storage;
}

}  // namespace

void InstallEventSink(std::shared_ptr<EventSink> sink) {
    std::lock_guard hold(Storage().mutex);
    Storage().sink = std::move(sink);
}

std::shared_ptr<EventSink> InstalledEventSink() {
    std::lock_guard hold(Storage().mutex);
    return Storage().sink;
}

void SubmitEvent(std::string_view code, std::string_view info) {
    SubmitEventTo(nullptr, code, info);
}

void SubmitEventTo(const std::shared_ptr<EventSink>& sink, std::string_view code,
                   std::string_view info) {
    try {
        const std::shared_ptr<EventSink> target = sink ? sink : InstalledEventSink();
        if (target) {
            target->Submit(code, info);
        }
    } catch (...) {
        // Reporting never fails the work that saw the event.
    }
}

}  // namespace kf
