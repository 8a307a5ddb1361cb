#include "engine/base/EventSink.h"

#include <cstdio>
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

void ShutdownEventSink() {
    std::shared_ptr<EventSink> sink;
    {
        std::lock_guard hold(Storage().mutex);
        sink.swap(Storage().sink);
    }
    try {
        if (sink) {
            sink->Shutdown();
        }
    } catch (...) {
        // Shutdown goes on without it.
    }
}

std::string EventSinkMachineText() {
    try {
        const std::shared_ptr<EventSink> sink = InstalledEventSink();
        return sink ? sink->MachineText() : std::string();
    } catch (...) {
        return {};
    }
}

std::string EventMember(std::string_view key, std::string_view value) {
    std::string text = ",\"" + std::string(key) + "\":\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
            text += escape;
        } else {
            text += c;
        }
    }
    return text + "\"";
}

}  // namespace kf
