#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/EventSink.h"

namespace kf {

// The answer of one host-name lookup: addresses in network order, or an error number.
struct HostLookupAnswer {
    int32_t error = 0;
    std::vector<uint32_t> addresses;
};

// Performs one blocking lookup of IPv4 addresses. Runs on a short-lived thread of its own and may
// outlive the resolver that started it, so it must not refer to anything it does not own.
using HostLookupFunction = std::function<HostLookupAnswer(const std::string& host)>;

// Name resolution of the engine: numeric addresses, host-name lookups bounded in time, and the
// list of host names known not to exist.
//
// A lookup runs on its own thread and is waited for at most the lookup time-out (3000 ms). The
// lookup thread owns its share of the result; an answer that comes after the waiter gave up is
// thrown away, never written into memory the waiter has left. At most kMaxPendingLookups lookups
// run at once; beyond that a lookup fails at once (kTryAgain).
//
// Thread-safe: settings, the unresolvable list and the failure flag each take a leaf lock held only
// for the copy or list change; no lock is held while a lookup is awaited or an event is sent.
class HostResolver {
  public:
    // Lookup errors, numbered as the engine reports them.
    static constexpr int32_t kHostNotFound = 11001;
    static constexpr int32_t kTryAgain = 11002;
    static constexpr int32_t kNoRecovery = 11003;
    static constexpr int32_t kNoData = 11004;
    static constexpr int32_t kTimedOut = 10060;

    static constexpr int32_t kDefaultTimeoutMs = 3000;
    static constexpr size_t kMaxAddresses = 256;      // addresses kept from one answer
    static constexpr size_t kMaxUnresolvable = 1024;  // oldest entries give way beyond this
    static constexpr int32_t kMaxPendingLookups = 64;
    static constexpr const char* kDnsFailureEvent = "11500106";

    // The system lookup, /etc/resolv.conf and the 3000 ms bound.
    HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // The engine-wide resolver.
    static HostResolver& Engine();

    // IPv4 address of `host` (network order) or all-ones. Digits-and-dots text follows the dotted
    // rule without a lookup; a name in the unresolvable list answers all-ones without a lookup; a
    // lookup that finds no such host adds the name to the list. Sends no event and logs nothing.
    uint32_t ResolveHost(std::string_view host);

    // Appends the addresses of `host` to `list`: the number added, 0 for an empty host or an
    // invalid numeric address (logged "无效 IP: %s", channel 13), -1 when the name cannot be
    // resolved (logged "Invalid Host: %s", channel 29). A lookup failure sends the DNS failure
    // event once; a later successful lookup re-arms it. "Host not found" and "no data" add the
    // name to the unresolvable list.
    int32_t ResolveHostAddresses(std::string_view host, std::vector<uint32_t>& list);

    bool IsUnresolvable(std::string_view host) const;
    size_t UnresolvableCount() const;
    // Emptied when the engine's shared services stop.
    void ClearUnresolvableHosts();
    bool DnsFailureReported() const { return dns_failure_reported_.load(); }

    // Lookups still running, including those whose waiter gave up.
    int32_t PendingLookups() const { return pending_->load(); }

    // Hooks; null or empty restores the default.
    void SetLookupFunction(HostLookupFunction lookup);
    // Where this resolver's events go; null means the process-wide event sink.
    void SetEventSink(std::shared_ptr<EventSink> sink);
    void SetResolverConfigPath(std::string path);
    void SetLookupTimeoutMs(int32_t timeout_ms);
    int32_t LookupTimeoutMs() const;

    // One lookup with the time bound: the answer, or kTimedOut / kTryAgain.
    HostLookupAnswer LookupBounded(const std::string& host);

  private:
    void AddUnresolvable(std::string_view host);
    void ReportDnsFailure(int32_t error, std::string_view host);

    mutable std::mutex settings_mutex_;
    HostLookupFunction lookup_;
    std::shared_ptr<EventSink> event_sink_;
    std::string resolver_config_path_;
    int32_t timeout_ms_ = kDefaultTimeoutMs;

    mutable std::mutex unresolvable_mutex_;
    std::vector<std::string> unresolvable_;

    std::atomic<bool> dns_failure_reported_{false};
    std::shared_ptr<std::atomic<int32_t>> pending_;
};

// getaddrinfo for IPv4 addresses, with its errors mapped onto the engine's numbers.
HostLookupAnswer SystemHostLookup(const std::string& host);

// The event text's DNS part from a resolver configuration file: ", DNS : (a)" for the first
// "nameserver" line, ", 备用 DNS : (b)" for each further one (at most 8), ", no DNS" when the file
// cannot be read or names none.
std::string DnsServersText(const std::string& resolver_config_path);

// The machine's own address: ChooseLocalAddress over the IPv4 addresses of the interfaces that
// are up (no name lookup, so nothing leaves the machine and nothing waits); all-ones when none.
uint32_t LocalAddress();

// Shorthands for the engine-wide resolver.
uint32_t ResolveHost(std::string_view host);
int32_t ResolveHostAddresses(std::string_view host, std::vector<uint32_t>& list);
void ClearUnresolvableHosts();

}  // namespace kf
