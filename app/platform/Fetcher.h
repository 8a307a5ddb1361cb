#pragma once

#include <string>

namespace kf::app {

// One HTTP(S) GET. The real one (CurlFetcher) verifies the server's certificate against the
// system's authorities and the product's CA, follows redirects, caps the body at 1 MiB and the
// time at `timeout_seconds` (connect at most 10 s); tests script their own.
class Fetcher {
  public:
    struct Result {
        bool ok = false;  // transfer done and the status outside 400..599
        long status = 0;  // the HTTP status, 0 when none came
        std::string body;
        std::string error;  // "Failed to get <url>" and the cause when not ok
    };
    virtual ~Fetcher() = default;
    // May block for up to the time-out; called on a worker thread, never on the controller's.
    virtual Result Get(const std::string& url, int timeout_seconds) = 0;
};

}  // namespace kf::app
