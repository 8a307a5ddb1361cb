#include "support/PrivateBus.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

namespace kf::test {

namespace {

bool Accepts(const std::string& socket_path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return connected;
}

}  // namespace

PrivateBus::~PrivateBus() {
    Stop();
}

bool PrivateBus::Available() {
    return access(kDaemon, X_OK) == 0;
}

bool PrivateBus::Start(std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    const std::string config =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:path=" +
        (*dir_ / "bus") +
        "</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n"
        "</busconfig>\n";
    if (!WriteFile(*dir_ / "bus.conf", config) ||
        !daemon_.Start({kDaemon, "--config-file=" + (*dir_ / "bus.conf"), "--nofork", "--nosyslog"},
                       *dir_ / "daemon.log")) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && daemon_.IsRunning()) {
        if (Accepts(*dir_ / "bus")) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string PrivateBus::Address() const {
    return dir_ != nullptr ? "unix:path=" + (*dir_ / "bus") : std::string();
}

void PrivateBus::Stop() {
    daemon_.Stop(std::chrono::milliseconds(2000));
}

}  // namespace kf::test
