#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/EventSink.h"

namespace kf {

// Installs itself as the process-wide event sink for its lifetime and records every event.
class EventRecorder final : public EventSink, public std::enable_shared_from_this<EventRecorder> {
  public:
    static std::shared_ptr<EventRecorder> Install();
    ~EventRecorder() override = default;

    void Submit(std::string_view code, std::string_view info) override;
    std::vector<std::pair<std::string, std::string>> Events();
    int Count(const std::string& code);

  private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> events_;
};

// Removes the recorder again at the end of a scope.
class EventRecorderScope {
  public:
    EventRecorderScope() : recorder_(EventRecorder::Install()) {}
    ~EventRecorderScope() { InstallEventSink(nullptr); }
    EventRecorderScope(const EventRecorderScope&) = delete;
    EventRecorderScope& operator=(const EventRecorderScope&) = delete;
    EventRecorder& operator*() const { return *recorder_; }
    EventRecorder* operator->() const { return recorder_.get(); }

  private:
    std::shared_ptr<EventRecorder> recorder_;
};

}  // namespace kf
