#include "support/EventRecorder.h"

#include <algorithm>

namespace kf {

struct EventRecorder::Sink final : EventSink {
    void Submit(std::string_view code, std::string_view info) override {
        std::lock_guard lock(mutex);
        events.emplace_back(code, info);
    }
    mutable std::mutex mutex;
    std::vector<Event> events;
};

EventRecorder::EventRecorder() : sink_(std::make_shared<Sink>()) {
    InstallEventSink(sink_);
}

std::vector<EventRecorder::Event> EventRecorder::Events() const {
    std::lock_guard lock(sink_->mutex);
    return sink_->events;
}

int EventRecorder::Count(const std::string& code) const {
    const auto events = Events();
    return static_cast<int>(std::ranges::count(events, code, &Event::first));
}

}  // namespace kf
