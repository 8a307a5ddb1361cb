#pragma once

#include <memory>
#include <string>
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
    // Ends the sink's background work at shutdown, with at most a bounded flush of what it
    // holds; the engine's log release calls it. The default has no such work.
    virtual void Shutdown() {}
    // A text that identifies this machine to the people who read its reports, for the end of a
    // message shown to the user; empty when the sink has none.
    virtual std::string MachineText() { return {}; }
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
// Takes the process-wide sink out and shuts it down (see EventSink::Shutdown); never throws.
void ShutdownEventSink();
// The process-wide sink's machine text, or empty; never throws.
std::string EventSinkMachineText();
// One member of an info fragment: ,"key":"value" with the value's quotes, backslashes and
// control characters escaped, so that a file name or address can neither break the record nor
// add members of its own.
std::string EventMember(std::string_view key, std::string_view value);

}  // namespace kf
