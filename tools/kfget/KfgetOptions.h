#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kfget {

enum ExitCode { kComplete = 0, kUsage = 1, kFailed = 2, kTimedOut = 3, kInterrupted = 130 };

// What the command line asks for.
struct KfgetOptions {
    std::string torrent;
    std::vector<std::string> sources;
    std::vector<std::string> mirror_urls;
    std::vector<std::string> mirror_hosts;
    std::string out_dir;
    std::string file_path;
    std::string resume_path;
    std::string proxy;
    std::string ip_filter;
    int limit_kib = 0;
    int connections = -1;
    int peers = -1;
    bool p2p = true;
    int listen_port = 0;
    std::string bind_address;
    std::string rendezvous_host;  // the UDP endpoint's rendezvous server; empty: none
    int rendezvous_port = 0;
    std::string lan_interface;  // LAN discovery stays off without one
    bool lan = true;            // --no-lan switches it off even with an interface
    bool prefer_udp = false;
    bool dht = false;
    std::string dht_bootstrap;  // "host:port" entries separated by commas
    bool wrap_handshake = false;
    bool quick_check = false;
    bool recover = false;
    bool seed = false;
    int seed_hours = 12;
    bool quiet = false;
    int verbosity = 0;    // -v: the engine's notices; -vv: its log lines as well
    std::string log_dir;  // where the engine's channel files go
    double timeout_seconds = 0;
    std::string torrent_url;  // a BT task: the metainfo is fetched from this address first
    std::string md5;
    std::string sha1;
    // --upnp: the listen port is mapped on the LAN's gateway before the download.
    bool upnp = false;
    int upnp_delay_ms = 0;               // the search's wait; 0: the engine's default
    std::string upnp_interface;          // search through this address or interface
    std::string upnp_url;                // the gateway's root description: no search
    std::vector<int32_t> upnp_excluded;  // ports never chosen
    std::string upnp_state;  // where the chosen port is kept; empty: beside the download
};

void PrintHelp(FILE* out);
// Fills `options` from the command line: kComplete to go on, else the exit code to end with
// (after --help, or a usage error already printed to stderr).
int ParseOptions(int argc, char** argv, KfgetOptions* options);

}  // namespace kfget
