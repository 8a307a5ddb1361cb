#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf::test {

// An aria2c seeder or leecher that listens on and connects from one 127/8 address (use
// 127.0.0.2 and up: the engine refuses peers at 127.0.0.1), with DHT, local discovery and peer
// exchange off. Without DHT it cannot announce over UDP, so it is given the HTTP announce
// address to use instead of the torrent's. A leecher exits (status 0) once complete.
//
// It first tries an encrypted handshake on some connections before a plain one, and a peer it
// was told of but could not reach stays listed at the tracker after it was stopped.
class Aria2Peer {
  public:
    static constexpr const char* kDefaultBinary = "/usr/bin/aria2c";
    enum class Role { kSeeder, kLeecher };
    struct Options {
        std::string address = "127.0.0.2";
        std::string http_tracker{};  // replaces the torrent's trackers
        std::chrono::seconds time_limit{300};
    };

    Aria2Peer() = default;
    ~Aria2Peer();
    Aria2Peer(const Aria2Peer&) = delete;
    Aria2Peer& operator=(const Aria2Peer&) = delete;

    static bool Available();

    // Starts it on a free port of `options.address` and waits until it listens. A seeder serves
    // the data in `dir` without checking it first; a leecher writes there.
    bool Start(Role role, const std::string& torrent_path, const std::string& dir,
               const Options& options,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    int WaitExit(std::chrono::milliseconds timeout) { return child_.WaitExit(timeout); }
    bool IsRunning() { return child_.IsRunning(); }
    void Stop();

    TrackerPeer Endpoint() const { return {address_, port_}; }
    std::string LogText() const;

  private:
    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    std::string address_;
    int32_t port_ = 0;
};

}  // namespace kf::test
