#include "app/platform/LogindPowerOff.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cstdint>

#include "app/platform/BusConnection.h"

namespace kf::app {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

// The call's answer, or null when it failed or was refused.
sd_bus_message* Call(sd_bus* bus, const char* member, const char* signature, auto... arguments) {
    sd_bus_message* request = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_message_new_method_call(bus, &request, kService, kPath, kManager, member) >= 0 &&
        sd_bus_message_set_allow_interactive_authorization(request, 1) >= 0 &&
        sd_bus_message_append(request, signature, arguments...) >= 0) {
        sd_bus_call(bus, request, 0, &error, &reply);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(request);
    return reply;
}

uint64_t RealtimeMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace

LogindPowerOff::LogindPowerOff(std::string bus_address) : bus_address_(std::move(bus_address)) {}

bool LogindPowerOff::Schedule(int delay_seconds, const std::string& message) {
    const auto connection =
        BusConnection::Open(BusConnection::Kind::kSystem, bus_address_, nullptr);
    if (connection == nullptr) {
        return false;
    }
    sd_bus_message_unref(Call(connection->Bus(), "SetWallMessage", "sb", message.c_str(), 1));
    const uint64_t when = RealtimeMicroseconds() +
                          static_cast<uint64_t>(delay_seconds > 0 ? delay_seconds : 0) * 1000000;
    sd_bus_message* reply = Call(connection->Bus(), "ScheduleShutdown", "st", "poweroff", when);
    const bool scheduled = reply != nullptr;
    sd_bus_message_unref(reply);
    return scheduled;
}

bool LogindPowerOff::Cancel() {
    const auto connection =
        BusConnection::Open(BusConnection::Kind::kSystem, bus_address_, nullptr);
    if (connection == nullptr) {
        return false;
    }
    sd_bus_message* reply = Call(connection->Bus(), "CancelScheduledShutdown", "");
    int cancelled = 0;
    const bool read = reply != nullptr && sd_bus_message_read(reply, "b", &cancelled) >= 0;
    sd_bus_message_unref(reply);
    return read && cancelled != 0;
}

}  // namespace kf::app
