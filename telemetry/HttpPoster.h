#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// Posts one form body to the collection service's URLs in turn (libcurl) until one accepts it.
//
// Trust: the body identifies the machine, so it goes out only over verified TLS (the system's
// certificate authorities, host name checked) to "https://" URLs; "http://" is allowed only to a
// loopback host (127.0.0.0/8, [::1], localhost), and redirects are followed only to "https://".
// A URL refused by these rules counts as failed without any connection.
//
// Results: true when a response holds "\"error\":0" (the service's acceptance); a response is
// read up to kMaxResponseBytes. Time: each URL gets the connect and total time-outs (6 s each),
// so a call takes at most 6 s per URL. Threads: any; no shared state (libcurl's global set-up is
// done once, thread-safely).
class HttpPoster {
  public:
    static constexpr std::chrono::seconds kConnectTimeout{6};
    static constexpr std::chrono::seconds kTotalTimeout{6};
    static constexpr size_t kMaxResponseBytes = 64 * 1024;

    static bool PostToFirstAccepting(const std::vector<std::string>& urls, std::string_view body);
    // Whether the rules above allow posting to `url`.
    static bool Allowed(std::string_view url);

  private:
    static bool PostOne(const std::string& url, std::string_view body);
};

}  // namespace kf
