#include "engine/peers/SourceResolver.h"

#include <atomic>

#include "engine/peers/AddressText.h"

namespace kf {

namespace {

// Numeric hosts only; host names are answered as unresolvable.
int32_t NumericOnlyResolver(std::string_view host, std::vector<uint32_t>& addresses) {
    if (host.empty()) {
        return 0;
    }
    if (!IsDottedText(host)) {
        return -1;
    }
    const uint32_t address = ParseDottedIp(host);
    if (address == kNoIpAddress) {
        return 0;
    }
    addresses.push_back(address);
    return 1;
}

std::atomic<SourceResolverFn> g_resolver{&NumericOnlyResolver};

}  // namespace

SourceResolverFn CurrentSourceResolver() {
    return g_resolver.load();
}

SourceResolverFn SetSourceResolver(SourceResolverFn resolver) {
    return g_resolver.exchange(resolver != nullptr ? resolver : &NumericOnlyResolver);
}

int32_t ResolveSourceHost(std::string_view host, std::vector<uint32_t>& addresses) {
    return g_resolver.load()(host, addresses);
}

}  // namespace kf
