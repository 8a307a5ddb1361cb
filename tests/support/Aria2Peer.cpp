#include "support/Aria2Peer.h"

#include <unistd.h>

#include <filesystem>

#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

Aria2Peer::~Aria2Peer() {
    Stop();
}

bool Aria2Peer::Available() {
    return access(kDefaultBinary, X_OK) == 0;
}

bool Aria2Peer::Start(Role role, const std::string& torrent_path, const std::string& dir,
                      const Options& options, std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    address_ = options.address;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpUdpPort(address_);
        if (port_ == 0) {
            return false;
        }
        std::vector<std::string> argv = {kDefaultBinary,
                                         "--enable-dht=false",
                                         "--enable-dht6=false",
                                         "--bt-enable-lpd=false",
                                         "--enable-peer-exchange=false",
                                         "--disable-ipv6=true",
                                         "--interface=" + address_,
                                         "--listen-port=" + std::to_string(port_),
                                         "--file-allocation=none",
                                         "--allow-overwrite=true",
                                         "--auto-file-renaming=false",
                                         "--console-log-level=notice",
                                         "--summary-interval=0",
                                         "--stop=" + std::to_string(options.time_limit.count()),
                                         "--dir=" + dir};
        if (!options.http_tracker.empty()) {
            argv.push_back("--bt-exclude-tracker=*");
            argv.push_back("--bt-tracker=" + options.http_tracker);
        }
        if (role == Role::kSeeder) {
            argv.push_back("--seed-ratio=0.0");
            argv.push_back("--bt-seed-unverified=true");
        } else {
            argv.push_back("--seed-time=0");
        }
        argv.push_back(torrent_path);
        std::filesystem::remove(*dir_ / "out.log");
        if (!child_.Start(argv, *dir_ / "out.log")) {
            return false;
        }
        const std::string listening = "listening on TCP port " + std::to_string(port_);
        const bool ok = WaitUntil(
            [&] { return LogText().find(listening) != std::string::npos || !child_.IsRunning(); },
            timeout);
        if (ok && child_.IsRunning()) {
            return true;
        }
        // A leecher may already have finished a tiny download and exited.
        if (role == Role::kLeecher && LogText().find(listening) != std::string::npos) {
            return true;
        }
        child_.Stop(std::chrono::milliseconds(2000));
    }
    return false;
}

void Aria2Peer::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

std::string Aria2Peer::LogText() const {
    return dir_ == nullptr ? std::string() : ReadWholeFile(*dir_ / "out.log");
}

}  // namespace kf::test
