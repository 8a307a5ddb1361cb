#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// A ring of libtorrent DHT nodes on loopback (tests/support/lt_dht_ring.py under Debian's
// /usr/bin/python3): node i listens, TCP and UDP on one port, on `first_address` + i, knows only
// the other nodes (no router; LSD, UPnP, NAT-PMP and uTP off; nothing outside 127/8 passes its IP
// filter). Node 0 may seed a torrent without a tracker, found through the DHT alone.
//
//   LibtorrentDhtRing ring;
//   ASSERT_TRUE(ring.Start({.nodes = 20}));
//   kfget ... --dht-bootstrap ring.BootstrapText()
//
// Owner and threads: one test thread; the calls block on the script, each bounded by its
// timeout. The script runs one command at a time in the order asked.
//
// Results: Start is false when the binding is missing (check Available() first to skip), the
// script failed, or the ring was not up in time (LogText() tells why). A command that failed or
// was not answered within its timeout gives nullopt (or false); a late answer never stands in for
// a later command's.
//
// Limits: at most 253 nodes, in one /24; endpoints given to the commands must be on 127/8. The
// destructor ends the script (end of its stdin, then TERM, then KILL), every wait bounded.
class LibtorrentDhtRing {
  public:
    struct Options {
        int nodes = 20;
        std::string first_address = "127.0.0.2";
        // READY once every routing table holds this many nodes.
        int min_table = 5;
        // Node 0 seeds this metainfo file from this folder (both empty: no seeder). It is READY
        // once node 0 has sent announce_peer.
        std::string seed_torrent{};
        std::string seed_data_dir{};
        std::chrono::seconds ready_timeout{120};
    };
    // A get_peers lookup: the "ip:port" peers the replies carried; `ended` when the lookup
    // finished before the timeout.
    struct Lookup {
        bool ended = false;
        std::vector<std::string> peers;
    };
    // A node's DHT counters since it started.
    struct Counters {
        int64_t bytes_in = 0;
        int64_t bytes_out = 0;
        int64_t messages_in = 0;
        int64_t messages_out = 0;
        int64_t nodes = 0;
    };
    // KRPC messages a node exchanged with one endpoint outside the ring, by query name (replies
    // counted under the query they answered).
    struct Traffic {
        std::map<std::string, int> queries_out;
        std::map<std::string, int> replies_in;
        int errors_in = 0;
        std::map<std::string, int> queries_in;
        int replies_out = 0;
    };

    LibtorrentDhtRing() = default;
    ~LibtorrentDhtRing();
    LibtorrentDhtRing(const LibtorrentDhtRing&) = delete;
    LibtorrentDhtRing& operator=(const LibtorrentDhtRing&) = delete;

    // True when /usr/bin/python3 can load the libtorrent binding (checked once).
    static bool Available();
    static std::string ScriptPath();

    // Starts the ring and waits (up to `options.ready_timeout` and a margin) until it is READY.
    bool Start(const Options& options);
    void Stop();

    // "127.0.0.2:port,127.0.0.3:port,..." as --dht-bootstrap takes it.
    std::string BootstrapText() const;
    const std::vector<std::string>& Endpoints() const { return endpoints_; }
    // Seconds from the script's start to READY.
    double ReadySeconds() const { return ready_seconds_; }

    // The endpoints as the script tells them now.
    std::optional<std::vector<std::string>> Nodes(std::chrono::milliseconds timeout);
    // Node `node` adds "host:port" as a DHT node (it queries it at once).
    bool AddNode(int node, const std::string& endpoint, std::chrono::milliseconds timeout);
    // Node `node` runs a get_peers lookup for the 40-hex-digit info-hash, bounded by `timeout`.
    std::optional<Lookup> GetPeers(int node, const std::string& info_hash_hex,
                                   std::chrono::milliseconds timeout);
    // Sends one bencoded KRPC query from node `node`'s address to "host:port" and answers the raw
    // reply (or error) with the same transaction id; nullopt when none came within `timeout`.
    // This binding cannot send through the node's own DHT socket: the query leaves from another
    // port of the node's address.
    std::optional<std::vector<uint8_t>> Query(int node, const std::string& endpoint,
                                              std::span<const uint8_t> bencoded,
                                              std::chrono::milliseconds timeout);
    std::optional<Counters> Stats(int node, std::chrono::milliseconds timeout);
    std::optional<Traffic> TrafficWith(int node, const std::string& endpoint,
                                       std::chrono::milliseconds timeout);

    std::string LogText() const;

  private:
    // Sends one command line and waits for its answer line (without "ANSWER ").
    std::optional<std::string> Ask(const std::string& line, std::chrono::milliseconds timeout);
    bool LogHas(const std::string& text) const;

    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    int input_fd_ = -1;
    int asked_ = 0;
    std::vector<std::string> endpoints_;
    double ready_seconds_ = 0;
};

}  // namespace kf::test
