#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/EventSink.h"

namespace kf {

// Records every event while it lives: installed as the process-wide sink, removed again at the end.
class EventRecorder {
  public:
    using Event = std::pair<std::string, std::string>;
    EventRecorder();
    ~EventRecorder() { InstallEventSink(nullptr); }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<Event> Events() const;
    int Count(const std::string& code) const;

  private:
    struct Sink;
    std::shared_ptr<Sink> sink_;
};

}  // namespace kf
