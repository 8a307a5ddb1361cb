#include "engine/net/HostResolver.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <thread>
#include <utility>

#include "engine/base/EngineLog.h"
#include "engine/net/Ipv4Address.h"

namespace kf {

namespace {

constexpr size_t kMaxLoggedHost = 255;
constexpr size_t kMaxDnsServers = 8;
constexpr size_t kMaxResolverConfigBytes = 65536;
constexpr const char* kDefaultResolverConfig = "/etc/resolv.conf";

// What a lookup thread and its waiter share; the thread keeps it alive after the waiter leaves.
struct LookupState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    HostLookupAnswer answer;
};

bool SameHost(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string LoggedHost(std::string_view host) {
    return std::string(host.substr(0, kMaxLoggedHost));
}

}  // namespace

HostResolver::HostResolver()
    : resolver_config_path_(kDefaultResolverConfig),
      pending_(std::make_shared<std::atomic<int32_t>>(0)) {}

HostResolver& HostResolver::Engine() {
    static HostResolver resolver;
    return resolver;
}

void HostResolver::SetLookupFunction(HostLookupFunction lookup) {
    std::lock_guard lock(settings_mutex_);
    lookup_ = std::move(lookup);
}

void HostResolver::SetEventSink(std::shared_ptr<EventSink> sink) {
    std::lock_guard lock(settings_mutex_);
    event_sink_ = std::move(sink);
}

void HostResolver::SetResolverConfigPath(std::string path) {
    std::lock_guard lock(settings_mutex_);
    resolver_config_path_ = path.empty() ? std::string(kDefaultResolverConfig) : std::move(path);
}

void HostResolver::SetLookupTimeoutMs(int32_t timeout_ms) {
    std::lock_guard lock(settings_mutex_);
    timeout_ms_ = timeout_ms > 0 ? timeout_ms : kDefaultTimeoutMs;
}

int32_t HostResolver::LookupTimeoutMs() const {
    std::lock_guard lock(settings_mutex_);
    return timeout_ms_;
}

HostLookupAnswer HostResolver::LookupBounded(const std::string& host) {
    HostLookupFunction lookup;
    int32_t timeout_ms = kDefaultTimeoutMs;
    {
        std::lock_guard lock(settings_mutex_);
        lookup = lookup_ ? lookup_ : HostLookupFunction(SystemHostLookup);
        timeout_ms = timeout_ms_;
    }
    std::shared_ptr<std::atomic<int32_t>> pending = pending_;
    if (pending->fetch_add(1) >= kMaxPendingLookups) {
        pending->fetch_sub(1);
        return {kTryAgain, {}};
    }
    std::shared_ptr<LookupState> state;
    try {
        state = std::make_shared<LookupState>();
        std::thread([state, pending, lookup = std::move(lookup), host]() {
            HostLookupAnswer answer;
            try {
                answer = lookup(host);
            } catch (...) {
                answer = {kNoRecovery, {}};
            }
            {
                std::lock_guard lock(state->mutex);
                state->answer = std::move(answer);
                state->done = true;
            }
            state->finished.notify_all();
            pending->fetch_sub(1);
        }).detach();
    } catch (...) {
        pending->fetch_sub(1);
        return {kTryAgain, {}};
    }
    std::unique_lock lock(state->mutex);
    if (!state->finished.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&state] { return state->done; })) {
        return {kTimedOut, {}};
    }
    HostLookupAnswer answer = std::move(state->answer);
    if (answer.addresses.size() > kMaxAddresses) {
        answer.addresses.resize(kMaxAddresses);
    }
    return answer;
}

uint32_t HostResolver::ResolveHost(std::string_view host) {
    if (host.empty()) {
        return kNoAddress;
    }
    if (IsDigitsAndDots(host)) {
        return ParseDottedAddress(host);
    }
    if (IsUnresolvable(host)) {
        return kNoAddress;
    }
    const HostLookupAnswer answer = LookupBounded(std::string(host));
    if (answer.error == 0) {
        return answer.addresses.empty() ? kNoAddress : answer.addresses.front();
    }
    if (answer.error == kHostNotFound) {
        AddUnresolvable(host);
    }
    return kNoAddress;
}

int32_t HostResolver::ResolveHostAddresses(std::string_view host, std::vector<uint32_t>& list) {
    if (host.empty()) {
        return 0;
    }
    if (IsDigitsAndDots(host)) {
        const uint32_t address = ParseDottedAddress(host);
        if (!IsValidAddress(address)) {
            EngineLogWrite("无效 IP: " + LoggedHost(host), LogChannel::kInvalidIp);
            return 0;
        }
        list.push_back(address);
        return 1;
    }
    const HostLookupAnswer answer = LookupBounded(std::string(host));
    if (answer.error == 0) {
        dns_failure_reported_.store(false);
        int32_t added = 0;
        for (uint32_t address : answer.addresses) {
            if (IsValidAddress(address)) {
                list.push_back(address);
                ++added;
            }
        }
        return added;
    }
    if (answer.error == kHostNotFound || answer.error == kNoData) {
        AddUnresolvable(host);
    }
    ReportDnsFailure(answer.error, host);
    EngineLogWrite("Invalid Host: " + LoggedHost(host), LogChannel::kWritten);
    return -1;
}

void HostResolver::ReportDnsFailure(int32_t error, std::string_view host) {
    bool expected = false;
    if (!dns_failure_reported_.compare_exchange_strong(expected, true)) {
        return;
    }
    std::shared_ptr<EventSink> sink;
    std::string config_path;
    {
        std::lock_guard lock(settings_mutex_);
        sink = event_sink_;
        config_path = resolver_config_path_;
    }
    std::string text = "ErrCode : (" + std::to_string(static_cast<uint32_t>(error)) + ") Host : (" +
                       LoggedHost(host) + ") ";
    text += DnsServersText(config_path);
    SubmitEventTo(sink, kDnsFailureEvent, text);
}

bool HostResolver::IsUnresolvable(std::string_view host) const {
    std::lock_guard lock(unresolvable_mutex_);
    for (const std::string& entry : unresolvable_) {
        if (SameHost(entry, host)) {
            return true;
        }
    }
    return false;
}

size_t HostResolver::UnresolvableCount() const {
    std::lock_guard lock(unresolvable_mutex_);
    return unresolvable_.size();
}

void HostResolver::AddUnresolvable(std::string_view host) {
    std::lock_guard lock(unresolvable_mutex_);
    for (const std::string& entry : unresolvable_) {
        if (SameHost(entry, host)) {
            return;
        }
    }
    if (unresolvable_.size() >= kMaxUnresolvable) {
        unresolvable_.erase(unresolvable_.begin());
    }
    unresolvable_.emplace_back(host);
}

void HostResolver::ClearUnresolvableHosts() {
    std::lock_guard lock(unresolvable_mutex_);
    unresolvable_.clear();
}

HostLookupAnswer SystemHostLookup(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &result);
    HostLookupAnswer answer;
    switch (status) {
        case 0:
            break;
        case EAI_NONAME:
            return {HostResolver::kHostNotFound, {}};
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return {HostResolver::kNoData, {}};
        case EAI_AGAIN:
            return {HostResolver::kTryAgain, {}};
        default:
            return {HostResolver::kNoRecovery, {}};
    }
    for (const addrinfo* entry = result;
         entry != nullptr && answer.addresses.size() < HostResolver::kMaxAddresses;
         entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            answer.addresses.push_back(address->sin_addr.s_addr);
        }
    }
    freeaddrinfo(result);
    if (answer.addresses.empty()) {
        answer.error = HostResolver::kNoData;
    }
    return answer;
}

std::string DnsServersText(const std::string& resolver_config_path) {
    std::ifstream file(resolver_config_path);
    std::string text;
    size_t servers = 0;
    size_t bytes_read = 0;
    std::string line;
    while (file && servers < kMaxDnsServers && bytes_read < kMaxResolverConfigBytes &&
           std::getline(file, line)) {
        bytes_read += line.size() + 1;
        constexpr std::string_view kKey = "nameserver";
        std::string_view rest(line);
        if (rest.substr(0, kKey.size()) != kKey || rest.size() == kKey.size() ||
            (rest[kKey.size()] != ' ' && rest[kKey.size()] != '\t')) {
            continue;
        }
        rest.remove_prefix(kKey.size());
        const size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            continue;
        }
        rest.remove_prefix(start);
        const std::string_view server = rest.substr(
            0, std::min(rest.find_first_of(" \t\r#;"), std::string_view::size_type{64}));
        text += servers == 0 ? ", DNS : (" : ", 备用 DNS : (";
        text += server;
        text += ")";
        ++servers;
    }
    return servers == 0 ? std::string(", no DNS") : text;
}

uint32_t LocalAddress() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return kNoAddress;
    }
    uint32_t chosen = kNoAddress;
    try {
        std::vector<uint32_t> addresses;
        for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
                (entry->ifa_flags & IFF_UP) != 0) {
                const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
                addresses.push_back(address->sin_addr.s_addr);
            }
        }
        chosen = ChooseLocalAddress(addresses);
    } catch (...) {
        chosen = kNoAddress;
    }
    freeifaddrs(interfaces);
    return chosen;
}

uint32_t ResolveHost(std::string_view host) {
    return HostResolver::Engine().ResolveHost(host);
}

int32_t ResolveHostAddresses(std::string_view host, std::vector<uint32_t>& list) {
    return HostResolver::Engine().ResolveHostAddresses(host, list);
}

void ClearUnresolvableHosts() {
    HostResolver::Engine().ClearUnresolvableHosts();
}

}  // namespace kf
