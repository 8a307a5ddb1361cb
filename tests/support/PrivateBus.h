#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// A private D-Bus daemon on a Unix socket in a temporary folder, with a configuration of its own
// that lets every client own any name and call anything. Tests hand its Address() to the code
// under test, which never touches the machine's system or session bus.
class PrivateBus {
  public:
    static constexpr const char* kDaemon = "/usr/bin/dbus-daemon";

    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    static bool Available();
    // Starts the daemon and waits (at most `timeout`) until its socket accepts.
    bool Start(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // "unix:path=<folder>/bus"
    std::string Address() const;
    void Stop();

  private:
    std::unique_ptr<TempDir> dir_;
    ChildProcess daemon_;
};

}  // namespace kf::test
