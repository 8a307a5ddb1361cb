#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kf {

// The URL parts of one address record (TPeerId). Owned by its record, which creates it the first
// time any part is read or written; copied with the record. Task thread only.
//
// Trust: every text here comes from an address given to the engine or from a server's answer
// (redirect targets, Content-Disposition names). file_name in particular may hold "/" or ".." and
// must never be used as a path without cleaning.
struct TPeerUrlInfo {
    bool fetch_to_memory = false;  // the peer collects the whole body into memory_body
    bool redirected = false;       // an HTTP answer of this source was a redirect
    bool memory_done = false;      // memory_body is complete
    // The host did not resolve here and the proxy resolves it: the record has no address and
    // its connections go to the proxy by name.
    bool remote_name = false;
    // The server answered a ranged request with the whole file (status 200): it can only serve
    // the first 128 KiB of a stream that starts at offset 0.
    bool ranges_unsupported = false;
    int32_t bad_pieces = 0;      // whole pieces from this server source that failed their check
    int32_t redirect_count = 0;  // redirects answered by this source; never reset
    std::vector<uint32_t> addresses;  // further IPv4 addresses of the host, network order
    int64_t content_length = 0;       // size of the file on this server; 0 while unknown
    std::string host;                 // host text; an HTTP peer sends it in its Host line
    std::string referer;
    std::string password;  // FTP
    std::string scheme;    // trackers: "http", "tcp" or "udp" as written
    std::string user;      // FTP
    std::string path;      // FTP and trackers: always begins with "/"
    std::string query;     // trackers: the text after the first "?" of the path
    std::string memory_body;
    std::string http_path;      // HTTP: path and query from the first "/" after the host
    std::string file_name;      // last path segment (server sources)
    std::string last_location;  // the last redirect target
};

}  // namespace kf
