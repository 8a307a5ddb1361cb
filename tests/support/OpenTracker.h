#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// One peer of a tracker's compact peer list.
struct TrackerPeer {
    std::string address;  // dotted IPv4
    int32_t port = 0;
    bool operator==(const TrackerPeer&) const = default;
};

// What a probe announce sends. The tracker records the address the request came from, so
// `from_address` (a 127/8 address) is the address other peers are told about.
struct TrackerAnnounce {
    std::string info_hash_hex;
    std::string from_address = "127.0.0.1";
    int32_t port = 9;
    int64_t left = 1;
    // "started", "stopped", "completed" or "" (a regular announce).
    std::string event = "started";
    // 20 bytes; a fixed probe id when empty.
    std::string peer_id;
};

struct TrackerReply {
    bool accepted = false;  // false: the tracker refused the info-hash
    int64_t seeders = 0;
    int64_t leechers = 0;
    std::vector<TrackerPeer> peers;
};

struct TrackerCounts {
    int64_t seeders = 0;
    int64_t completed = 0;
    int64_t leechers = 0;
};

// A private opentracker on 127.0.0.1, HTTP and UDP on one free port, for swarm tests.
//
// The Debian build only serves info-hashes on its whitelist (others get "not authorized" over
// HTTP and a short announce reply over UDP), so the torrents a test uses are listed at Start or
// added with Allow. Started as root it chroots into its private folder and drops to "nobody".
//
//   OpenTracker tracker;
//   ASSERT_TRUE(tracker.Start({TorrentInfoHashHex(metainfo)}));
//   ... announce http://127.0.0.1:<port>/announce or udp://127.0.0.1:<port>/announce ...
class OpenTracker {
  public:
    static constexpr const char* kDefaultBinary = "/usr/bin/opentracker";

    OpenTracker() = default;
    ~OpenTracker();
    OpenTracker(const OpenTracker&) = delete;
    OpenTracker& operator=(const OpenTracker&) = delete;

    static bool Available();

    // Starts it with the given info-hashes (40 hex digits each) on its whitelist and waits, at
    // most `timeout`, until both its TCP and UDP sides answer and it accepts the first hash.
    bool Start(const std::vector<std::string>& info_hashes_hex,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Adds an info-hash to the whitelist (re-read on SIGHUP) and waits until it is accepted.
    bool Allow(const std::string& info_hash_hex,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void Stop();
    bool IsRunning() { return child_.IsRunning(); }

    int32_t Port() const { return port_; }
    std::string HttpAnnounceUrl() const;
    std::string UdpAnnounceUrl() const;

    // One announce over UDP (connect + announce), or over HTTP (compact=1), sent from
    // `query.from_address`; nullopt when the tracker did not answer sensibly.
    std::optional<TrackerReply> UdpAnnounce(const TrackerAnnounce& query) const;
    std::optional<TrackerReply> HttpAnnounce(const TrackerAnnounce& query) const;
    std::optional<TrackerCounts> Scrape(const std::string& info_hash_hex) const;

    // The peers the tracker currently hands out for the hash, learned by a probe announce from
    // 127.0.0.1 that is withdrawn (event=stopped) again at once. The probe itself is left out.
    std::vector<TrackerPeer> Peers(const std::string& info_hash_hex) const;
    // Waits until the tracker lists `peer` for the hash.
    bool WaitForPeer(const std::string& info_hash_hex, const TrackerPeer& peer,
                     std::chrono::milliseconds timeout) const;
    // Waits until the scrape counts at least `seeders` seeders.
    bool WaitForSeeders(const std::string& info_hash_hex, int64_t seeders,
                        std::chrono::milliseconds timeout) const;

    // Its output, for messages when a test fails.
    std::string LogText() const;

  private:
    bool StartOnce(const std::vector<std::string>& info_hashes_hex,
                   std::chrono::milliseconds timeout);
    bool WriteWhitelist() const;
    // The tracker takes announces for the info-hash.
    bool ProbeAccepted(const std::string& info_hash_hex) const;

    std::unique_ptr<TempDir> dir_;
    std::vector<std::string> whitelist_;
    ChildProcess child_;
    int32_t port_ = 0;
};

// The info-hash of a metainfo file's bytes as 40 lower-case hex digits; empty when they do not
// parse.
std::string TorrentInfoHashHex(const std::string& metainfo_bytes);

}  // namespace kf::test
