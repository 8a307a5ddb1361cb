#pragma once

#include <memory>
#include <string_view>

namespace kf {

// Where events go: an eight-digit code ("11500106") and a free info text. The engine, the port
// mapping and the application all report through this one interface; the telemetry layer
// installs the process-wide sink, and until it does events go nowhere.
class EventSink {
  public:
    virtual ~EventSink() = default;
    // Called on the reporting thread with no engine lock held. May throw: the caller ignores it,
    // because an event is never worth failing the work that saw it.
    virtual void Submit(std::string_view code, std::string_view info) = 0;
};

// Replaces the process-wide sink (null: events are dropped). A sink still in use by a reporting
// thread stays alive until that report returns.
void InstallEventSink(std::shared_ptr<EventSink> sink);
std::shared_ptr<EventSink> InstalledEventSink();
// Sends one event to the process-wide sink, if any; never throws.
void SubmitEvent(std::string_view code, std::string_view info);
// Sends one event to `sink` when given, else to the process-wide sink; never throws.
void SubmitEventTo(const std::shared_ptr<EventSink>& sink, std::string_view code,
                   std::string_view info);

}  // namespace kf
