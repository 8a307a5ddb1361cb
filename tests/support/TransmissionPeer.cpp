#include "support/TransmissionPeer.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

std::string Settings(const std::string& address, int32_t port, int32_t rpc_port,
                     const std::string& dir) {
    std::ostringstream out;
    out << "{\n"
        << "  \"bind-address-ipv4\": \"" << address << "\",\n"
        << "  \"bind-address-ipv6\": \"::1\",\n"
        << "  \"dht-enabled\": false,\n"
        << "  \"lpd-enabled\": false,\n"
        << "  \"pex-enabled\": false,\n"
        << "  \"port-forwarding-enabled\": false,\n"
        << "  \"utp-enabled\": false,\n"
        << "  \"blocklist-enabled\": false,\n"
        << "  \"encryption\": 0,\n"
        << "  \"peer-port\": " << port << ",\n"
        << "  \"peer-port-random-on-start\": false,\n"
        << "  \"rpc-enabled\": true,\n"
        << "  \"rpc-bind-address\": \"127.0.0.1\",\n"
        << "  \"rpc-port\": " << rpc_port << ",\n"
        << "  \"rpc-authentication-required\": false,\n"
        << "  \"rpc-whitelist-enabled\": true,\n"
        << "  \"rpc-whitelist\": \"127.0.0.1\",\n"
        << "  \"rpc-host-whitelist-enabled\": false,\n"
        << "  \"download-dir\": \"" << dir << "\",\n"
        << "  \"incomplete-dir-enabled\": false,\n"
        << "  \"watch-dir-enabled\": false,\n"
        << "  \"ratio-limit-enabled\": false,\n"
        << "  \"idle-seeding-limit-enabled\": false,\n"
        << "  \"speed-limit-down-enabled\": false,\n"
        << "  \"speed-limit-up-enabled\": false,\n"
        << "  \"alt-speed-enabled\": false,\n"
        << "  \"start-added-torrents\": true,\n"
        << "  \"message-level\": 2\n"
        << "}\n";
    return out.str();
}

}  // namespace

TransmissionPeer::~TransmissionPeer() {
    Stop();
}

bool TransmissionPeer::Available() {
    return access(kDaemon, X_OK) == 0 && access(kRemote, X_OK) == 0;
}

bool TransmissionPeer::Start(const std::string& torrent_path, const std::string& dir,
                             const std::string& address, std::chrono::milliseconds timeout) {
    address_ = address;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StartOnce(torrent_path, dir, timeout)) {
            return true;
        }
        Stop();
    }
    return false;
}

bool TransmissionPeer::StartOnce(const std::string& torrent_path, const std::string& dir,
                                 std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    port_ = FreeTcpUdpPort(address_);
    rpc_port_ = FreeTcpPort();
    if (port_ == 0 || rpc_port_ == 0) {
        return false;
    }
    const std::string absolute_dir = std::filesystem::absolute(dir).string();
    if (!WriteFile(*dir_ / "settings.json", Settings(address_, port_, rpc_port_, absolute_dir))) {
        return false;
    }
    if (!child_.Start({kDaemon, "-f", "-g", dir_->Path(), "-e", *dir_ / "daemon.log"},
                      *dir_ / "out.log")) {
        return false;
    }
    const bool answering =
        WaitUntil([&] { return !child_.IsRunning() || !Remote({"-l"}).empty(); }, timeout);
    if (!answering || !child_.IsRunning()) {
        return false;
    }
    return Remote({"-a", std::filesystem::absolute(torrent_path).string(), "-w", absolute_dir})
               .find("success") != std::string::npos;
}

bool TransmissionPeer::WaitComplete(std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
            return Remote({"-t", "all", "-i"}).find("Percent Done: 100%") != std::string::npos;
        },
        timeout);
}

void TransmissionPeer::Stop() {
    child_.Stop(std::chrono::milliseconds(8000));
}

std::string TransmissionPeer::Remote(const std::vector<std::string>& arguments) const {
    if (dir_ == nullptr) {
        return {};
    }
    std::vector<std::string> argv = {kRemote, "127.0.0.1:" + std::to_string(rpc_port_)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string out = *dir_ / "remote.out";
    std::filesystem::remove(out);
    if (RunProgram(argv, std::chrono::milliseconds(5000), out) != 0) {
        return {};
    }
    return ReadWholeFile(out);
}

std::string TransmissionPeer::LogText() const {
    return dir_ == nullptr ? std::string() : ReadWholeFile(*dir_ / "daemon.log");
}

}  // namespace kf::test
