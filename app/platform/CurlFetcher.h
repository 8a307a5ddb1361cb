#pragma once

#include <string>

#include "app/platform/Fetcher.h"

namespace kf::app {

// The real Fetcher: one libcurl transfer per Get, HTTP and HTTPS only.
//
// Trust: every https:// address has its certificate chain and host name checked against the
// system's authorities plus, when given, `ca_certificate` (a PEM file, the product's own
// authority). Redirects are followed (at most 5), never from https:// to another scheme.
//
// Limits: the body is capped at kMaxBody (a larger one ends the transfer and the Get fails); the
// connection must be made within kConnectSeconds (or `timeout_seconds` when that is shorter) and
// the whole transfer end within `timeout_seconds` (no limit when it is 0 or less). No signals
// are used, so a Get may run on any worker thread, several at once.
//
// Results: as Fetcher says; on failure the body is empty and `error` is "Failed to get " + url
// followed by the cause in brackets. A `ca_certificate` that cannot be read fails every Get
// rather than trusting less than the product asked for.
class CurlFetcher : public Fetcher {
  public:
    static constexpr size_t kMaxBody = 1 << 20;
    static constexpr int kConnectSeconds = 10;
    static constexpr int kMaxRedirects = 5;

    explicit CurlFetcher(const std::string& ca_certificate = {});
    Result Get(const std::string& url, int timeout_seconds) override;

  private:
    std::string ca_bundle_;  // the system's authorities and the product's, when it has one
    std::string ca_error_;   // why the product's authority could not be read
};

}  // namespace kf::app
