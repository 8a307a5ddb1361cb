#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf::test {

// A libtorrent seeder or leecher (tests/support/lt_peer.py under Debian's /usr/bin/python3) that
// listens on and connects from one 127/8 address, with DHT, local discovery, UPnP, NAT-PMP,
// peer exchange and uTP off. Use 127.0.0.2 and up: the engine refuses peers at 127.0.0.1.
//
//   LibtorrentPeer seeder;
//   ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, torrent, data_dir, {}));
//   ASSERT_TRUE(seeder.WaitSeeding(10s));
class LibtorrentPeer {
  public:
    enum class Role { kSeeder, kLeecher };
    struct Options {
        std::string address = "127.0.0.2";
        // Announce to the torrent's http:// tracker before its udp:// one on the same host.
        bool prefer_http = false;
        // Seeder: serve without checking the data first.
        bool seed_mode = false;
        // Leecher: exit (status 0) once complete; else it goes on seeding.
        bool exit_when_done = true;
        // "address:port" peers to connect to directly, besides those of the tracker.
        std::vector<std::string> connect_to{};
        // Bytes per second the torrent sends at most (0: no limit).
        int64_t upload_limit = 0;
        // Bytes it reads ahead for a peer at most (0: libtorrent's default, up to 500 KiB): a
        // cancel reaches the requests beyond.
        int64_t send_buffer = 0;
        std::chrono::seconds time_limit{300};
    };

    LibtorrentPeer() = default;
    ~LibtorrentPeer();
    LibtorrentPeer(const LibtorrentPeer&) = delete;
    LibtorrentPeer& operator=(const LibtorrentPeer&) = delete;

    // True when /usr/bin/python3 can load the libtorrent binding (checked once).
    static bool Available();
    // The script, for benchmarks that run it themselves.
    static std::string ScriptPath();

    // Starts it on a free port of `options.address` and waits until it listens.
    bool Start(Role role, const std::string& torrent_path, const std::string& save_dir,
               const Options& options,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Has all the data and has had an answer from a tracker.
    bool WaitSeeding(std::chrono::milliseconds timeout);
    // A leecher said it completed.
    bool WaitComplete(std::chrono::milliseconds timeout);
    // The exit status as ChildProcess::WaitExit.
    int WaitExit(std::chrono::milliseconds timeout) { return child_.WaitExit(timeout); }
    void Stop();

    TrackerPeer Endpoint() const { return {address_, port_}; }
    std::string EndpointText() const { return address_ + ":" + std::to_string(port_); }
    bool LogHas(const std::string& text) const;
    // How often `text` occurs in the log.
    int LogCount(const std::string& text) const;
    // The payload it sent in all, told when it ends (Stop); -1 before.
    int64_t Uploaded() const;
    std::string LogText() const;

  private:
    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    std::string address_;
    int32_t port_ = 0;
};

}  // namespace kf::test
