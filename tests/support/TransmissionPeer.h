#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf::test {

// A transmission-daemon with a fresh private configuration, listening on and announcing from one
// 127/8 address (use 127.0.0.2 and up: the engine refuses peers at 127.0.0.1), with DHT, local
// discovery, port mapping, peer exchange and uTP off, plaintext preferred, and its control port
// on 127.0.0.1. One torrent per daemon.
//
// Known behaviour: it never connects out to loopback peers a tracker names (it only takes
// incoming connections), it serves loopback leechers slowly (a few MB/s), and after one leecher
// from an address finished it may refuse the next ones: start a fresh daemon per test.
class TransmissionPeer {
  public:
    static constexpr const char* kDaemon = "/usr/bin/transmission-daemon";
    static constexpr const char* kRemote = "/usr/bin/transmission-remote";

    TransmissionPeer() = default;
    ~TransmissionPeer();
    TransmissionPeer(const TransmissionPeer&) = delete;
    TransmissionPeer& operator=(const TransmissionPeer&) = delete;

    static bool Available();

    // Starts the daemon on a free port of `address` and adds the torrent with its data folder
    // `dir` (existing data is checked). Waits at most `timeout` for the control port and the add.
    bool Start(const std::string& torrent_path, const std::string& dir,
               const std::string& address = "127.0.0.2",
               std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
    // Waits until the torrent is complete (a seeder: its data is checked).
    bool WaitComplete(std::chrono::milliseconds timeout);
    // Stops it: it may take a few seconds to say goodbye to its tracker.
    void Stop();

    TrackerPeer Endpoint() const { return {address_, port_}; }
    // Output of transmission-remote with these arguments (after the host:port), or empty.
    std::string Remote(const std::vector<std::string>& arguments) const;
    std::string LogText() const;

  private:
    bool StartOnce(const std::string& torrent_path, const std::string& dir,
                   std::chrono::milliseconds timeout);

    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    std::string address_;
    int32_t port_ = 0;
    int32_t rpc_port_ = 0;
};

}  // namespace kf::test
