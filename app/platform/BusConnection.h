#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct sd_bus;

namespace kf::app {

// A D-Bus connection for a few method calls: the system bus, the user's session bus, or the bus
// at a given address (tests run a private one and never touch the real buses).
//
// Owner and threads: one caller, used on one thread at a time; closed when the object goes.
// Every method call on it waits at most kCallTimeoutMicroseconds.
class BusConnection {
  public:
    enum class Kind { kSystem, kSession };
    static constexpr uint64_t kCallTimeoutMicroseconds = 5'000'000;

    // `address` empty: the bus of `kind` as the environment names it; otherwise that address.
    // Null with `error` set when no connection could be made.
    static std::unique_ptr<BusConnection> Open(Kind kind, const std::string& address,
                                               std::string* error);
    // Takes over `bus`, an open connection.
    explicit BusConnection(sd_bus* bus) : bus_(bus) {}
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    sd_bus* Bus() const { return bus_; }

  private:
    sd_bus* bus_;
};

}  // namespace kf::app
