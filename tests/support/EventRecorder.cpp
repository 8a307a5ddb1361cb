#include "support/EventRecorder.h"

namespace kf {

std::shared_ptr<EventRecorder> EventRecorder::Install() {
    auto recorder = std::make_shared<EventRecorder>();
    InstallEventSink(recorder);
    return recorder;
}

void EventRecorder::Submit(std::string_view code, std::string_view info) {
    std::lock_guard lock(mutex_);
    events_.emplace_back(code, info);
}

std::vector<std::pair<std::string, std::string>> EventRecorder::Events() {
    std::lock_guard lock(mutex_);
    return events_;
}

int EventRecorder::Count(const std::string& code) {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& event : events_) {
        count += event.first == code ? 1 : 0;
    }
    return count;
}

}  // namespace kf
