#include "app/platform/BusConnection.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace kf::app {

namespace {

int OpenAt(const std::string& address, sd_bus** bus) {
    int status = sd_bus_new(bus);
    if (status < 0) {
        return status;
    }
    if ((status = sd_bus_set_address(*bus, address.c_str())) < 0 ||
        (status = sd_bus_set_bus_client(*bus, 1)) < 0 || (status = sd_bus_start(*bus)) < 0) {
        *bus = sd_bus_unref(*bus);
    }
    return status;
}

}  // namespace

std::unique_ptr<BusConnection> BusConnection::Open(Kind kind, const std::string& address,
                                                   std::string* error) {
    sd_bus* bus = nullptr;
    int status = 0;
    if (!address.empty()) {
        status = OpenAt(address, &bus);
    } else if (kind == Kind::kSystem) {
        status = sd_bus_open_system(&bus);
    } else {
        status = sd_bus_open_user(&bus);
    }
    if (status >= 0) {
        status = sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
    }
    if (status < 0) {
        sd_bus_flush_close_unref(bus);
        if (error != nullptr) {
            *error = std::string("cannot connect to the bus: ") + std::strerror(-status);
        }
        return nullptr;
    }
    return std::make_unique<BusConnection>(bus);
}

BusConnection::~BusConnection() {
    sd_bus_flush_close_unref(bus_);
}

}  // namespace kf::app
